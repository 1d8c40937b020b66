#pragma once
// Windows' high contrast for the screenshot tool and the status window's
// test, which link this unit's binding of the settings boundary
// (ui/ui_os.h) in place of the product's. Every call goes to the system,
// but a high contrast setting the system refuses is kept here and answered
// from then on: Wine keeps none (it refuses SPI_SETHIGHCONTRAST and reports
// it off). On Windows the system takes it and this adds nothing.
#include "ui/ui_os.h"

// On: the setting on, and black windows with white text, as Windows' "High
// Contrast Black" has them. Off, after on: the setting and the colours as
// they were before.
void SetHighContrast(bool on);
