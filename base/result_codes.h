#pragma once
// The application's own result codes, in the HRESULT manner (negative =
// failure). System codes (S_OK, E_FAIL...) come from the SDK headers in the
// code that talks to Windows; this header stays free of them so the OS-free
// logic can use it.
#include <cstdint>

constexpr int32_t GW_E_OPEN_DEVICE = static_cast<int32_t>(0xA0042801u);  // device file cannot be opened
constexpr int32_t GW_E_NETWORK =
    static_cast<int32_t>(0xA0042802u);  // sockets start-up, socket or connect failed
constexpr int32_t GW_E_NOTIFICATION =
    static_cast<int32_t>(0xA0042803u);                           // device notification cannot be registered
constexpr int32_t GW_E_USB = static_cast<int32_t>(0xA0042804u);  // a WinUSB call failed
