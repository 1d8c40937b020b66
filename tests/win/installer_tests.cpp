// The installer as a shop's technician runs it: silently, then the
// uninstaller while the program runs, and an upgrade over an older version.
// The program must be ended through its window, as "Вихід" ends it, never
// killed, and nothing the installer added may stay behind.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/win/destroy_probe.h"
#include "tests/win/message_pump.h"
#include "version.h"

namespace {

constexpr DWORD kWaitMs = 60000;
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varnel";

std::string WindowsPath(const char* hostPath) {
  std::string path = std::string("Z:") + hostPath;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string Folder(int csidl) {
  char path[MAX_PATH] = {};
  return SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : "";
}

std::string InstallDir() {
  return Folder(CSIDL_PROGRAM_FILES) + "\\Varnel";
}

std::string StartMenuLink() {
  return Folder(CSIDL_COMMON_PROGRAMS) + "\\Varnel.lnk";
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The value's text, or "-" when it is not there.
std::string RegText(const char* key, const char* name) {
  char text[MAX_PATH] = {};
  DWORD size = sizeof text;
  return RegGetValueA(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS
             ? text
             : "-";
}

std::string LinkTarget(const std::string& link) {
  std::string target = "-";
  IShellLinkA* shellLink = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&shellLink))))
    return target;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, link.c_str(), -1, wide, MAX_PATH);
    char path[MAX_PATH] = {};
    if (SUCCEEDED(file->Load(wide, STGM_READ)) && SUCCEEDED(shellLink->GetPath(path, MAX_PATH, nullptr, 0)))
      target = path;
    file->Release();
  }
  shellLink->Release();
  return target;
}

DWORD Execute(const std::string& commandLine) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return GetLastError();
  CloseHandle(process.hThread);
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.hProcess, kWaitMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return code;
}

void ExpectInstalled(const char* version) {
  const std::string exe = InstallDir() + "\\varnel.exe";
  EXPECT_TRUE(Exists(exe)) << exe;
  EXPECT_TRUE(Exists(InstallDir() + "\\uninstall.exe"));
  EXPECT_TRUE(Exists(InstallDir() + "\\varnel-trace.cmd"));
  EXPECT_EQ(LinkTarget(StartMenuLink()), exe);
  EXPECT_EQ(RegText(kRunKey, "Varnel"), "\"" + exe + "\"");
  EXPECT_EQ(RegText(kUninstallKey, "DisplayVersion"), version);
  EXPECT_EQ(RegText(kUninstallKey, "InstallLocation"), InstallDir());
}

bool NothingLeft() {
  return !Exists(InstallDir()) && !Exists(StartMenuLink()) && RegText(kRunKey, "Varnel") == "-" &&
         RegText(kUninstallKey, "DisplayName") == "-";
}

// The installed program that is running, watched from here on: a window
// hook in its main thread tells whether its main window got WM_DESTROY, as
// it does when the program ends through its window and never when it is
// killed; then how it ended.
class RunningProgram {
 public:
  bool Attach() {
    HWND window = nullptr;
    if (!PumpMessagesUntil([&] { return (window = FindWindowA("VarnelWnd", "Varnel")) != nullptr; }, kWaitMs))
      return false;
    DWORD pid = 0;
    const DWORD thread = GetWindowThreadProcessId(window, &pid);
    process_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    destroyed_ = CreateEventA(nullptr, TRUE, FALSE, DESTROY_PROBE_EVENT);
    probe_ = LoadLibraryA(WindowsPath(DESTROY_PROBE_DLL).c_str());
    const auto watch =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(GetProcAddress(probe_, DESTROY_PROBE_HOOK)));
    if (watch != nullptr) hook_ = SetWindowsHookExA(WH_CALLWNDPROC, watch, probe_, thread);
    return process_ != nullptr && destroyed_ != nullptr && hook_ != nullptr;
  }

  std::string ImagePath() const {
    char path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    return QueryFullProcessImageNameA(process_, 0, path, &size) ? path : "";
  }

  // Waits for the process to end; true when it ended through its window
  // with exit code 0.
  bool EndedThroughItsWindow() {
    const bool ended = WaitForSingleObject(process_, kWaitMs) == WAIT_OBJECT_0;
    const bool destroyed = WaitForSingleObject(destroyed_, 0) == WAIT_OBJECT_0;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(destroyed) << "the program did not destroy its window";
    EXPECT_EQ(code, 0u);
    return ended && destroyed && code == 0;
  }

  ~RunningProgram() {
    if (hook_ != nullptr) UnhookWindowsHookEx(hook_);
    if (probe_ != nullptr) FreeLibrary(probe_);
    if (destroyed_ != nullptr) CloseHandle(destroyed_);
    if (process_ != nullptr) CloseHandle(process_);
  }

 private:
  HANDLE process_ = nullptr;
  HANDLE destroyed_ = nullptr;
  HMODULE probe_ = nullptr;
  HHOOK hook_ = nullptr;
};

// Runs the installed uninstaller silently while the program runs. The
// uninstaller hands over to a copy of itself and returns at once, so the
// end of its work is seen by its effect.
void UninstallWhileRunning() {
  RunningProgram program;
  ASSERT_TRUE(program.Attach());
  EXPECT_EQ(Execute("\"" + InstallDir() + "\\uninstall.exe\" /S"), 0u);
  EXPECT_TRUE(program.EndedThroughItsWindow());
  EXPECT_TRUE(PumpMessagesUntil(NothingLeft, kWaitMs)) << "left behind after uninstall";
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ASSERT_TRUE(NothingLeft()) << "a Varnel installation is already there";
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(InstallerTest, InstallsStartsAndUninstallsWhileRunning) {
  ASSERT_EQ(Execute(WindowsPath(VARNEL_SETUP_EXE) + " /S"), 0u);
  ExpectInstalled(VARNEL_VERSION_TEXT);
  {
    RunningProgram started;
    ASSERT_TRUE(started.Attach()) << "the installer did not start the program";
    EXPECT_EQ(started.ImagePath(), InstallDir() + "\\varnel.exe");
  }
  UninstallWhileRunning();
}

TEST_F(InstallerTest, UpgradesOverAnOlderVersionWhileItRuns) {
  ASSERT_EQ(Execute(WindowsPath(VARNEL_OLD_SETUP_EXE) + " /S"), 0u);
  ExpectInstalled(VARNEL_OLD_VERSION);
  {
    RunningProgram old;
    ASSERT_TRUE(old.Attach());
    ASSERT_EQ(Execute(WindowsPath(VARNEL_SETUP_EXE) + " /S"), 0u);
    EXPECT_TRUE(old.EndedThroughItsWindow());
  }
  ExpectInstalled(VARNEL_VERSION_TEXT);
  UninstallWhileRunning();
}

}  // namespace
