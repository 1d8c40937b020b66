// The program's shell: start-up, the main window's messages, the tick and
// its re-enumeration countdown, device events, worker notices, the tray
// icon, its menu and balloon, and shut-down. The real window procedure runs
// on the test thread against the simulated modem bus; the shell's calls are
// recorded, then made for real.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/app_state.h"
#include "bridge/control_message.h"
#include "bridge/io_buffer.h"
#include "bridge/modem_bridge.h"
#include "res/resource_ids.h"
#include "simbus/modem_bus.h"
#include "simbus/process_counts.h"
#include "tests/win/code_page.h"
#include "tests/native/status_bytes.h"
#include "tests/win/fake_shell.h"
#include "tests/win/freed_memory_guard.h"
#include "tests/win/loopback_server.h"
#include "tests/win/message_pump.h"
#include "usb/device_record.h"
#include "usb/path_match.h"
#include "version.h"

namespace {

using simbus::BusCall;
using simbus::LocalBus;
using Bytes = std::vector<uint8_t>;

constexpr DWORD kWaitMs = 10000;

HICON TrayIcon(uint32_t id) {
  return static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       LR_SHARED));
}

// The icon the shell was last given.
HICON ShownIcon() {
  const std::vector<ShellCall>& calls = ShellCalls();
  for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
    if (call->data.uFlags & NIF_ICON) return call->data.hIcon;
  }
  return nullptr;
}

void Pump() {
  PumpMessages();
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs) {
  return PumpMessagesUntil(done, timeoutMs);
}

LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  return SendMessageA(g_app.mainWindow, message, wParam, lParam);
}

DEV_BROADCAST_HANDLE HandleBroadcast(HANDLE file, DWORD deviceType = DBT_DEVTYP_HANDLE) {
  DEV_BROADCAST_HANDLE broadcast = {};
  broadcast.dbch_size = sizeof broadcast;
  broadcast.dbch_devicetype = deviceType;
  broadcast.dbch_handle = file;
  return broadcast;
}

struct InterfaceBroadcast {
  DEV_BROADCAST_DEVICEINTERFACE_A header;
  char pathRoom[MAX_PATH];
};

InterfaceBroadcast ArrivalBroadcast(const char* path) {
  InterfaceBroadcast broadcast = {};
  broadcast.header.dbcc_size = sizeof broadcast;
  broadcast.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  lstrcpynA(broadcast.header.dbcc_name, path, MAX_PATH);
  return broadcast;
}

template <typename Broadcast>
LRESULT SendDeviceEvent(WPARAM event, Broadcast broadcast) {
  return Send(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&broadcast));
}

void Tick(int n) {
  for (int i = 0; i < n; ++i) Send(WM_TIMER, TIMER_TICK);
}

std::vector<DeviceRecord*> Listed() {
  std::vector<DeviceRecord*> records;
  for (DeviceRecord* r = g_app.devices; r != nullptr; r = r->next) records.push_back(r);
  return records;
}

DeviceRecord* RecordOf(int modem) {
  for (DeviceRecord* r = g_app.devices; r != nullptr; r = r->next) {
    if (PathsMatch(r->path, LocalBus().DevicePath(modem))) return r;
  }
  return nullptr;
}

void Deliver(int modem, const Bytes& message) {
  LocalBus().Deliver(modem, simbus::CONTROL_IN, message.data(), static_cast<uint32_t>(message.size()));
}

void Connect(int modem, const std::string& address) {
  Bytes message = {CTL_CONNECT, 0, 0};
  message.insert(message.end(), address.begin(), address.end());
  Deliver(modem, message);
}

Bytes IdentifyReply(const char* serial) {
  Bytes reply(16, 0);
  std::memcpy(reply.data() + 5, serial, std::strlen(serial) + 1);
  return reply;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartSockets();
    g_app.instance = GetModuleHandleA(nullptr);
    ClearShellCalls();
    ASSERT_EQ(g_app.Initialize(), S_OK);
    // The tests count ticks themselves; the window's own timer must exist.
    ASSERT_TRUE(KillTimer(g_app.mainWindow, TIMER_TICK));
  }

  void TearDown() override {
    if (IsWindow(g_app.mainWindow)) DestroyWindow(g_app.mainWindow);
    Pump();
    g_app.Shutdown();
    for (int modem : plugged_) LocalBus().Unplug(modem);
    UnregisterClassA(MAIN_WINDOW_CLASS, g_app.instance);
  }

  int Plug() {
    plugged_.push_back(LocalBus().Plug(simbus::StandardLayout()));
    return plugged_.back();
  }

  // Makes the modem's worker end by itself while the modem stays attached:
  // its next control read fails. The failure is lifted once the main window
  // has removed the record.
  void EndWorker(int modem) {
    DeviceRecord* record = RecordOf(modem);
    ASSERT_NE(record, nullptr);
    LocalBus().FailCall(modem, BusCall::ReadPipe, simbus::CONTROL_IN, ERROR_GEN_FAILURE);
    Deliver(modem, {CTL_STATUS});
    ASSERT_TRUE(PumpUntil([&] { return RecordOf(modem) == nullptr; }));
    LocalBus().FailCall(modem, BusCall::ReadPipe, simbus::CONTROL_IN, 0);
  }

  std::vector<int> plugged_;
};

TEST_F(ProgramTest, StartsHiddenWithItsIconAndOneInstanceOnly) {
  EXPECT_EQ(FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE), g_app.mainWindow);
  EXPECT_FALSE(IsWindowVisible(g_app.mainWindow));
  EXPECT_TRUE(GetWindowLongA(g_app.mainWindow, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_EQ(g_app.winsockStarted, 1);

  ASSERT_EQ(ShellCalls().size(), 2u);
  const ShellCall& add = ShellCalls()[0];
  EXPECT_EQ(add.message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(add.data.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE));
  EXPECT_EQ(add.data.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
  EXPECT_EQ(add.data.uCallbackMessage, WM_GW_TRAY);
  EXPECT_STREQ(add.data.szTip, "Varnel");
  EXPECT_EQ(add.data.hIcon, TrayIcon(IDI_NO_DEVICE));
  EXPECT_EQ(ShellCalls()[1].message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(ShellCalls()[1].data.uFlags, static_cast<UINT>(NIF_ICON));
}

TEST_F(ProgramTest, CharactersAreSwallowedAndEscapeEndsTheProgram) {
  EXPECT_EQ(Send(WM_CHAR, 'a'), 1);
  EXPECT_EQ(Send(WM_CHAR, VK_RETURN), 1);
  ASSERT_TRUE(IsWindow(g_app.mainWindow));
  EXPECT_EQ(Send(WM_CHAR, VK_ESCAPE), 1);
  EXPECT_FALSE(IsWindow(g_app.mainWindow));
  MSG msg;
  bool quit = false;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) quit = quit || msg.message == WM_QUIT;
  EXPECT_TRUE(quit);
}

TEST_F(ProgramTest, OneEnumerationFiftyTicksAfterTheLaterOfTwoWorkerEnds) {
  const int a = Plug();
  const int b = Plug();
  ASSERT_EQ(Listed().size(), 2u);

  EndWorker(a);
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
  Tick(25);
  EndWorker(b);
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_DEVICE));
  Tick(49);
  EXPECT_TRUE(Listed().empty()) << "the second end must restart the count";
  Tick(1);
  EXPECT_EQ(Listed().size(), 2u);
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
  EXPECT_EQ(g_app.rescanTicks, 0u);

  // A notice from a record no longer listed schedules nothing.
  Send(WM_GW_WORKER_ENDED, 0xFFFFFFF0u);
  EXPECT_EQ(g_app.rescanTicks, 0u);
  EXPECT_EQ(Listed().size(), 2u);

  // A notice that could not be posted (a full queue) is not needed: the
  // tick sees the ended worker.
  DeviceRecord* record = RecordOf(a);
  LocalBus().FailCall(a, BusCall::ReadPipe, simbus::CONTROL_IN, ERROR_GEN_FAILURE);
  Deliver(a, {CTL_STATUS});
  for (int i = 0; i < 1000 && record->bridge->workerEnded.load() == 0; ++i) Sleep(10);
  MSG notice;
  EXPECT_TRUE(PeekMessageA(&notice, g_app.mainWindow, WM_GW_WORKER_ENDED, WM_GW_WORKER_ENDED, PM_REMOVE));
  LocalBus().FailCall(a, BusCall::ReadPipe, simbus::CONTROL_IN, 0);
  Tick(1);
  EXPECT_EQ(RecordOf(a), nullptr);
  EXPECT_EQ(g_app.rescanTicks, RESCAN_DELAY_TICKS);
  Tick(50);

  // However often other workers end (a loose cable), a pending enumeration
  // waits at most RESCAN_LONGEST_WAIT_TICKS.
  const int loose[] = {a, b, Plug(), Plug()};
  EndWorker(loose[0]);
  for (int i = 1; i < 4; ++i) {
    Tick(40);
    EndWorker(loose[i]);
  }
  Tick(RESCAN_LONGEST_WAIT_TICKS - 121);
  EXPECT_TRUE(Listed().empty());
  Tick(1);
  EXPECT_EQ(Listed().size(), 4u);
}

// Links the modem to the server and relays a few bytes each way.
void Relay(int modem, LoopbackServer* server) {
  Connect(modem, server->Address());
  ASSERT_TRUE(server->Accept(kWaitMs));
  ASSERT_TRUE(PumpUntil([&] {
    DeviceRecord* record = RecordOf(modem);
    return record != nullptr && record->bridge->ops->IsConnected(record->bridge) == 1;
  }));
  const Bytes up = {1, 2, 3}, down = {4, 5, 6, 7};
  LocalBus().Deliver(modem, simbus::DATA_IN, up.data(), static_cast<uint32_t>(up.size()));
  Bytes got;
  ASSERT_TRUE(server->ReceiveExactly(up.size(), &got, kWaitMs));
  EXPECT_EQ(got, up);
  ASSERT_TRUE(server->Send(down.data(), down.size()));
  ASSERT_TRUE(LocalBus().Take(modem, simbus::DATA_OUT, &got, kWaitMs));
  EXPECT_EQ(got, down);
}

// A stall or a bus error while the modem stays attached ends its worker;
// the record goes, the modem is opened again fifty ticks later, and its
// data flows again. A stalled OUT endpoint is still stalled then: the new
// worker clears it.
TEST_F(ProgramTest, AModemIsServedAgainAfterAStallOrABusError) {
  struct Case {
    const char* name;
    uint8_t pipe;
    DWORD error;  // 0: a stall
  };
  const Case cases[] = {
      {"data IN stall", simbus::DATA_IN, 0},
      {"data OUT stall", simbus::DATA_OUT, 0},
      {"control OUT stall", simbus::CONTROL_OUT, 0},
      {"bus error on data IN", simbus::DATA_IN, ERROR_GEN_FAILURE},
      {"time-out on control OUT", simbus::CONTROL_OUT, ERROR_SEM_TIMEOUT},
  };
  const int modem = Plug();
  auto server = std::make_unique<LoopbackServer>();
  Relay(modem, server.get());
  for (const Case& c : cases) {
    ASSERT_TRUE(c.error == 0 ? LocalBus().Stall(modem, c.pipe)
                             : LocalBus().FailTransfer(modem, c.pipe, c.error));
    // On an OUT pipe the next write meets the fault: a poll, or the server's data.
    if (c.pipe == simbus::CONTROL_OUT) Tick(1);
    if (c.pipe == simbus::DATA_OUT) server->Send(&c.pipe, 1);
    ASSERT_TRUE(PumpUntil([&] { return RecordOf(modem) == nullptr; })) << c.name;
    EXPECT_TRUE(server->SeesClose(kWaitMs)) << c.name;
    Tick(49);
    EXPECT_EQ(RecordOf(modem), nullptr) << c.name;
    Tick(1);
    server = std::make_unique<LoopbackServer>();
    Relay(modem, server.get());
    ASSERT_FALSE(HasFatalFailure()) << c.name;
  }
}

TEST_F(ProgramTest, DeviceEvents) {
  const int a = Plug();
  const int b = Plug();
  DeviceRecord* ra = RecordOf(a);
  DeviceRecord* rb = RecordOf(b);
  ASSERT_TRUE(ra != nullptr && rb != nullptr);

  // No broadcast at all, and a device message without a buffer.
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
  Send(WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, 0);
  EXPECT_EQ(Send(WM_GW_DEVICE_MESSAGE, ra->id, 0), 0);

  // The arrival of a listed path opens nothing and refreshes the icon.
  ClearShellCalls();
  SendDeviceEvent(DBT_DEVICEARRIVAL, ArrivalBroadcast(ra->path));
  EXPECT_EQ(Listed(), (std::vector<DeviceRecord*>{rb, ra}));
  ASSERT_EQ(ShellCalls().size(), 1u);
  EXPECT_EQ(ShellCalls()[0].data.hIcon, TrayIcon(IDI_NO_LINK));

  struct {
    WPARAM event;
    DWORD deviceType;
    HANDLE file;
    std::vector<DeviceRecord*> after;
  } const cases[] = {
      {DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVTYP_HANDLE, ra->file, {rb, ra}},
      {DBT_DEVICEREMOVEPENDING, DBT_DEVTYP_HANDLE, ra->file, {rb, ra}},
      {DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_HANDLE, reinterpret_cast<HANDLE>(0x7FF0), {rb, ra}},
      {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, ra->file, {rb, ra}},
      {DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_HANDLE, ra->file, {rb}},
      {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_HANDLE, rb->file, {}},
  };
  for (const auto& c : cases) {
    // A query is never denied.
    EXPECT_NE(SendDeviceEvent(c.event, HandleBroadcast(c.file, c.deviceType)), BROADCAST_QUERY_DENY);
    EXPECT_EQ(Listed(), c.after) << "event " << c.event << ", device type " << c.deviceType;
  }
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_DEVICE));
  EXPECT_EQ(LocalBus().OpenHandles(a) + LocalBus().OpenHandles(b), 0u);
}

TEST_F(ProgramTest, IconFollowsLinksAndModems) {
  LoopbackServer server;
  const int a = Plug();
  const int b = Plug();
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
  ASSERT_NE(TrayIcon(IDI_NO_LINK), TrayIcon(IDI_LINK_UP));

  Connect(a, server.Address());
  ASSERT_TRUE(server.Accept(kWaitMs));
  EXPECT_TRUE(PumpUntil([] { return ShownIcon() == TrayIcon(IDI_LINK_UP); }));
  Deliver(a, {CTL_CONNECT});  // a short request closes the link
  EXPECT_TRUE(PumpUntil([] { return ShownIcon() == TrayIcon(IDI_NO_LINK); }));

  LocalBus().Unplug(a);
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
  LocalBus().Unplug(b);
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_DEVICE));
}

// The modem is served: its record sends the first poll on the next tick.
bool Served(int modem) {
  if (RecordOf(modem) == nullptr) return false;
  Tick(1);
  Bytes request;
  return LocalBus().Take(modem, simbus::CONTROL_OUT, &request, kWaitMs) && request == Bytes{CTL_IDENTIFY};
}

// The system removes the device only if no handle of it is open once the
// window has answered the query.
TEST_F(ProgramTest, QueryRemoveFindsEveryHandleClosedAndTheModemIsServedWhenItReturns) {
  const int a = Plug();
  const int b = Plug();
  EXPECT_TRUE(LocalBus().QueryRemove(a));
  EXPECT_EQ(Listed(), std::vector<DeviceRecord*>{RecordOf(b)});
  EXPECT_EQ(LocalBus().HandleRegistrations(a), 0u);
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
  ASSERT_TRUE(LocalBus().Replug(a));
  EXPECT_TRUE(Served(a));
}

// Other programs may take their time over a removal request: the modem
// stays closed until the outcome comes, whatever an enumeration meanwhile
// finds; a veto has it served at once, a removal leaves it gone, and with
// no outcome in REMOVAL_WAIT_TICKS the enumeration decides.
TEST_F(ProgramTest, ARemovalRequestIsWaitedForAndItsOutcomeFollowed) {
  struct Case {
    const char* name;
    bool answered;
    bool vetoed;
  };
  for (const Case& c :
       {Case{"removed", true, false}, Case{"vetoed", true, true}, Case{"no outcome", false, false}}) {
    SCOPED_TRACE(c.name);
    const int modem = Plug();
    const int other = Plug();
    ASSERT_TRUE(Served(modem));
    LocalBus().HoldRemovalAnswer(modem, true);
    ASSERT_TRUE(LocalBus().SetAccess(modem, {simbus::DeviceSecurity::Default, false, c.vetoed}));
    EXPECT_FALSE(LocalBus().QueryRemove(modem));
    EXPECT_EQ(RecordOf(modem), nullptr);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    EndWorker(other);  // an enumeration comes within the wait
    Tick(80);
    EXPECT_EQ(RecordOf(modem), nullptr) << "reopened while its removal was pending";
    ASSERT_NE(RecordOf(other), nullptr);
    if (c.answered) {
      EXPECT_EQ(LocalBus().AnswerRemovalQuery(modem), !c.vetoed);
      EXPECT_EQ(RecordOf(modem) != nullptr, c.vetoed);
      EXPECT_TRUE(!c.vetoed || Served(modem));
      Tick(REMOVAL_WAIT_TICKS + RESCAN_DELAY_TICKS);
      EXPECT_EQ(RecordOf(modem) != nullptr, c.vetoed);
    } else {
      Tick(REMOVAL_WAIT_TICKS - 80 + RESCAN_DELAY_TICKS - 1);
      EXPECT_EQ(RecordOf(modem), nullptr);
      Tick(1);
      EXPECT_TRUE(Served(modem));
    }
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), c.vetoed || !c.answered ? 1u : 0u);
    LocalBus().HoldRemovalAnswer(modem, false);
    LocalBus().SetAccess(modem, {});
    LocalBus().Unplug(modem);
    LocalBus().Unplug(other);
    EXPECT_TRUE(Listed().empty());
  }
}

// A modem another opener holds (another program, or the copy of another
// user's session) costs one open every fifty ticks, and is served within
// fifty ticks of being let go; so is one whose removal another program
// vetoed once the program had let go of it. Nothing grows meanwhile.
TEST_F(ProgramTest, AModemThatCannotBeOpenedIsTriedAgainEveryFiftyTicks) {
  const int modem = Plug();
  ASSERT_TRUE(Served(modem));
  EXPECT_FALSE(LocalBus().SetAccess(modem, {simbus::DeviceSecurity::Default, true, false}))
      << "no one else can open a modem the program holds";

  // Let go for a removal request, and taken by another opener before the
  // request is answered: its handle vetoes the removal, and the program's
  // open that follows the veto is refused.
  LocalBus().HoldRemovalAnswer(modem, true);
  EXPECT_FALSE(LocalBus().QueryRemove(modem));
  ASSERT_TRUE(LocalBus().SetAccess(modem, {simbus::DeviceSecurity::Default, true, false}));
  EXPECT_FALSE(LocalBus().AnswerRemovalQuery(modem));
  LocalBus().HoldRemovalAnswer(modem, false);
  EXPECT_TRUE(Listed().empty());

  const simbus::ProcessCounters before = simbus::CountProcess();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const size_t opens = LocalBus().FileOpens(modem).size();
    ASSERT_EQ(g_app.rescanTicks, RESCAN_DELAY_TICKS) << "attempt " << attempt;
    Tick(49);
    EXPECT_EQ(LocalBus().FileOpens(modem).size(), opens) << "attempt " << attempt;
    Tick(1);
  }
  const simbus::ProcessCounters after = simbus::CountProcess();
  EXPECT_EQ(after.handles, before.handles);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_LE(after.privateKiB, before.privateKiB + 256);
  const std::vector<simbus::FileOpen> opens = LocalBus().FileOpens(modem);
  ASSERT_EQ(opens.size(), simbus::FILE_OPEN_LOG_LIMIT);
  EXPECT_EQ(opens.back().error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(LocalBus().OpenDeviceSets(), 0u);
  EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);

  ASSERT_TRUE(LocalBus().SetAccess(modem, {}));
  Tick(50);
  EXPECT_TRUE(Served(modem));
  EXPECT_EQ(g_app.rescanTicks, 0u);
}

// However the removal is told, and whatever error the transfers end with,
// the record goes, the count that follows reopens nothing, and the modem is
// served again when it returns at its path.
TEST_F(ProgramTest, EverySurpriseRemovalClosesTheRecordAndTheReturnIsServed) {
  using simbus::RemovalNotice;
  const simbus::Removal removals[] = {
      {RemovalNotice::Complete, ERROR_GEN_FAILURE, ERROR_BAD_COMMAND},
      {RemovalNotice::Late, ERROR_OPERATION_ABORTED, ERROR_DEVICE_NOT_CONNECTED},
      {RemovalNotice::PendingOnly, 433, ERROR_BAD_COMMAND},  // ERROR_NO_SUCH_DEVICE
      {RemovalNotice::PendingOnly, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
  };
  for (const simbus::Removal& removal : removals) {
    SCOPED_TRACE(static_cast<int>(removal.notice) * 10000 + static_cast<int>(removal.pendingError));
    const int modem = Plug();
    ASSERT_TRUE(Served(modem));
    LocalBus().Remove(modem, removal);
    ASSERT_TRUE(PumpUntil([&] { return RecordOf(modem) == nullptr; }));
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
    EXPECT_EQ(LocalBus().PendingTransfers(modem), 0u);
    Tick(RESCAN_DELAY_TICKS);
    EXPECT_EQ(RecordOf(modem), nullptr);
    EXPECT_EQ(g_app.rescanTicks, 0u);
    LocalBus().CompleteRemoval(modem);
    ASSERT_TRUE(LocalBus().Replug(modem));
    EXPECT_TRUE(Served(modem));
  }
}

// The worker's notices name their record by an id that is never given
// again: a new record at a freed record's address is not taken for it.
TEST_F(ProgramTest, NoticesOfARemovedRecordDoNotReachItsSuccessor) {
  // The modem's record is closed on a removal request and opened again on
  // its arrival, until a new record lands where an old one was.
  const int a = Plug();
  std::map<DeviceRecord*, uint32_t> freed;
  DeviceRecord* fresh = nullptr;
  uint32_t oldId = 0;
  for (int round = 0; round < 100 && fresh == nullptr; ++round) {
    freed[g_app.devices] = g_app.devices->id;
    SendDeviceEvent(DBT_DEVICEQUERYREMOVE, HandleBroadcast(g_app.devices->file));
    ASSERT_TRUE(Listed().empty());
    SendDeviceEvent(DBT_DEVICEARRIVAL, ArrivalBroadcast(LocalBus().DevicePath(a)));
    ASSERT_EQ(Listed().size(), 1u);
    const auto reused = freed.find(g_app.devices);
    if (reused != freed.end()) {
      fresh = reused->first;
      oldId = reused->second;
    }
  }
  ASSERT_NE(fresh, nullptr) << "no record was made at a freed record's address; the test shows nothing";
  EXPECT_NE(fresh->id, oldId);

  // A buffer on this stack: were it read or freed, the name would change or
  // the heap break.
  IoBuffer stale = {};
  const Bytes staleReply = IdentifyReply("STALE");
  std::memcpy(stale.data, staleReply.data(), staleReply.size());
  stale.count = static_cast<uint32_t>(staleReply.size());
  g_app.rescanTicks = 0;
  for (WPARAM id : {static_cast<WPARAM>(oldId), static_cast<WPARAM>(fresh->id)}) {
    Send(WM_GW_DEVICE_MESSAGE, id, reinterpret_cast<LPARAM>(&stale));
    EXPECT_EQ(fresh->displayName, nullptr);
    // A worker-ended notice counts only from a worker that has ended.
    Send(WM_GW_WORKER_ENDED, id);
    EXPECT_EQ(Listed(), std::vector<DeviceRecord*>{fresh});
    EXPECT_EQ(g_app.rescanTicks, 0u);
  }

  // Its own notices still reach it.
  Deliver(a, IdentifyReply("4000123456"));
  ASSERT_TRUE(PumpUntil([&] { return fresh->displayName != nullptr; }));
  EXPECT_STREQ(fresh->displayName, "4000123456");
}

struct MenuItem {
  UINT id;
  std::string label;  // empty for the separator
};

std::vector<MenuItem> MenuItems(HMENU menu) {
  std::vector<MenuItem> items;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    char text[128] = {};
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = sizeof text;
    GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info);
    items.push_back({info.wID, (info.fType & MFT_SEPARATOR) ? "" : text});
  }
  return items;
}

void ExpectMenu(const std::vector<MenuItem>& expected) {
  HMENU menu = g_app.BuildTrayMenu();
  const std::vector<MenuItem> items = MenuItems(menu);
  DestroyMenu(menu);
  ASSERT_EQ(items.size(), expected.size());
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i].id, expected[i].id) << "item " << i;
    EXPECT_EQ(items[i].label, expected[i].label.empty() ? "" : ToCodePage1251(expected[i].label)) << i;
  }
}

TEST_F(ProgramTest, MenuListsModemsOldestFirstAboveExit) {
  const UINT separator = static_cast<UINT>(-1);
  ExpectMenu({{IDM_EXIT, "Вихід"}});
  const int first = Plug();
  ExpectMenu({{2, "Им'я невідоме 1"}, {separator, ""}, {IDM_EXIT, "Вихід"}});
  Plug();
  const int third = Plug();
  RecordOf(first)->SetDisplayName("4000000001");
  RecordOf(third)->SetDisplayName("");  // an empty name is no name
  ExpectMenu({{4, "4000000001"},
              {3, "Им'я невідоме 2"},
              {2, "Им'я невідоме 1"},
              {separator, ""},
              {IDM_EXIT, "Вихід"}});
  // Texts that cannot be loaded leave the items empty, or numbered.
  SetProgramModule(GetModuleHandleA("ntdll.dll"));
  ExpectMenu({{4, "4000000001"}, {3, "2"}, {2, "1"}, {separator, ""}, {IDM_EXIT, ""}});
  SetProgramModule(nullptr);

  // A command past the end of the list (modems went while the menu was
  // open) does nothing; Exit ends the program.
  g_app.RunTrayCommand(IDM_DEVICE_BASE + 3, g_app.lastRecordId + 1);
  g_app.RunTrayCommand(0);
  EXPECT_TRUE(IsWindow(g_app.mainWindow));
  g_app.RunTrayCommand(IDM_EXIT);
  EXPECT_FALSE(IsWindow(g_app.mainWindow));
}

// What the open menu held, seen from inside its own loop; then it is closed.
int g_openMenuItems = -1;
void CALLBACK CloseOpenMenu(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND popup = FindWindowA("#32768", nullptr);
  if (popup == nullptr) return;
  KillTimer(nullptr, timer);
  g_openMenuItems = GetMenuItemCount(reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0)));
  EndMenu();
}

bool NullMessagePosted() {
  MSG msg;
  bool posted = false;
  while (PeekMessageA(&msg, g_app.mainWindow, 0, 0, PM_REMOVE)) posted = posted || msg.message == WM_NULL;
  return posted;
}

TEST_F(ProgramTest, TrayMenuOpensOnButtonUpOnly) {
  Plug();
  for (LPARAM mouse : {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK}) {
    Send(WM_GW_TRAY, 0, mouse);
    EXPECT_FALSE(NullMessagePosted()) << mouse;
  }
  for (LPARAM mouse : {WM_LBUTTONUP, WM_RBUTTONUP}) {
    g_openMenuItems = -1;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, CloseOpenMenu);
    Send(WM_GW_TRAY, 0, mouse);
    KillTimer(nullptr, timer);
    EXPECT_EQ(g_openMenuItems, 3) << mouse;
    EXPECT_TRUE(NullMessagePosted()) << "the menu's owner gets a message after it closes";
    EXPECT_TRUE(IsWindow(g_app.mainWindow));
  }
}

// From inside the status window's loop: choosing its modem again opens
// nothing more, then the modem is pulled out.
struct StatusProbe {
  int modem;
  HWND window;
  bool nestedReturned;
} g_statusProbe;

void CALLBACK UnplugUnderOpenWindow(HWND, UINT, UINT_PTR timer, DWORD) {
  DeviceRecord* record = g_app.devices;
  if (record == nullptr || record->bridge->statusWindow == nullptr) return;
  KillTimer(nullptr, timer);
  g_statusProbe.window = record->bridge->statusWindow;
  g_app.RunTrayCommand(IDM_DEVICE_BASE, record->id);
  g_statusProbe.nestedReturned = true;
  LocalBus().Unplug(g_statusProbe.modem);
}

// The record whose status window a tray command opened; it is closed.
uint32_t g_opened = 0;
void CALLBACK CloseOpenedStatus(HWND, UINT, UINT_PTR, DWORD) {
  for (DeviceRecord* record = g_app.devices; record != nullptr; record = record->next) {
    if (record->bridge != nullptr && record->bridge->statusWindow != nullptr) {
      g_opened = record->id;
      EndDialog(record->bridge->statusWindow, 0);
    }
  }
}

// An item acts on the modem it was built for, also when another left while
// the menu was open; the item of one that left does nothing.
TEST_F(ProgramTest, TrayMenuItemsActOnTheModemTheyWereBuiltFor) {
  const int a = Plug();
  const int b = Plug();
  const int c = Plug();
  HMENU menu = g_app.BuildTrayMenu();  // from the top: a, b, c
  LocalBus().Unplug(c);
  ASSERT_TRUE(PumpUntil([&] { return RecordOf(c) == nullptr; }));
  const std::pair<UINT, DeviceRecord*> choices[] = {
      {IDM_DEVICE_BASE + 1, RecordOf(b)}, {IDM_DEVICE_BASE + 2, RecordOf(a)}, {IDM_DEVICE_BASE, nullptr}};
  for (const auto& choice : choices) {
    g_opened = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, CloseOpenedStatus);
    g_app.RunTrayCommand(choice.first, AppState::TrayItemRecord(menu, choice.first));
    KillTimer(nullptr, timer);
    EXPECT_EQ(g_opened, choice.second != nullptr ? choice.second->id : 0u) << choice.first;
  }
  DestroyMenu(menu);
}

TEST_F(ProgramTest, StatusWindowClosesWhenItsModemIsPulledOut) {
  g_statusProbe = {Plug(), nullptr, false};
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, UnplugUnderOpenWindow);
  g_app.RunTrayCommand(IDM_DEVICE_BASE, g_app.devices->id);
  KillTimer(nullptr, timer);
  EXPECT_TRUE(g_statusProbe.nestedReturned);
  EXPECT_NE(g_statusProbe.window, nullptr);
  EXPECT_FALSE(IsWindow(g_statusProbe.window));
  EXPECT_TRUE(Listed().empty());
  EXPECT_TRUE(IsWindow(g_app.mainWindow));
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_DEVICE));
}

// Windows dispatches messages sent to the main thread while it waits in a
// call to the shell: a removal of the very modem being served, the
// session's end, a worker's end. Memory freed meanwhile faults if it is
// read again, and the program ends where it would had the message come a
// moment later.
TEST_F(ProgramTest, MessagesSentInsideAShellCallFreeNothingItsCallerStillUses) {
  enum class Intruder { Removal, SessionEnd, WorkerEnd };
  struct Case {
    const char* name;
    UINT flags;  // the call: the balloon (NIF_INFO), or the icon's change
    Intruder intruder;
  };
  const Case cases[] = {{"removal in the balloon", NIF_INFO, Intruder::Removal},
                        {"session's end in the balloon", NIF_INFO, Intruder::SessionEnd},
                        {"worker's end in the balloon", NIF_INFO, Intruder::WorkerEnd},
                        {"removal in the icon's change", NIF_ICON, Intruder::Removal},
                        {"worker's end in the icon's change", NIF_ICON, Intruder::WorkerEnd}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!IsWindow(g_app.mainWindow)) {
      ASSERT_EQ(g_app.Initialize(), S_OK);
      KillTimer(g_app.mainWindow, TIMER_TICK);
    }
    freed_guard::Guard(true);
    const int modem = Plug();
    ASSERT_TRUE(Served(modem));
    const uint32_t id = RecordOf(modem)->id;
    InsideNextShellCall(NIM_MODIFY, c.flags, [&] {
      switch (c.intruder) {
        case Intruder::Removal:
          LocalBus().Unplug(modem);
          break;
        case Intruder::SessionEnd:
          Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
          break;
        case Intruder::WorkerEnd: {
          ModemBridge* bridge = RecordOf(modem)->bridge;
          LocalBus().FailCall(modem, BusCall::ReadPipe, simbus::CONTROL_IN, ERROR_GEN_FAILURE);
          Deliver(modem, {CTL_STATUS});
          for (int i = 0; i < 1000 && bridge->workerEnded.load() == 0; ++i) Sleep(10);
          LocalBus().FailCall(modem, BusCall::ReadPipe, simbus::CONTROL_IN, 0);
          Send(WM_GW_WORKER_ENDED, id);
          break;
        }
      }
    });
    if (c.flags == NIF_INFO) {
      Deliver(modem, IdentifyReply("4000000042"));
      Deliver(modem, ModemStatusReply(1000, 1000 + 3600));  // 71 hours left: the balloon
    } else {
      LoopbackServer server;
      Connect(modem, server.Address());  // the link's notice changes the icon
      ASSERT_TRUE(server.Accept(kWaitMs));
    }
    ASSERT_TRUE(PumpUntil([&] { return RecordOf(modem) == nullptr; }));
    Pump();
    freed_guard::Guard(false);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
    EXPECT_EQ(g_app.retired, nullptr);
    if (c.intruder == Intruder::SessionEnd) {
      EXPECT_FALSE(IsWindow(g_app.mainWindow));
      UnregisterClassA(MAIN_WINDOW_CLASS, g_app.instance);
    } else {
      EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_DEVICE));
    }
    if (c.intruder == Intruder::WorkerEnd) {
      EXPECT_EQ(g_app.rescanTicks, RESCAN_DELAY_TICKS);
      Bytes unread;  // the link's reply, which no modem took
      while (LocalBus().Take(modem, simbus::CONTROL_OUT, &unread, 0)) {
      }
      Tick(RESCAN_DELAY_TICKS);
      EXPECT_TRUE(Served(modem));
    }
    LocalBus().Unplug(modem);
    Pump();
  }
}

TEST_F(ProgramTest, BalloonIsCutAt255Characters) {
  const std::string text(300, 'x');
  g_app.ShowBalloon(text.c_str());
  const ShellCall& call = ShellCalls().back();
  EXPECT_EQ(call.message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(call.data.uFlags, static_cast<UINT>(NIF_INFO));
  EXPECT_EQ(std::string(call.data.szInfo), text.substr(0, 255));
  EXPECT_EQ(call.data.uTimeout, 15000u);
  EXPECT_STREQ(call.data.szInfoTitle, "");
  EXPECT_EQ(call.data.dwInfoFlags, 0u);
  EXPECT_EQ(call.data.hWnd, g_app.mainWindow);
}

// At logon the taskbar may not be there yet, or the shell too busy to
// answer: the icon is offered again every second until it is taken, and a
// balloon that fell due meanwhile follows it.
TEST_F(ProgramTest, IconTheShellRefusedIsOfferedAgainAndTheDueBalloonFollows) {
  Plug();
  RefuseShellCalls(true);
  Send(RegisterWindowMessageA("TaskbarCreated"));
  EXPECT_FALSE(g_app.ShowBalloon("due"));
  ClearShellCalls();
  Tick(30);
  EXPECT_EQ(ShellCalls().size(), 6u) << "an add and a change a second, no more";
  RefuseShellCalls(false);
  ClearShellCalls();
  for (int tick = 0; tick < 10 && ShellCalls().empty(); ++tick) Tick(1);
  ASSERT_EQ(ShellCalls().size(), 3u);
  EXPECT_EQ(ShellCalls()[0].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
  EXPECT_EQ(ShownBalloons(), std::vector<std::string>{"due"});
  Tick(30);
  EXPECT_EQ(ShellCalls().size(), 3u);

  // A shell that has the icon but refuses balloons (group policy): the icon
  // is judged by a plain change, and the balloon asked three times, a second
  // apart, then dropped.
  RefuseShellCalls(true, NIF_INFO);
  ClearShellCalls();
  EXPECT_FALSE(g_app.ShowBalloon("refused"));
  Tick(60);
  RefuseShellCalls(false);
  EXPECT_EQ(ShownBalloons(), std::vector<std::string>(3, "refused"));
  ASSERT_EQ(ShellCalls().size(), 5u) << "each retry a plain change and the balloon";
  for (const ShellCall& call : ShellCalls()) EXPECT_EQ(call.message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_TRUE(g_app.trayIconShown);
}

TEST_F(ProgramTest, IconIsAddedAgainWhenTheShellRestarts) {
  Plug();
  ClearShellCalls();
  Send(RegisterWindowMessageA("TaskbarCreated"));
  ASSERT_EQ(ShellCalls().size(), 2u);
  EXPECT_EQ(ShellCalls()[0].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(ShellCalls()[1].message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(ShownIcon(), TrayIcon(IDI_NO_LINK));
}

// Three linked modems, each with data the gateway has handed to its socket
// and the server has not read yet, see the program end: every link closes
// in order after all of that data (a reset would throw away what the
// server had not read), and nothing is left open.
// At the session's end there are eight, and their modems take nothing more.
void ExpectOrderlyEnd(const std::function<void()>& end, int kModems = 3, bool sessionEnd = false) {
  const Bytes data(20000, 0x5A);
  LoopbackServer servers[8];
  int modems[8];
  for (int i = 0; i < kModems; ++i) {
    modems[i] = LocalBus().Plug(simbus::StandardLayout());
    Connect(modems[i], servers[i].Address());
    ASSERT_TRUE(servers[i].Accept(kWaitMs));
    ASSERT_TRUE(
        PumpUntil([&] { return RecordOf(modems[i]) != nullptr && RecordOf(modems[i])->IsConnected(); }));
    LocalBus().Deliver(modems[i], simbus::DATA_IN, data.data(), static_cast<uint32_t>(data.size()));
    ASSERT_TRUE(
        PumpUntil([&] { return RecordOf(modems[i])->bridge->traffic.sendBytes.load() == data.size(); }));
    if (sessionEnd) LocalBus().HoldWrites(modems[i], simbus::CONTROL_OUT, true);
  }
  const size_t shellCalls = ShellCalls().size();
  end();

  if (sessionEnd) {
    EXPECT_EQ(ShellCalls().size(), shellCalls) << "the shell ends with the session and is not called";
  } else {
    EXPECT_EQ(ShellCalls().back().message, static_cast<DWORD>(NIM_DELETE));
  }
  EXPECT_EQ(g_app.devices, nullptr);
  EXPECT_EQ(g_app.interfaceNotification, nullptr);
  EXPECT_EQ(g_app.winsockStarted, 0);
  for (int i = 0; i < kModems; ++i) {
    Bytes got;
    bool orderly = false;
    EXPECT_TRUE(servers[i].ReceiveUntilClose(&got, kWaitMs, &orderly)) << i;
    EXPECT_TRUE(orderly) << "link " << i << " was reset";
    EXPECT_EQ(got, data) << i;
    EXPECT_EQ(LocalBus().OpenHandles(modems[i]), 0u);
    EXPECT_EQ(LocalBus().PendingTransfers(modems[i]), 0u);
    LocalBus().Unplug(modems[i]);
  }
}

TEST_F(ProgramTest, ExitWithLinkedModemsClosesEverything) {
  ExpectOrderlyEnd([] {
    g_app.RunTrayCommand(IDM_EXIT);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    g_app.Shutdown();
  });
}

// At logoff or shut-down Windows ends the process once WM_ENDSESSION has
// been answered: the program closes everything before it answers.
// Windows gives it about 5 s: every link closes at once, and the shell,
// which may not answer, is not waited for.
TEST_F(ProgramTest, TheSessionsEndClosesEverythingBeforeItIsAnswered) {
  for (int modems : {1, 8}) {
    SCOPED_TRACE(modems);
    if (!IsWindow(g_app.mainWindow)) {
      ASSERT_EQ(g_app.Initialize(), S_OK);
      KillTimer(g_app.mainWindow, TIMER_TICK);
    }
    ExpectOrderlyEnd(
        [modems] {
          EXPECT_EQ(Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
          Send(WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
          EXPECT_TRUE(IsWindow(g_app.mainWindow)) << "a cancelled logoff ends nothing";
          EXPECT_EQ(Listed().size(), static_cast<size_t>(modems));
          DelayShellCalls(5000);
          const ULONGLONG start = GetTickCount64();
          Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
          const ULONGLONG took = GetTickCount64() - start;
          DelayShellCalls(0);
          EXPECT_LT(took, 2000u);
          std::printf("WM_ENDSESSION with %d linked modems answered in %llu ms\n", modems, took);
          EXPECT_FALSE(IsWindow(g_app.mainWindow));
        },
        modems, true);
    Pump();
    UnregisterClassA(MAIN_WINDOW_CLASS, g_app.instance);
  }
}

}  // namespace

// The program itself, as a shop's PC starts it: the simulated build, run
// twice, then ended the way a keyboard would end it.
namespace {

std::string ProgramPath() {
  std::string path = "Z:" VARNEL_SIM_EXE;
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// Starts the program; suspended, the caller resumes its *thread.
HANDLE Launch(HANDLE* thread = nullptr) {
  const std::string path = ProgramPath();
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE,
                      thread != nullptr ? CREATE_SUSPENDED : 0, nullptr, nullptr, &startup, &process))
    return nullptr;
  if (thread != nullptr) {
    *thread = process.hThread;
  } else {
    CloseHandle(process.hThread);
  }
  return process.hProcess;
}

DWORD ExitCode(HANDLE process) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

// The exe's version block, as Explorer's properties page reads it.
std::string VersionText(const char* name) {
  const std::string path = ProgramPath();
  std::vector<char> block(GetFileVersionInfoSizeA(path.c_str(), nullptr));
  if (block.empty() || !GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()))
    return "";
  char* text = nullptr;
  UINT length = 0;
  const std::string key = std::string("\\StringFileInfo\\042204E3\\") + name;
  return VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&text), &length) ? text : "";
}

TEST(ProgramProcess, CarriesItsVersionInUkrainian) {
  EXPECT_EQ(VersionText("ProductName"), "Varnel");
  EXPECT_EQ(VersionText("ProductVersion"), VARNEL_VERSION_TEXT);
  EXPECT_EQ(VersionText("FileDescription"),
            ToCodePage1251("Varnel: з'єднання фіскального модема РРО з сервером еквайера"));
}

TEST(ProgramProcess, SecondInstanceLeavesAtOnceAndEscapeEndsTheFirst) {
  const HANDLE first = Launch();
  ASSERT_NE(first, nullptr);
  HWND window = nullptr;
  ASSERT_TRUE(PumpUntil(
      [&] { return (window = FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE)) != nullptr; }, 30000));

  const HANDLE second = Launch();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(WaitForSingleObject(second, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(second), 0u);
  CloseHandle(second);
  EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  EXPECT_EQ(SendMessageA(window, WM_CHAR, 'q', 0), 1);
  EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  PostMessageA(window, WM_CHAR, VK_ESCAPE, 0);
  EXPECT_EQ(WaitForSingleObject(first, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(first), 0u);
  if (ExitCode(first) == STILL_ACTIVE) TerminateProcess(first, 1);
  CloseHandle(first);
}

// Started while the copy before it still closes its links after "Exit"
// (here: the instance mutex held a second longer), it waits and runs.
TEST(ProgramProcess, ACopyStartedWhileTheLastOneEndsRunsOnceItHasGone) {
  const HANDLE closing = CreateMutexA(nullptr, TRUE, "Local\\Varnel.Instance");
  ASSERT_NE(closing, nullptr);
  const HANDLE copy = Launch();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(WaitForSingleObject(copy, 1000), static_cast<DWORD>(WAIT_TIMEOUT)) << "left at once";
  ReleaseMutex(closing);
  CloseHandle(closing);
  HWND window = nullptr;
  EXPECT_TRUE(PumpUntil(
      [&] { return (window = FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE)) != nullptr; }, 30000));
  if (window != nullptr) PostMessageA(window, WM_CHAR, VK_ESCAPE, 0);
  EXPECT_EQ(WaitForSingleObject(copy, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(ExitCode(copy), 0u);
  CloseHandle(copy);
}

// The Run entry and the installer's "start now", or a double double-click,
// can start two copies at the same moment: one serves, the other leaves.
TEST(ProgramProcess, OfTwoCopiesStartedAtOnceExactlyOneStays) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    HANDLE threads[2] = {};
    HANDLE copies[2] = {Launch(&threads[0]), Launch(&threads[1])};
    ASSERT_TRUE(copies[0] != nullptr && copies[1] != nullptr);
    for (HANDLE thread : threads) ResumeThread(thread);
    for (HANDLE thread : threads) CloseHandle(thread);
    const DWORD first = WaitForMultipleObjects(2, copies, FALSE, 30000) - WAIT_OBJECT_0;
    ASSERT_LT(first, 2u);
    EXPECT_EQ(ExitCode(copies[first]), 0u);
    const HANDLE stays = copies[1 - first];
    HWND window = nullptr;
    EXPECT_TRUE(PumpUntil(
        [&] { return (window = FindWindowA(MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE)) != nullptr; }, 30000));
    EXPECT_EQ(FindWindowExA(nullptr, window, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE), nullptr) << "two windows";
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(owner, GetProcessId(stays));
    EXPECT_EQ(WaitForSingleObject(stays, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    PostMessageA(window, WM_CHAR, VK_ESCAPE, 0);
    EXPECT_EQ(WaitForSingleObject(stays, 30000), WAIT_OBJECT_0);
    for (HANDLE copy : copies) {
      if (ExitCode(copy) == STILL_ACTIVE) TerminateProcess(copy, 1);
      CloseHandle(copy);
    }
  }
}

}  // namespace
