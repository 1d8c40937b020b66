// The product's binding of the status window's settings boundary.
#include "ui/ui_os.h"

namespace uios {

BOOL SystemParametersInfoA(UINT action, UINT param, PVOID data, UINT winIni) {
  return ::SystemParametersInfoA(action, param, data, winIni);
}

}  // namespace uios
