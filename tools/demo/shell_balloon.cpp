// The tray shell's balloon, as the demo shows it: on the terminal.
#include "app/app_state.h"
#include "tools/demo/demo_output.h"
#include "tools/demo/milestones.h"

BOOL AppState::ShowBalloon(const char* text) {
  char utf8[1024];
  AnsiToUtf8(text, utf8, sizeof utf8);
  Say("shell", "balloon: %s", utf8);
  Reach(MS_BALLOON);
  return TRUE;
}
