// The x64 installer that ships, as a shop's technician runs it: silently
// (signed, as a vendor ships it), then the uninstaller while the program
// runs, and over an older version of either bitness. The program must be
// ended through its window, as "Вихід" ends it, never killed, and nothing
// an installer added may stay behind. Then the pages of an interactive run,
// and the trace script it installs.
#include <windows.h>

#include <dbghelp.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "tests/win/destroy_probe.h"
#include "tests/win/message_pump.h"
#include "version.h"

namespace {

constexpr DWORD kWaitMs = 60000;
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Varnel";
constexpr char kLocalDumpsKey[] = "Software\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";
constexpr wchar_t kGuideLink[] = L"Посібник Varnel";

std::string WindowsPath(const char* hostPath) {
  std::string path = std::string("Z:") + hostPath;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string Folder(int csidl) {
  char path[MAX_PATH] = {};
  return SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : "";
}

// Where an installation of one bitness lives on 64-bit Windows.
struct Layout {
  int programFiles;  // CSIDL of its Program Files
  REGSAM view;       // its registry view
};
constexpr Layout kX64 = {CSIDL_PROGRAM_FILES, KEY_WOW64_64KEY};
constexpr Layout kX86 = {CSIDL_PROGRAM_FILESX86, KEY_WOW64_32KEY};

std::string InstallDir(const Layout& layout) {
  return Folder(layout.programFiles) + "\\Varnel";
}

std::wstring StartMenuLink(const wchar_t* name) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, path);
  return std::wstring(path) + L"\\" + name + L".lnk";
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The value of type `type` in registry view `view` as text (a string
// unexpanded, a number in decimal), or "-" when there is none.
std::string RegText(REGSAM view, const char* key, const char* name, DWORD type = RRF_RT_REG_SZ) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) return "-";
  char text[MAX_PATH] = {};
  DWORD size = sizeof text;
  const LSTATUS status = RegGetValueA(opened, nullptr, name, type | RRF_NOEXPAND, nullptr, text, &size);
  RegCloseKey(opened);
  if (status != ERROR_SUCCESS) return "-";
  if (type != RRF_RT_REG_DWORD) return text;
  DWORD number = 0;
  std::memcpy(&number, text, sizeof number);
  return std::to_string(number);
}

bool KeyExists(REGSAM view, const char* key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
    return false;
  RegCloseKey(opened);
  return true;
}

ULONGLONG FolderBytes(const std::string& folder) {
  ULONGLONG bytes = 0;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
  for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found))
    bytes += found.nFileSizeLow;
  FindClose(find);
  return bytes;
}

std::string LinkTarget(const std::wstring& link) {
  std::string target = "-";
  IShellLinkA* shellLink = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&shellLink))))
    return target;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    char path[MAX_PATH] = {};
    if (SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
        SUCCEEDED(shellLink->GetPath(path, MAX_PATH, nullptr, 0)))
      target = path;
    file->Release();
  }
  shellLink->Release();
  return target;
}

// The exit code, or STILL_ACTIVE after waitMs; `output` takes what it writes.
DWORD Execute(const std::string& commandLine, HANDLE output = nullptr, DWORD waitMs = kWaitMs) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = output != nullptr ? STARTF_USESTDHANDLES : 0;
  startup.hStdOutput = startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    return GetLastError();
  CloseHandle(process.hThread);
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.hProcess, waitMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return code;
}

void ExpectInstalled(const Layout& layout, const char* version) {
  const std::string exe = InstallDir(layout) + "\\varnel.exe";
  EXPECT_TRUE(Exists(exe)) << exe;
  EXPECT_TRUE(Exists(InstallDir(layout) + "\\uninstall.exe"));
  EXPECT_EQ(LinkTarget(StartMenuLink(L"Varnel")), exe);
  EXPECT_EQ(RegText(layout.view, kRunKey, "Varnel"), "\"" + exe + "\"");
  EXPECT_EQ(RegText(layout.view, kUninstallKey, "DisplayVersion"), version);
  EXPECT_EQ(RegText(layout.view, kUninstallKey, "InstallLocation"), InstallDir(layout));
}

bool NothingOf(const Layout& layout) {
  return !Exists(InstallDir(layout)) && RegText(layout.view, kRunKey, "Varnel") == "-" &&
         RegText(layout.view, kUninstallKey, "DisplayName") == "-";
}

bool NothingLeft() {
  return NothingOf(kX64) && NothingOf(kX86) && !Exists(StartMenuLink(L"Varnel")) &&
         !Exists(StartMenuLink(kGuideLink)) && !KeyExists(KEY_WOW64_64KEY, kLocalDumpsKey);
}

// This version, the only one installed: the program and the guide beside
// it, the guide's Start menu entry pointing at it.
void ExpectThisVersionOnly() {
  ExpectInstalled(kX64, VARNEL_VERSION_TEXT);
  const std::string guide = InstallDir(kX64) + "\\posibnyk.html";
  EXPECT_TRUE(Exists(guide));
  EXPECT_EQ(LinkTarget(StartMenuLink(kGuideLink)), guide);
  EXPECT_TRUE(Exists(InstallDir(kX64) + "\\varnel-trace.cmd"));
  // A crash leaves a minidump (Windows Error Reporting's local dumps).
  const std::string dumps = std::string(kLocalDumpsKey) + "\\varnel.exe";
  EXPECT_EQ(RegText(KEY_WOW64_64KEY, dumps.c_str(), "DumpFolder", RRF_RT_REG_EXPAND_SZ),
            "%LOCALAPPDATA%\\CrashDumps");
  EXPECT_EQ(RegText(KEY_WOW64_64KEY, dumps.c_str(), "DumpCount", RRF_RT_REG_DWORD), "5");
  EXPECT_EQ(RegText(KEY_WOW64_64KEY, dumps.c_str(), "DumpType", RRF_RT_REG_DWORD), "1");
  DWORD size = 0, bytes = sizeof size;  // the 64-bit view is this program's
  RegGetValueA(HKEY_LOCAL_MACHINE, kUninstallKey, "EstimatedSize", RRF_RT_REG_DWORD, nullptr, &size, &bytes);
  EXPECT_EQ(size, FolderBytes(InstallDir(kX64)) / 1024);
  EXPECT_TRUE(NothingOf(kX86)) << "an x86 installation is left";
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
    process_ = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
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

  // A minidump of it at `path`, as Windows Error Reporting writes one.
  bool WriteMinidump(const std::string& path) const {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const BOOL written =
        MiniDumpWriteDump(process_, GetProcessId(process_), file, MiniDumpNormal, nullptr, nullptr, nullptr);
    CloseHandle(file);
    return written != FALSE;
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
  EXPECT_EQ(Execute("\"" + InstallDir(kX64) + "\\uninstall.exe\" /S"), 0u);
  EXPECT_TRUE(program.EndedThroughItsWindow());
  EXPECT_TRUE(PumpMessagesUntil(NothingLeft, kWaitMs)) << "left behind after uninstall";
}

// A visible dialog other than `other`: an installer's or uninstaller's
// window (this program shows none).
HWND OtherDialog(HWND other) {
  HWND window = nullptr;
  while ((window = FindWindowExA(nullptr, window, "#32770", nullptr)) != nullptr)
    if (window != other && IsWindowVisible(window)) return window;
  return nullptr;
}

BOOL CALLBACK AddText(HWND window, LPARAM texts) {
  wchar_t text[512] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 1000,
                      nullptr);
  reinterpret_cast<std::set<std::wstring>*>(texts)->insert(text);
  return TRUE;
}

// Reads every text of `dialog` into `texts` until `done` holds, and once
// more then; `done` may find the dialog.
bool ReadTextsUntil(const HWND& dialog, std::set<std::wstring>* texts, const std::function<bool()>& done) {
  return PumpMessagesUntil(
      [&] {
        const bool finished = done();
        AddText(dialog, reinterpret_cast<LPARAM>(texts));
        EnumChildWindows(dialog, AddText, reinterpret_cast<LPARAM>(texts));
        return finished;
      },
      kWaitMs);
}

std::string Read(const std::string& file) {
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    ASSERT_TRUE(NothingLeft()) << "a Varnel installation is already there";
  }
  void TearDown() override { CoUninitialize(); }
};

// Leaves the installed exe and uninstaller and a minidump of the running
// program for installed_checks, which reads them on the build machine.
TEST_F(InstallerTest, InstallsStartsAndUninstallsWhileRunning) {
  ASSERT_EQ(Execute(WindowsPath(VARNEL_SIGNED_SETUP_EXE) + " /S"), 0u);
  ExpectThisVersionOnly();
  const std::string left = WindowsPath(VARNEL_INSTALLED_COPY);
  CreateDirectoryA(left.c_str(), nullptr);
  for (const char* file : {"\\varnel.exe", "\\uninstall.exe"})
    EXPECT_TRUE(CopyFileA((InstallDir(kX64) + file).c_str(), (left + file).c_str(), FALSE)) << file;
  {
    RunningProgram started;
    ASSERT_TRUE(started.Attach()) << "the installer did not start the program";
    EXPECT_EQ(started.ImagePath(), InstallDir(kX64) + "\\varnel.exe");
    EXPECT_TRUE(started.WriteMinidump(left + "\\varnel.dmp"));
  }
  UninstallWhileRunning();
}

// Over the previous x64 build, and over 1.0.0 as it was installed on 64-bit
// Windows: the 32-bit build in Program Files (x86), its entries in the
// 32-bit view. Its stand-in installs the 64-bit exe there, with an
// uninstaller that runs here and removes what 1.0.0's did.
TEST_F(InstallerTest, ReplacesAnOlderVersionOfEitherBitnessWhileItRuns) {
  const struct {
    const char* setup;
    Layout layout;
    const char* version;
  } olders[] = {{VARNEL_OLD_SETUP_EXE, kX64, VARNEL_OLD_VERSION},
                {VARNEL_X86_STANDIN_SETUP_EXE, kX86, "1.0.0"}};
  for (const auto& older : olders) {
    SCOPED_TRACE(older.setup);
    ASSERT_EQ(Execute(WindowsPath(older.setup) + " /S"), 0u);
    ExpectInstalled(older.layout, older.version);
    {
      RunningProgram old;
      ASSERT_TRUE(old.Attach());
      EXPECT_EQ(old.ImagePath(), InstallDir(older.layout) + "\\varnel.exe");
      ASSERT_EQ(Execute(WindowsPath(VARNEL_SETUP_EXE) + " /S"), 0u);
      EXPECT_TRUE(old.EndedThroughItsWindow());
    }
    ExpectThisVersionOnly();
    UninstallWhileRunning();
  }
}

// Any user may write to a folder outside Program Files, and the logon entry
// would start the exe from it for every user: refused, nothing changed.
TEST_F(InstallerTest, RefusesAFolderOutsideProgramFiles) {
  const std::string programFiles = Folder(CSIDL_PROGRAM_FILES);
  for (const std::string& folder :
       {std::string("C:\\Varnel"), programFiles + "\\..\\Varnel", programFiles + "X\\V"})
    EXPECT_EQ(Execute(WindowsPath(VARNEL_SETUP_EXE) + " /S /D=" + folder), 2u) << folder;
  EXPECT_TRUE(NothingLeft());
  EXPECT_FALSE(Exists("C:\\Varnel"));
}

// An interactive install and uninstall, clicked through page by page: no
// text shown may carry the stock translation's errors.
TEST_F(InstallerTest, PagesSpeakUkrainian) {
  std::set<std::wstring> texts;
  HWND dialog = nullptr;
  ASSERT_EQ(Execute(WindowsPath(VARNEL_SETUP_EXE), nullptr, 0), static_cast<DWORD>(STILL_ACTIVE));
  // The folder page (its edit control 1019), then up to the finish page,
  // which offers to start the program.
  ASSERT_TRUE(ReadTextsUntil(dialog, &texts, [&] {
    dialog = OtherDialog(nullptr);
    return GetDlgItem(FindWindowExA(dialog, nullptr, "#32770", nullptr), 1019) != nullptr;
  }));
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(ReadTextsUntil(dialog, &texts, [&] { return texts.count(L"Запустити Varnel") != 0; }));
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(PumpMessagesUntil([&] { return !IsWindow(dialog); }, kWaitMs));
  ExpectThisVersionOnly();
  // The uninstaller hands over to a copy of itself, whose window is found.
  ASSERT_EQ(Execute("\"" + InstallDir(kX64) + "\\uninstall.exe\""), 0u);
  ASSERT_TRUE(ReadTextsUntil(dialog, &texts, [&] {
    return (dialog = OtherDialog(nullptr)) != nullptr && FindWindowExA(dialog, nullptr, "#32770", nullptr);
  }));
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(ReadTextsUntil(dialog, &texts,
                             [&] { return NothingLeft() && IsWindowEnabled(GetDlgItem(dialog, IDOK)); }));
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(PumpMessagesUntil([&] { return !IsWindow(dialog); }, kWaitMs));

  std::wstring shown;
  for (const std::wstring& text : texts) shown += text + L"\n";
  for (const wchar_t* wrong : {L"Программ", L"программ", L"процессу", L"Каталог", L"видаленно",
                               L"Натисніть Видалить", L"Мб", L"Кінець"})
    EXPECT_EQ(shown.find(wrong), std::wstring::npos) << wrong;
  // Signs that every page was read.
  for (const wchar_t* right :
       {L"Тека призначення", L"Б\n", L"Натисніть «Встановити»", L"&Готово", L"Натисніть «Видалити»"})
    EXPECT_NE(shown.find(right), std::wstring::npos) << right << " not in:\n" << shown;
}

// The trace script under Wine's cmd, with stand-ins for the tools it runs
// first on PATH, one failing as Windows' tools fail: the exit code and the
// messages say what happened, and only files written are named.
TEST(TraceScriptTest, SaysWhatHappened) {
  char temp[MAX_PATH] = {}, path[8192] = {};
  const std::string tools = std::string(temp, GetTempPathA(MAX_PATH, temp)) + "varnel-trace-tools";
  CreateDirectoryA(tools.c_str(), nullptr);
  for (const char* tool : {"fltmc", "logman", "tracerpt", "explorer"})
    CopyFileA(WindowsPath(TOOL_STANDIN_EXE).c_str(), (tools + "\\" + tool + ".exe").c_str(), FALSE);
  GetEnvironmentVariableA("PATH", path, sizeof path);
  SetEnvironmentVariableA("PATH", (tools + ";" + path).c_str());
  const std::string folder = Folder(CSIDL_COMMON_DOCUMENTS) + "\\Varnel", etl = folder + "\\varnel-trace.etl",
                    xml = folder + "\\varnel-trace.xml";
  const std::string decoded = "fltmc \nlogman stop\ntracerpt " + etl + "\nexplorer " + folder + "\n";
  const struct {
    const char *command, *failing;  // the tool that fails, with `code`
    DWORD code, exitCode;
    std::string said, notSaid, calls;  // calls: the tools run, with their first argument
  } cases[] = {
      {"start", "", 0, 0, "Recording into " + etl, "failed", "fltmc \nlogman start\n"},
      {"start", "fltmc", 0x80070005, 5, "needs administrator rights", "Recording", "fltmc \n"},
      {"start", "logman", 0x80070005, 0x80070005, "0x80070005.\nAccess denied", "Recording",
       "fltmc \nlogman start\n"},
      {"stop", "logman", 0x80300002, 0x80300002, "0x80300002.\nNo trace is running", ".etl",
       "fltmc \nlogman stop\n"},
      {"stop", "", 0, 0, "Trace: " + etl + "\nDecoded: " + xml, "failed", decoded},
      {"stop", "tracerpt", 0x80070002, 0x80070002, "Trace: " + etl + "\ntracerpt could not", "Decoded",
       decoded},
  };
  for (const auto& c : cases) {
    for (const char* tool : {"fltmc", "logman", "tracerpt"})
      SetEnvironmentVariableA((std::string("STANDIN_EXIT_") + tool).c_str(),
                              std::to_string(lstrcmpA(tool, c.failing) == 0 ? c.code : 0).c_str());
    DeleteFileA((tools + "\\calls.log").c_str());
    CreateDirectoryA(folder.c_str(), nullptr);
    std::ofstream(xml) << "an older decoding";
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE output =
        CreateFileA((tools + "\\said.txt").c_str(), GENERIC_WRITE, 0, &inherited, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(Execute("cmd /c \"" + WindowsPath(VARNEL_TRACE_SCRIPT) + "\" " + c.command, output),
              c.exitCode);
    CloseHandle(output);
    const std::string said = Read(tools + "\\said.txt");
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(said.find(c.notSaid), std::string::npos) << said;
    EXPECT_EQ(Read(tools + "\\calls.log"), c.calls) << c.command << ", failing: " << c.failing;
    EXPECT_EQ(Exists(xml), lstrcmpA(c.failing, "tracerpt") != 0) << "an older decoding stays";
  }
  SetEnvironmentVariableA("PATH", path);
}

}  // namespace
