#pragma once
#include <windows.h>

// The fiscal modem's device interface class {003B07B0-C9B0-11DC-BD0B-001D6055E580}.
inline constexpr GUID GUID_DEVINTERFACE_FISCAL_MODEM = {
    0x003B07B0, 0xC9B0, 0x11DC, {0xBD, 0x0B, 0x00, 0x1D, 0x60, 0x55, 0xE5, 0x80}};
