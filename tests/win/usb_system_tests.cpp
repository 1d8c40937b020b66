// The product's binding of the USB boundary loads WinUSB once, from the
// system folder only: a winusb.dll planted beside the program is never taken.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "usb/usb_os.h"

TEST(UsbSystemBinding, TakesWinUsbFromTheSystemFolderNotThePrograms) {
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string planted(program, length);
  planted = planted.substr(0, planted.find_last_of('\\') + 1) + "winusb.dll";
  ASSERT_NE(GetFileAttributesA(planted.c_str()), INVALID_FILE_ATTRIBUTES) << "the planted DLL is missing";

  usbos::WinUsb_Free(nullptr);  // loads it; freeing no handle does nothing
  const HMODULE module = GetModuleHandleA("winusb.dll");
  ASSERT_NE(module, nullptr);
  char loaded[MAX_PATH];
  char system[MAX_PATH];
  const std::string loadedPath(loaded, GetModuleFileNameA(module, loaded, MAX_PATH));
  const std::string systemFolder(system, GetSystemDirectoryA(system, MAX_PATH));
  EXPECT_EQ(CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, loadedPath.c_str(), -1,
                           (systemFolder + "\\winusb.dll").c_str(), -1),
            CSTR_EQUAL)
      << loadedPath;

  // Loaded once, however often it is called: one release unloads it. (Wine
  // implements WinUsb_Free alone, so no other function is called here, and
  // nothing calls WinUSB in this program after it.)
  usbos::WinUsb_Free(nullptr);
  FreeLibrary(module);
  EXPECT_EQ(GetModuleHandleA("winusb.dll"), nullptr) << "WinUSB was loaded more than once";
}
