// varnel-poke: opens, in the program running in this Wine session, what the
// demo's screenshots show or what ends it:
//   varnel-poke menu     the tray menu, left open
//   varnel-poke item N   the menu's Nth item (the Nth modem's status window)
//   varnel-poke exit     the menu's last item, "Вихід"
// --desktop NAME first looks on that desktop (a program started in Wine's
// virtual desktop, `explorer /desktop=NAME,...`) instead of this one.
// Exits 0 when it was done, 1 when the program or its menu did not appear.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/poke/tray_poke.h"

namespace {

constexpr DWORD WAIT_MS = 10000;

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--desktop") == 0) {
    // Windows are found, and menus tracked, on the thread's own desktop.
    HDESK desktop = OpenDesktopA(argv[2], 0, FALSE, GENERIC_ALL);
    if (desktop == nullptr || !SetThreadDesktop(desktop)) {
      std::fprintf(stderr, "varnel-poke: no desktop \"%s\" in this Wine session\n", argv[2]);
      return 1;
    }
    argc -= 2;
    argv += 2;
  }
  const char* what = argc >= 2 ? argv[1] : "";
  if (argc >= 2 && trayPoke::ProgramWindow(WAIT_MS) == nullptr) {
    std::fprintf(stderr, "varnel-poke: no running program's window (class VarnelWnd) in this Wine session\n");
    return 1;
  }
  bool done = false;
  if (argc == 2 && std::strcmp(what, "menu") == 0) {
    done = trayPoke::OpenMenu(WAIT_MS);
  } else if (argc == 2 && std::strcmp(what, "exit") == 0) {
    done = trayPoke::PickItem(0, WAIT_MS);
  } else if (argc == 3 && std::strcmp(what, "item") == 0 && std::atoi(argv[2]) > 0) {
    done = trayPoke::PickItem(std::atoi(argv[2]), WAIT_MS);
  } else {
    std::fprintf(stderr, "varnel-poke: say [--desktop NAME] menu, item N (N from 1) or exit\n");
    return 2;
  }
  if (!done) std::fprintf(stderr, "varnel-poke: the program's tray menu did not open\n");
  return done ? 0 : 1;
}
