#pragma once
// What the status window would show for one modem, printed: its title and
// every row of both tabs, each with its label, its value and a "!" before
// rows drawn as warnings.
#include "usb/device_record.h"

// Main thread; the record must have a bridge.
void PrintStatusTabs(DeviceRecord* record);
