#pragma once
// The one boundary between the tray code and the shell's notification area.
// The product binds it to the system (shell_os_system.cpp); test programs
// bind a recorder that passes each call on to the system after noting it.
#include <windows.h>
#include <shellapi.h>

namespace shellos {

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);

}  // namespace shellos
