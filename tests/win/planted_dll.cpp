// A DLL that does nothing, planted beside a test program as winusb.dll.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
