#pragma once
// The status window's question to the system about the user's settings,
// with the system's own signature. The product binds it to the system
// (ui_os_system.cpp, a unit of its own); test programs and the screenshot
// tool link a binding in its place that adds what Wine lacks: a high
// contrast setting.
#include <windows.h>

namespace uios {

BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni);

}  // namespace uios
