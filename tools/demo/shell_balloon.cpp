// The tray shell, as the demo shows it: balloons go to the terminal.
#include "app/shell_os.h"
#include "tools/demo/demo_output.h"
#include "tools/demo/milestones.h"

namespace shellos {

BOOL Shell_NotifyIconA(DWORD, PNOTIFYICONDATAA data) {
  if ((data->uFlags & NIF_INFO) == 0) return TRUE;
  char utf8[1024];
  AnsiToUtf8(data->szInfo, utf8, sizeof utf8);
  Say("shell", "balloon: %s", utf8);
  Reach(MS_BALLOON);
  return TRUE;
}

}  // namespace shellos
