// Device discovery, device records and the device list, against the
// simulated modem bus. A small window stands in for the main window and
// handles device events and worker notices the way the main window does.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "base/result_codes.h"
#include "bridge/control_message.h"
#include "bridge/io_buffer.h"
#include "bridge/modem_bridge.h"
#include "simbus/modem_bus.h"
#include "tests/win/loopback_server.h"
#include "tests/win/message_pump.h"
#include "trace/etw_recorder.h"
#include "trace/provider.h"
#include "usb/device_record.h"

// Every new (std::nothrow) of the test thread is counted, and one of them
// can be made to fail. Other threads (bridge workers) are left alone.
namespace {

std::atomic<DWORD> g_countedThread{0};
std::atomic<long> g_nothrowAllocations{0};
std::atomic<long> g_failAllocation{-1};

void* CountedAllocation(std::size_t size) {
  if (GetCurrentThreadId() == g_countedThread.load()) {
    if (g_nothrowAllocations.fetch_add(1) == g_failAllocation.load()) return nullptr;
  }
  return std::malloc(size != 0 ? size : 1);
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocation(size);
}

namespace {

using simbus::BusCall;
using simbus::LocalBus;

constexpr DWORD kWaitMs = 10000;

// Notices to the stand-in main window; no status window.
BridgeOwner StandInOwner() {
  return {g_app.mainWindow, 0, nullptr, nullptr, nullptr};
}

// ---------------------------------------------------------------------------
// The stand-in main window.

int g_removedByEvent = 0;
int g_removedByWorkerEnd = 0;

void OnDeviceChange(WPARAM event, LPARAM lParam) {
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (header == nullptr) return;
  if (event == DBT_DEVICEARRIVAL && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    g_app.AddDevice(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam)->dbcc_name);
  } else if ((event == DBT_DEVICEQUERYREMOVE || event == DBT_DEVICEREMOVECOMPLETE) &&
             header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    const HANDLE file = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_handle;
    for (DeviceRecord* record = g_app.devices; record != nullptr; record = record->next) {
      if (record->file == file) {
        g_app.RemoveDevice(record);
        ++g_removedByEvent;
        break;
      }
    }
  }
}

LRESULT CALLBACK GatewayProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DEVICECHANGE:
      OnDeviceChange(wParam, lParam);
      break;
    case WM_GW_LINK_CHANGED:
      if (DeviceRecord* record = g_app.FindRecord(wParam)) record->OnStateChanged();
      break;
    case WM_GW_WORKER_ENDED:
      if (DeviceRecord* record = g_app.FindRecord(wParam)) {
        g_app.RemoveDevice(record);
        ++g_removedByWorkerEnd;
      }
      break;
    case WM_GW_DEVICE_MESSAGE:
      if (DeviceRecord* record = g_app.FindRecord(wParam)) {
        auto* buffer = reinterpret_cast<IoBuffer*>(lParam);
        if (record->bridge != nullptr && TakePostedMessage(record->bridge, buffer))
          g_app.TakeDeviceMessage(record, buffer);
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

void Pump() {
  PumpMessages();
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs) {
  return PumpMessagesUntil(done, timeoutMs);
}

std::vector<DeviceRecord*> ListedRecords() {
  std::vector<DeviceRecord*> records;
  for (DeviceRecord* record = g_app.devices; record != nullptr; record = record->next)
    records.push_back(record);
  return records;
}

std::string Upper(const char* text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// As the system sends it for an interface-class registration.
void SendArrival(const std::string& path) {
  std::vector<char> bytes(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + path.size());
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
  broadcast->dbcc_size = static_cast<DWORD>(bytes.size());
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(broadcast->dbcc_name, path.c_str(), path.size() + 1);
  SendMessageA(g_app.mainWindow, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(broadcast));
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartSockets();
    WNDCLASSA wc = {};
    wc.lpfnWndProc = GatewayProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VarnelDeviceTestWnd";
    RegisterClassA(&wc);  // a second registration fails harmlessly
    window_ = CreateWindowExA(0, wc.lpszClassName, "device test", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              wc.hInstance, nullptr);
    ASSERT_NE(window_, nullptr);
    g_app.mainWindow = window_;
    g_app.devices = nullptr;
    g_removedByEvent = 0;
    g_removedByWorkerEnd = 0;
    g_countedThread = GetCurrentThreadId();
  }

  void TearDown() override {
    g_failAllocation = -1;
    while (g_app.devices != nullptr) g_app.RemoveDevice(g_app.devices);
    for (int modem : plugged_) LocalBus().Unplug(modem);
    Pump();
    DestroyWindow(window_);
    g_app.mainWindow = nullptr;
  }

  int Plug(const simbus::ModemLayout& layout) {
    const int modem = LocalBus().Plug(layout);
    plugged_.push_back(modem);
    return modem;
  }
  void Unplug(int modem) {
    LocalBus().Unplug(modem);
    for (auto it = plugged_.begin(); it != plugged_.end(); ++it) {
      if (*it == modem) {
        plugged_.erase(it);
        break;
      }
    }
  }
  static const char* PathOf(int modem) { return LocalBus().DevicePath(modem); }

  HWND window_ = nullptr;
  std::vector<int> plugged_;
};

// ---------------------------------------------------------------------------
// Layouts.

simbus::ModemLayout WithInterfaces(size_t count) {
  simbus::ModemLayout layout;
  for (size_t i = 0; i < count; ++i) layout.interfaces.push_back(simbus::StandardLayout().interfaces[0]);
  return layout;
}

simbus::ModemLayout Edited(const std::function<void(simbus::ModemLayout&)>& edit) {
  simbus::ModemLayout layout = simbus::StandardLayout();
  edit(layout);
  return layout;
}

simbus::InterfaceLayout& First(simbus::ModemLayout& layout) {
  return layout.interfaces[0];
}

// ---------------------------------------------------------------------------
// Finding and listing.

TEST_F(DeviceTest, SameModemFromEnumerationAndArrivalInOtherCaseIsOpenedOnce) {
  for (const bool arrivalFirst : {false, true}) {
    SCOPED_TRACE(arrivalFirst ? "arrival first" : "enumeration first");
    const int modem = Plug(simbus::StandardLayout());
    const std::string shouted = Upper(PathOf(modem));
    if (arrivalFirst) {
      SendArrival(shouted);
      g_app.EnumerateDevices();
    } else {
      g_app.EnumerateDevices();
      SendArrival(shouted);
    }
    ASSERT_EQ(ListedRecords().size(), 1u);
    EXPECT_STREQ(g_app.devices->path, arrivalFirst ? shouted.c_str() : PathOf(modem));
    EXPECT_EQ(LocalBus().OpenHandles(modem), 2u);  // the file and one WinUSB handle
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), 1u);
    g_app.RemoveDevice(g_app.devices);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    Unplug(modem);
  }
}

TEST_F(DeviceTest, ListedPathAllocatesAndChangesNothing) {
  const int older = Plug(simbus::StandardLayout());
  const int newer = Plug(simbus::StandardLayout());
  g_app.AddDevice(PathOf(older));
  g_app.AddDevice(PathOf(newer));
  const std::vector<DeviceRecord*> before = ListedRecords();
  ASSERT_EQ(before.size(), 2u);
  const HANDLE file = before[1]->file;
  const char* const path = before[1]->path;
  const ModemBridge* const bridge = before[1]->bridge;

  const long allocations = g_nothrowAllocations;
  g_app.AddDevice(PathOf(older));
  g_app.AddDevice(Upper(PathOf(older)).c_str());
  g_app.AddDevice(PathOf(newer));
  EXPECT_EQ(g_nothrowAllocations, allocations);

  EXPECT_EQ(ListedRecords(), before);
  EXPECT_EQ(before[1]->file, file);
  EXPECT_EQ(before[1]->path, path);
  EXPECT_EQ(before[1]->bridge, bridge);
  EXPECT_EQ(LocalBus().OpenHandles(older), 2u);
  EXPECT_EQ(LocalBus().HandleRegistrations(older), 1u);
}

TEST_F(DeviceTest, FailingDetailQueryEndsTheEnumerationPass) {
  const int a = Plug(simbus::StandardLayout());
  const int b = Plug(simbus::StandardLayout());
  const int c = Plug(simbus::StandardLayout());
  LocalBus().FailCall(b, BusCall::InterfaceDetail, simbus::ANY_ARGUMENT, ERROR_GEN_FAILURE);
  g_app.EnumerateDevices();
  ASSERT_EQ(ListedRecords().size(), 1u);
  EXPECT_STREQ(g_app.devices->path, PathOf(a));
  EXPECT_EQ(LocalBus().OpenHandles(b), 0u);
  EXPECT_EQ(LocalBus().OpenHandles(c), 0u);

  // The next pass picks up the rest and leaves the listed one alone.
  DeviceRecord* const listedA = g_app.devices;
  LocalBus().FailCall(b, BusCall::InterfaceDetail, simbus::ANY_ARGUMENT, 0);
  g_app.EnumerateDevices();
  const std::vector<DeviceRecord*> records = ListedRecords();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2], listedA);
  EXPECT_EQ(LocalBus().OpenHandles(a), 2u);
}

TEST_F(DeviceTest, ModemThatFailsToOpenDoesNotStopTheEnumeration) {
  const int a = Plug(simbus::StandardLayout());
  const int refused = Plug(WithInterfaces(2));
  const int c = Plug(simbus::StandardLayout());
  g_app.EnumerateDevices();
  const std::vector<DeviceRecord*> records = ListedRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_STREQ(records[0]->path, PathOf(c));
  EXPECT_STREQ(records[1]->path, PathOf(a));
  EXPECT_EQ(LocalBus().OpenHandles(refused), 0u);
}

// ---------------------------------------------------------------------------
// Opening: interfaces, refused layouts, failing steps.

TEST_F(DeviceTest, UpToEightInterfacesAreOpenedAndSuchAModemIsRefused) {
  struct Case {
    size_t present;
    int32_t opened;
  };
  for (const Case& c : {Case{2, 2}, Case{8, 8}, Case{9, 8}}) {
    SCOPED_TRACE(c.present);
    const int modem = Plug(WithInterfaces(c.present));
    auto* record = new DeviceRecord{};
    EXPECT_EQ(record->Open(PathOf(modem), StandInOwner()), E_NOTIMPL);
    EXPECT_EQ(record->interfaceCount, c.opened);
    EXPECT_EQ(record->bridge, nullptr);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 1u + static_cast<uint32_t>(c.opened));
    record->Destroy();
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
    record->Destroy();  // a second one does nothing
    delete record;

    g_app.AddDevice(PathOf(modem));
    EXPECT_EQ(g_app.devices, nullptr);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    Unplug(modem);
  }
}

TEST_F(DeviceTest, RefusedLayoutsAreClosedAtOnceAndNotListed) {
  using simbus::ModemLayout;
  struct Case {
    const char* name;
    ModemLayout layout;
    HRESULT result;
  };
  const Case cases[] = {
      {"class 0xFF", Edited([](ModemLayout& l) { First(l).interfaceClass = 0xFF; }), E_NOTIMPL},
      {"subclass 1", Edited([](ModemLayout& l) { First(l).interfaceSubClass = 1; }), E_NOTIMPL},
      {"protocol 1", Edited([](ModemLayout& l) { First(l).interfaceProtocol = 1; }), E_NOTIMPL},
      {"three pipes", Edited([](ModemLayout& l) { First(l).pipes.pop_back(); }), E_NOTIMPL},
      {"five pipes", Edited([](ModemLayout& l) {
         First(l).pipes.push_back({0x83, 2, 64});
       }),
       E_NOTIMPL},
      {"512-byte packets", Edited([](ModemLayout& l) { First(l).pipes[3].maxPacketSize = 512; }), E_NOTIMPL},
      {"interrupt pipe", Edited([](ModemLayout& l) { First(l).pipes[1].pipeType = 3; }), E_NOTIMPL},
      {"IN IN OUT OUT", Edited([](ModemLayout& l) {
         First(l).pipes = {{0x81, 2, 64}, {0x82, 2, 64}, {0x01, 2, 64}, {0x02, 2, 64}};
       }),
       E_NOTIMPL},
      {"second interface", WithInterfaces(2), E_NOTIMPL},
      {"no endpoints", Edited([](ModemLayout& l) { First(l).pipes.clear(); }), E_UNEXPECTED},
  };

  // A listed modem shows that a refusal leaves the list as it was.
  g_app.AddDevice(PathOf(Plug(simbus::StandardLayout())));
  DeviceRecord* const listed = g_app.devices;
  ASSERT_NE(listed, nullptr);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int modem = Plug(c.layout);
    g_app.AddDevice(PathOf(modem));
    EXPECT_EQ(g_app.devices, listed);
    EXPECT_EQ(listed->next, nullptr);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);

    DeviceRecord record{};
    EXPECT_EQ(record.Open(PathOf(modem), StandInOwner()), c.result);
    EXPECT_EQ(record.bridge, nullptr);
    record.Destroy();
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    Unplug(modem);
  }

  // The pairing goes by direction, not position: OUT, IN, IN, OUT is a modem.
  const int swapped = Plug(Edited([](ModemLayout& l) {
    First(l).pipes = {{0x01, 2, 64}, {0x81, 2, 64}, {0x82, 2, 64}, {0x02, 2, 64}};
  }));
  g_app.AddDevice(PathOf(swapped));
  EXPECT_EQ(ListedRecords().size(), 2u);
  EXPECT_EQ(LocalBus().OpenHandles(swapped), 2u);
}

TEST_F(DeviceTest, EachFailingStepOfOpenGivesItsResultAndLeavesItsError) {
  struct Case {
    const char* name;
    size_t interfaces;
    BusCall call;
    int32_t argument;
    DWORD error;
    HRESULT result;
  };
  const Case cases[] = {
      {"device file", 1, BusCall::OpenDeviceFile, simbus::ANY_ARGUMENT, ERROR_ACCESS_DENIED,
       GW_E_OPEN_DEVICE},
      {"notification", 1, BusCall::RegisterNotification, simbus::ANY_ARGUMENT, ERROR_INVALID_DATA,
       GW_E_NOTIFICATION},
      {"initialize", 1, BusCall::Initialize, simbus::ANY_ARGUMENT, ERROR_GEN_FAILURE, GW_E_USB},
      {"first interface settings", 1, BusCall::QueryInterfaceSettings, 0, ERROR_BAD_COMMAND, GW_E_USB},
      {"third pipe", 1, BusCall::QueryPipe, 2, ERROR_INVALID_HANDLE, GW_E_USB},
      {"associated interface", 3, BusCall::GetAssociatedInterface, 1, ERROR_GEN_FAILURE, GW_E_USB},
      {"associated settings", 3, BusCall::QueryInterfaceSettings, 2, ERROR_BAD_COMMAND, GW_E_USB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int modem = Plug(WithInterfaces(c.interfaces));
    LocalBus().FailCall(modem, c.call, c.argument, c.error);
    DeviceRecord record{};
    EXPECT_EQ(record.Open(PathOf(modem), StandInOwner()), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(record.bridge, nullptr);
    record.Destroy();
    EXPECT_EQ(record.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(record.path, nullptr);
    EXPECT_EQ(record.interfaceCount, 0);
    EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
    Unplug(modem);
  }
}

TEST_F(DeviceTest, NoMoreAssociatedInterfacesEndsTheCollection) {
  const int modem = Plug(WithInterfaces(2));
  LocalBus().FailCall(modem, BusCall::GetAssociatedInterface, 0, ERROR_NO_MORE_ITEMS);
  g_app.AddDevice(PathOf(modem));
  ASSERT_NE(g_app.devices, nullptr);
  EXPECT_EQ(g_app.devices->interfaceCount, 1);
  EXPECT_EQ(LocalBus().OpenHandles(modem), 2u);
}

TEST_F(DeviceTest, MissingPathOrModemIsNotOpened) {
  struct Case {
    const char* path;
    HRESULT result;
  };
  for (const Case& c : {Case{nullptr, E_UNEXPECTED}, Case{"", E_UNEXPECTED},
                        Case{"\\\\?\\usb#vid_0000&pid_0000#nothing#{x}", GW_E_OPEN_DEVICE}}) {
    SCOPED_TRACE(c.path != nullptr ? c.path : "(null)");
    DeviceRecord record{};
    EXPECT_EQ(record.Open(c.path, StandInOwner()), c.result);
    record.Destroy();
    EXPECT_EQ(record.path, nullptr);
    g_app.AddDevice(c.path);
    EXPECT_EQ(g_app.devices, nullptr);
  }
}

// Whichever allocation fails, the modem is either listed whole or not listed
// and left with nothing open.
TEST_F(DeviceTest, AllocationFailureNeverListsAPartialRecord) {
  const int modem = Plug(simbus::StandardLayout());
  int unlisted = 0;
  for (long failAt = 0;; ++failAt) {
    ASSERT_LT(failAt, 100) << "the open never got through";
    SCOPED_TRACE(failAt);
    g_nothrowAllocations = 0;
    g_failAllocation = failAt;
    g_app.AddDevice(PathOf(modem));
    g_failAllocation = -1;
    const bool failed = g_nothrowAllocations > failAt;
    if (g_app.devices == nullptr) {
      ++unlisted;
      EXPECT_TRUE(failed);
      EXPECT_EQ(g_app.rescanTicks, RESCAN_DELAY_TICKS) << "a modem short of memory is tried again";
      g_app.rescanTicks = 0;
      EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
      EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
    } else {
      EXPECT_EQ(LocalBus().OpenHandles(modem), 2u);
      EXPECT_NE(g_app.devices->bridge, nullptr);
      g_app.RemoveDevice(g_app.devices);
      EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
    }
    if (!failed) break;
  }
  // At least the record, the path copy and the interface object.
  EXPECT_GE(unlisted, 3);
}

// ---------------------------------------------------------------------------
// Removal.

TEST_F(DeviceTest, RemoveDeviceUnlinksHeadMiddleAndTailAndIgnoresUnlisted) {
  const int a = Plug(simbus::StandardLayout());
  const int b = Plug(simbus::StandardLayout());
  const int c = Plug(simbus::StandardLayout());
  const int stray = Plug(simbus::StandardLayout());
  for (int modem : {a, b, c}) g_app.AddDevice(PathOf(modem));
  std::vector<DeviceRecord*> records = ListedRecords();  // c, b, a
  ASSERT_EQ(records.size(), 3u);

  auto* unlisted = new DeviceRecord{};
  ASSERT_EQ(unlisted->Open(PathOf(stray), StandInOwner()), S_OK);
  g_app.RemoveDevice(unlisted);
  EXPECT_EQ(ListedRecords(), records);
  EXPECT_EQ(LocalBus().OpenHandles(stray), 0u);

  g_app.RemoveDevice(records[1]);  // middle
  EXPECT_EQ(ListedRecords(), (std::vector<DeviceRecord*>{records[0], records[2]}));
  EXPECT_EQ(LocalBus().OpenHandles(b), 0u);
  g_app.RemoveDevice(records[2]);  // tail
  EXPECT_EQ(ListedRecords(), (std::vector<DeviceRecord*>{records[0]}));
  EXPECT_EQ(LocalBus().OpenHandles(a), 0u);
  g_app.RemoveDevice(records[0]);  // head
  EXPECT_EQ(g_app.devices, nullptr);
  EXPECT_EQ(LocalBus().OpenHandles(c), 0u);
  EXPECT_EQ(LocalBus().HandleRegistrations(c), 0u);
}

// Full access first; refused it, as a user is by a device's default
// security, read and write, which is all WinUSB needs.
TEST_F(DeviceTest, DeviceFileIsOpenedOverlappedAndSharedWithTheRightsItIsGranted) {
  using simbus::DeviceSecurity;
  constexpr uint32_t kAll = GENERIC_ALL, kReadWrite = GENERIC_READ | GENERIC_WRITE,
                     kDenied = ERROR_ACCESS_DENIED;
  struct Case {
    const char* name;
    DeviceSecurity security;
    bool elevated;
    std::vector<std::pair<uint32_t, uint32_t>> tries;  // access, error
  } const cases[] = {
      {"user, default security", DeviceSecurity::Default, false, {{kAll, kDenied}, {kReadWrite, 0}}},
      {"administrator", DeviceSecurity::Default, true, {{kAll, 0}}},
      {"user, full access for everyone", DeviceSecurity::EveryoneFull, false, {{kAll, 0}}},
  };
  for (const Case& c : cases) {
    const int modem = Plug(simbus::StandardLayout());
    ASSERT_TRUE(LocalBus().SetAccess(modem, {c.security, false, false}));
    LocalBus().SetCallerElevated(c.elevated);
    g_app.AddDevice(PathOf(modem));
    LocalBus().SetCallerElevated(false);
    ASSERT_NE(g_app.devices, nullptr) << c.name;
    const std::vector<simbus::FileOpen> opens = LocalBus().FileOpens(modem);
    ASSERT_EQ(opens.size(), c.tries.size()) << c.name;
    for (size_t i = 0; i < opens.size(); ++i) {
      EXPECT_EQ(opens[i].access, c.tries[i].first) << c.name << ", try " << i;
      EXPECT_EQ(opens[i].error, c.tries[i].second) << c.name << ", try " << i;
      EXPECT_EQ(opens[i].shareMode, static_cast<uint32_t>(FILE_SHARE_READ | FILE_SHARE_WRITE));
      EXPECT_EQ(opens[i].disposition, static_cast<uint32_t>(OPEN_EXISTING));
      EXPECT_EQ(opens[i].flags, static_cast<uint32_t>(FILE_FLAG_OVERLAPPED));
    }
    g_app.RemoveDevice(g_app.devices);
  }
}

// A record lets go of its modem in one order, however far its open got: the
// notification, the interfaces first to last, then the file.
TEST_F(DeviceTest, RecordReleasesNotificationInterfacesThenFile) {
  using simbus::Release;
  using simbus::ReleaseCall;
  const Release unregister{ReleaseCall::UnregisterNotification, 0};
  const Release close{ReleaseCall::CloseFile, 0};
  auto free = [](uint8_t index) { return Release{ReleaseCall::FreeInterface, index}; };
  struct Case {
    const char* name;
    size_t interfaces;
    BusCall failing;  // fails with `error`; nothing fails when it is 0
    DWORD error;
    std::vector<Release> releases;
  };
  const Case cases[] = {
      {"listed, then removed", 1, BusCall::Initialize, 0, {unregister, free(0), close}},
      {"three interfaces, refused",
       3,
       BusCall::Initialize,
       0,
       {unregister, free(0), free(1), free(2), close}},
      {"WinUSB refused", 1, BusCall::Initialize, ERROR_GEN_FAILURE, {unregister, close}},
      {"notification refused", 1, BusCall::RegisterNotification, ERROR_GEN_FAILURE, {close}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int modem = Plug(WithInterfaces(c.interfaces));
    LocalBus().FailCall(modem, c.failing, simbus::ANY_ARGUMENT, c.error);
    g_app.AddDevice(PathOf(modem));
    if (g_app.devices != nullptr) g_app.RemoveDevice(g_app.devices);
    EXPECT_EQ(LocalBus().TakeReleases(modem), c.releases);
    Unplug(modem);
  }
}

// Every pass destroys its device information set, also when it ends early.
TEST_F(DeviceTest, EveryEnumerationPassDestroysItsSet) {
  struct Case {
    const char* name;
    bool detailFails;
    long failAllocation;  // -1: none; 0: the first detail buffer
  };
  const Case cases[] = {{"whole pass", false, -1}, {"detail fails", true, -1}, {"no memory", false, 0}};
  const int modem = Plug(simbus::StandardLayout());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LocalBus().FailCall(modem, BusCall::InterfaceDetail, simbus::ANY_ARGUMENT,
                        c.detailFails ? ERROR_GEN_FAILURE : 0);
    const uint32_t sets = LocalBus().OpenDeviceSets();
    g_nothrowAllocations = 0;
    g_failAllocation = c.failAllocation;
    g_app.EnumerateDevices();
    g_failAllocation = -1;
    EXPECT_EQ(g_app.devices != nullptr, c.failAllocation < 0 && !c.detailFails);
    EXPECT_EQ(LocalBus().OpenDeviceSets(), sets);
    while (g_app.devices != nullptr) g_app.RemoveDevice(g_app.devices);
  }
}

// ---------------------------------------------------------------------------
// Forwarding and the display name.

TEST_F(DeviceTest, RecordWithoutBridgeForwardsNothing) {
  DeviceRecord record{};
  ASSERT_EQ(record.Open(nullptr, StandInOwner()), E_UNEXPECTED);  // a record whose open failed
  ASSERT_EQ(record.bridge, nullptr);
  IoBuffer* message = AllocIoBuffer();
  ASSERT_NE(message, nullptr);
  message->count = 1;
  record.OnDeviceMessage(message);  // freed, not forwarded
  EXPECT_EQ(record.IsConnected(), 0);
  record.OnTick();
  record.ShowStatus();
  record.OnStateChanged();
  record.Destroy();
}

TEST_F(DeviceTest, DisplayNameIsCopiedAndClearedByNullOrEmptyText) {
  DeviceRecord record{};
  record.Open(nullptr, StandInOwner());
  char serial[] = "SN000123";
  record.SetDisplayName(serial);
  ASSERT_NE(record.displayName, nullptr);
  EXPECT_NE(record.displayName, serial);
  serial[0] = 'X';
  EXPECT_STREQ(record.displayName, "SN000123");
  record.SetDisplayName(record.displayName);  // its own name
  EXPECT_STREQ(record.displayName, "SN000123");
  record.SetDisplayName("");
  EXPECT_EQ(record.displayName, nullptr);
  record.SetDisplayName("SN2");
  record.SetDisplayName(nullptr);
  EXPECT_EQ(record.displayName, nullptr);
  record.SetDisplayName("SN3");
  record.Destroy();
  EXPECT_EQ(record.displayName, nullptr);
}

// ---------------------------------------------------------------------------
// Unplugging a modem in the middle of traffic.

// Takes control messages until one of `type` arrives.
bool TakeControl(int modem, uint8_t type) {
  std::vector<uint8_t> message;
  while (LocalBus().Take(modem, simbus::CONTROL_OUT, &message, kWaitMs)) {
    if (!message.empty() && message[0] == type) return true;
  }
  return false;
}

enum class Removal { kUnplug, kQueryRemove, kWorkerEnd };

// The process's open kernel handles, found by probing handle values (Wine's
// GetProcessHandleCount always reports 0).
uint32_t CountOpenHandles() {
  uint32_t open = 0;
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    open += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
  }
  return open;
}

// Opens a modem, lets it identify itself, links it to the server, relays
// both ways and leaves a write hanging; then takes it away.
void RunTrafficCycle(LoopbackServer& server, int cycle, Removal removal) {
  const int modem = LocalBus().Plug(simbus::StandardLayout());
  if (cycle % 2 == 0) {
    SendArrival(LocalBus().DevicePath(modem));
  } else {
    g_app.EnumerateDevices();
  }
  ASSERT_NE(g_app.devices, nullptr);
  DeviceRecord* const record = g_app.devices;

  record->OnTick();
  ASSERT_TRUE(TakeControl(modem, 0));  // CTL_IDENTIFY
  const std::string serial = "SIM" + std::to_string(cycle);
  uint8_t identify[16] = {0};
  std::memcpy(identify + 5, serial.c_str(), serial.size() + 1);
  LocalBus().Deliver(modem, simbus::CONTROL_IN, identify, sizeof identify);
  ASSERT_TRUE(PumpUntil([&] { return record->displayName != nullptr; }));
  EXPECT_EQ(serial, record->displayName);

  const std::string connect = std::string("\x01\x00\x00", 3) + server.Address();
  LocalBus().Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
  ASSERT_TRUE(server.Accept(kWaitMs));
  ASSERT_TRUE(TakeControl(modem, 3));  // CTL_CONNECTED
  ASSERT_TRUE(PumpUntil([&] { return record->IsConnected() != 0; }));

  LocalBus().Deliver(modem, simbus::DATA_IN, "up", 2);
  std::vector<uint8_t> up;
  ASSERT_TRUE(server.ReceiveExactly(2, &up, kWaitMs));
  EXPECT_EQ(std::string(up.begin(), up.end()), "up");
  server.Send("down", 4);
  std::vector<uint8_t> down;
  ASSERT_TRUE(LocalBus().Take(modem, simbus::DATA_OUT, &down, kWaitMs));
  EXPECT_EQ(std::string(down.begin(), down.end()), "down");
  LocalBus().HoldWrites(modem, simbus::DATA_OUT, true);
  server.Send("stuck", 5);
  record->OnTick();
  Pump();

  const int byEvent = g_removedByEvent;
  const int byWorkerEnd = g_removedByWorkerEnd;
  switch (removal) {
    case Removal::kUnplug:
      LocalBus().Unplug(modem);
      break;
    case Removal::kQueryRemove:
      LocalBus().QueryRemove(modem);
      break;
    case Removal::kWorkerEnd:
      // The next control read fails: the worker ends on its own while listed.
      LocalBus().FailCall(modem, BusCall::ReadPipe, simbus::CONTROL_IN, ERROR_GEN_FAILURE);
      LocalBus().Deliver(modem, simbus::CONTROL_IN, "\x09", 1);
      break;
  }
  ASSERT_TRUE(PumpUntil([] { return g_app.devices == nullptr; }));
  EXPECT_EQ(g_removedByEvent - byEvent, removal == Removal::kWorkerEnd ? 0 : 1);
  EXPECT_EQ(g_removedByWorkerEnd - byWorkerEnd, removal == Removal::kWorkerEnd ? 1 : 0);
  EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
  EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
  EXPECT_EQ(LocalBus().PendingTransfers(modem), 0u);
  EXPECT_TRUE(server.SeesClose(kWaitMs));
  server.CloseConnection();
  if (removal != Removal::kUnplug) LocalBus().Unplug(modem);
  Pump();
}

TEST_F(DeviceTest, UnplugDuringTrafficReleasesEveryHandle) {
  const Removal removals[] = {Removal::kUnplug, Removal::kQueryRemove, Removal::kWorkerEnd};
  LoopbackServer server;
  // One cycle of each kind first, so that lazily created system objects exist.
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    RunTrafficCycle(server, cycle, removals[cycle]);
    if (HasFatalFailure()) return;
  }
  const uint32_t before = CountOpenHandles();
  ASSERT_GT(before, 0u);
  for (int cycle = 3; cycle < 33; ++cycle) {
    SCOPED_TRACE(cycle);
    RunTrafficCycle(server, cycle, removals[cycle % 3]);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(CountOpenHandles(), before);
}

// ---------------------------------------------------------------------------
// What a trace session would receive: written to a file that
// tests/trace_decode.py reads with a decoder of its own.

TEST_F(DeviceTest, TraceOfARefusedOpenAConnectFailureAndAnUnplugWithTheLinkUp) {
  trace::RegisterProvider();
  // The traits: the provider's name, as each event's provider metadata.
  EXPECT_EQ(etwrec::Traits(), (std::vector<uint8_t>{9, 0, 'V', 'a', 'r', 'n', 'e', 'l', 0}));
  etwrec::ClearEvents();
  const int refused = Plug(simbus::StandardLayout());
  for (bool enabled : {true, false}) {
    if (enabled) {
      etwrec::Enable(trace::LEVEL_INFO, ~0ull);
    } else {
      etwrec::Disable();
    }
    LocalBus().FailCall(refused, BusCall::OpenDeviceFile, simbus::ANY_ARGUMENT, ERROR_ACCESS_DENIED);
    g_app.AddDevice(PathOf(refused));
    EXPECT_EQ(g_app.devices, nullptr);
    // Refused full access, then read and write.
    EXPECT_EQ(etwrec::Events().size(), 2u) << "nothing is written while disabled";
  }
  etwrec::Enable(trace::LEVEL_INFO, ~0ull);
  Unplug(refused);

  const int modem = Plug(simbus::StandardLayout());
  SendArrival(PathOf(modem));
  ASSERT_NE(g_app.devices, nullptr);
  LoopbackServer server;
  auto connect = [&](const std::string& address) {
    const std::string request = std::string("\x01\x00\x00", 3) + address;
    LocalBus().Deliver(modem, simbus::CONTROL_IN, request.data(), static_cast<uint32_t>(request.size()));
  };
  connect("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
  ASSERT_TRUE(TakeControl(modem, CTL_CONNECT_FAILED));
  connect(server.Address());
  ASSERT_TRUE(server.Accept(kWaitMs));
  ASSERT_TRUE(TakeControl(modem, CTL_CONNECTED));
  LocalBus().Deliver(modem, simbus::DATA_IN, "PAYLOAD-UP", 10);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(server.ReceiveExactly(10, &bytes, kWaitMs));
  server.Send("PAYLOAD-DOWN", 12);
  ASSERT_TRUE(LocalBus().Take(modem, simbus::DATA_OUT, &bytes, kWaitMs));
  Unplug(modem);
  ASSERT_TRUE(PumpUntil([] { return g_app.devices == nullptr; }));
  etwrec::Disable();
  ASSERT_TRUE(etwrec::SaveEvents(VARNEL_TRACE_EVENTS));
}

}  // namespace
