// The product's binding of the shell boundary to the system.
#include "app/shell_os.h"

namespace shellos {

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  return ::Shell_NotifyIconA(message, data);
}

}  // namespace shellos
