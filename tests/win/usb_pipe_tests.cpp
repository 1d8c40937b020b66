// UsbInterface and UsbPipe over the simulated bus: what creation builds and
// destruction frees, and how transfers, polls, aborts and removal surface.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "base/result_codes.h"
#include "simbus/modem_bus.h"
#include "usb/usb_interface.h"

namespace {
// The nothrow allocation that fails: 0 the next one, 1 the one after; below
// 0 none.
std::atomic<int> g_nothrowFailsIn{-1};
}  // namespace

// The program's nothrow allocations, which a test can make fail.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_nothrowFailsIn.fetch_sub(1) == 0) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}

namespace {

using simbus::BusCall;
using simbus::LocalBus;

// Wine 8 counts no handles in GetProcessHandleCount; a closed handle is
// told apart by GetHandleInformation failing on it.
bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

std::vector<HANDLE> PipeEvents(const UsbInterface& iface) {
  std::vector<HANDLE> events;
  for (UCHAR i = 0; iface.pipes != nullptr && i < iface.descriptor.bNumEndpoints; ++i) {
    if (iface.pipes[i] != nullptr && iface.pipes[i]->overlapped.hEvent != nullptr) {
      events.push_back(iface.pipes[i]->overlapped.hEvent);
    }
  }
  return events;
}

// A plugged modem with its device file open and WinUSB initialised on it.
class OpenedModem : public ::testing::Test {
 protected:
  void Open(const simbus::ModemLayout& layout = simbus::StandardLayout()) {
    modem_ = LocalBus().Plug(layout);
    file_ = usbos::CreateFileA(LocalBus().DevicePath(modem_), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(usbos::WinUsb_Initialize(file_, &winusb_));
  }

  // Opens the standard modem and builds its interface.
  void OpenInterface() {
    Open();
    ASSERT_EQ(iface_.Create(winusb_), S_OK);
  }

  void TearDown() override {
    iface_.Destroy();
    if (file_ != INVALID_HANDLE_VALUE) usbos::CloseHandle(file_);
    if (modem_ > 0) LocalBus().Unplug(modem_);
  }

  UsbPipe* Pipe(uint8_t pipeId) {
    for (UCHAR i = 0; i < iface_.descriptor.bNumEndpoints; ++i) {
      if (iface_.pipes[i]->info.PipeId == pipeId) return iface_.pipes[i];
    }
    return nullptr;
  }

  int modem_ = 0;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE winusb_ = nullptr;
  UsbInterface iface_ = {};
};

TEST_F(OpenedModem, CreationBuildsOnePipePerEndpointAndDestructionFreesAll) {
  Open();
  ASSERT_EQ(iface_.Create(winusb_), S_OK);
  EXPECT_EQ(iface_.descriptor.bInterfaceClass, 0xFE);
  ASSERT_EQ(iface_.descriptor.bNumEndpoints, 4);
  const uint8_t expected[] = {simbus::CONTROL_IN, simbus::CONTROL_OUT, simbus::DATA_IN, simbus::DATA_OUT};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(iface_.pipes[i], nullptr);
    EXPECT_EQ(iface_.pipes[i]->info.PipeId, expected[i]);
    EXPECT_EQ(iface_.pipes[i]->info.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(iface_.pipes[i]->info.MaximumPacketSize, 64);
    EXPECT_EQ(iface_.pipes[i]->handle, winusb_);
    EXPECT_NE(iface_.pipes[i]->overlapped.hEvent, nullptr);
  }
  const std::vector<HANDLE> events = PipeEvents(iface_);
  ASSERT_EQ(events.size(), 4u);
  for (HANDLE event : events) EXPECT_TRUE(IsOpen(event));

  iface_.Destroy();
  EXPECT_EQ(iface_.pipes, nullptr);
  EXPECT_EQ(iface_.handle, nullptr);
  for (HANDLE event : events) EXPECT_FALSE(IsOpen(event));
  EXPECT_EQ(LocalBus().OpenHandles(modem_), 1u);  // the device file only
  iface_.Destroy();                               // a second destruction does nothing
}

struct FailedCreation {
  const char* name;
  std::function<void(simbus::ModemLayout*)> layout;
  BusCall call;
  int32_t argument;
  DWORD error;  // 0: no injected failure
  HRESULT result;
  std::vector<int> pipesWithEvent;     // entries holding a complete pipe
  std::vector<int> pipesWithoutEvent;  // entries holding a pipe whose creation failed
  bool array;
};

TEST_F(OpenedModem, FailedCreationKeepsWhatWasBuiltForDestruction) {
  const FailedCreation cases[] = {
      {"no endpoints",
       [](simbus::ModemLayout* l) { l->interfaces[0].pipes.clear(); },
       BusCall::QueryPipe,
       0,
       0,
       E_UNEXPECTED,
       {},
       {},
       false},
      {"settings refused",
       nullptr,
       BusCall::QueryInterfaceSettings,
       0,
       ERROR_GEN_FAILURE,
       GW_E_USB,
       {},
       {},
       false},
      {"third pipe refused", nullptr, BusCall::QueryPipe, 2, ERROR_GEN_FAILURE, GW_E_USB, {0, 1}, {2}, true},
      {"first pipe refused", nullptr, BusCall::QueryPipe, 0, ERROR_INVALID_HANDLE, GW_E_USB, {}, {0}, true},
  };
  for (const FailedCreation& c : cases) {
    SCOPED_TRACE(c.name);
    simbus::ModemLayout layout = simbus::StandardLayout();
    if (c.layout) c.layout(&layout);
    Open(layout);
    if (c.error != 0) LocalBus().FailCall(modem_, c.call, c.argument, c.error);

    iface_ = {};
    EXPECT_EQ(iface_.Create(winusb_), c.result);
    if (c.error != 0) {
      EXPECT_EQ(GetLastError(), c.error);  // left as WinUSB set it
    }
    EXPECT_EQ(iface_.handle, winusb_);  // owned whatever failed
    ASSERT_EQ(iface_.pipes != nullptr, c.array);
    if (c.array) {
      for (int i : c.pipesWithEvent) EXPECT_NE(iface_.pipes[i]->overlapped.hEvent, nullptr) << i;
      for (int i : c.pipesWithoutEvent) {
        ASSERT_NE(iface_.pipes[i], nullptr) << i;
        EXPECT_EQ(iface_.pipes[i]->overlapped.hEvent, nullptr) << i;
        EXPECT_EQ(iface_.pipes[i]->handle, nullptr) << i;
      }
      const size_t built = c.pipesWithEvent.size() + c.pipesWithoutEvent.size();
      for (size_t i = built; i < 4; ++i) EXPECT_EQ(iface_.pipes[i], nullptr) << i;
    }

    const std::vector<HANDLE> events = PipeEvents(iface_);
    EXPECT_EQ(events.size(), c.pipesWithEvent.size());
    iface_.Destroy();
    for (HANDLE event : events) EXPECT_FALSE(IsOpen(event));
    EXPECT_EQ(LocalBus().OpenHandles(modem_), 1u);  // the WinUSB handle was freed
    TearDown();
    modem_ = 0;
    file_ = INVALID_HANDLE_VALUE;
  }
}

TEST_F(OpenedModem, RunningOutOfMemoryLeavesTheSystemError) {
  for (int failing : {0, 2}) {  // the pipe array; the second pipe
    SCOPED_TRACE(failing);
    Open();
    iface_ = {};
    SetLastError(ERROR_SUCCESS);
    g_nothrowFailsIn = failing;
    const HRESULT result = iface_.Create(winusb_);
    g_nothrowFailsIn = -1;
    EXPECT_EQ(result, E_OUTOFMEMORY);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    TearDown();
    modem_ = 0;
    file_ = INVALID_HANDLE_VALUE;
  }
}

TEST_F(OpenedModem, ReadCompletedAtOnceIsCollectedByEveryPollUntilTheNextTransfer) {
  OpenInterface();
  UsbPipe* in = Pipe(simbus::CONTROL_IN);
  const uint8_t sent[] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(LocalBus().Deliver(modem_, simbus::CONTROL_IN, sent, sizeof(sent)));

  uint8_t buffer[64] = {};
  ULONG count = 0;
  EXPECT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), 0);
  for (int poll = 0; poll < 3; ++poll) {
    ULONG polled = 0;
    EXPECT_EQ(in->PollCompletion(&in->overlapped, &polled, 0), 0);
    EXPECT_EQ(polled, sizeof(sent));
  }
  EXPECT_EQ(std::memcmp(buffer, sent, sizeof(sent)), 0);

  // The next transfer resets the event: the old completion is gone.
  EXPECT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), 1);
  EXPECT_EQ(in->PollCompletion(&in->overlapped, &count, 0), 1);
}

// TakeCompletion, used once the event was seen set, never waits: a
// transfer started since is reported pending, not waited for.
TEST_F(OpenedModem, TakeCompletionReportsWithoutWaiting) {
  OpenInterface();
  UsbPipe* in = Pipe(simbus::CONTROL_IN);
  const uint8_t sent[] = {1, 2, 3};
  const struct {
    bool deliver, abort;
    HRESULT expected;
  } cases[] = {{true, false, 0}, {false, true, GW_E_USB}, {false, false, 1}};
  for (const auto& c : cases) {
    if (c.deliver) {
      ASSERT_TRUE(LocalBus().Deliver(modem_, simbus::CONTROL_IN, sent, sizeof(sent)));
    }
    uint8_t buffer[64] = {};
    ULONG count = 0;
    in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped);
    if (c.abort) in->Abort();
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(in->TakeCompletion(&in->overlapped, &count), c.expected);
    EXPECT_LT(GetTickCount64() - start, 1000u);
    if (c.expected == 0) {
      EXPECT_EQ(count, sizeof(sent));
    }
  }
}

TEST_F(OpenedModem, BusyPipeReportsNotYetAtOnceAndCompletesLater) {
  OpenInterface();
  UsbPipe* in = Pipe(simbus::DATA_IN);
  uint8_t buffer[4096];
  ULONG count = 0;
  ASSERT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), 1);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(in->PollCompletion(&in->overlapped, &count, 0), 1);
  EXPECT_LT(GetTickCount64() - start, 2000u);
  EXPECT_EQ(LocalBus().PendingTransfers(modem_), 1u);

  const uint8_t sent[] = {9, 8, 7};
  ASSERT_TRUE(LocalBus().Deliver(modem_, simbus::DATA_IN, sent, sizeof(sent)));
  EXPECT_EQ(in->PollCompletion(&in->overlapped, &count, 1000), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(buffer[2], 7);
  EXPECT_EQ(LocalBus().PendingTransfers(modem_), 0u);
}

TEST_F(OpenedModem, WritesReachTheModemOneMessageEachAndHeldOnesWait) {
  OpenInterface();
  UsbPipe* out = Pipe(simbus::DATA_OUT);
  const uint8_t first[] = {1, 2, 3};
  ULONG count = 0;
  EXPECT_EQ(out->StartWrite(first, sizeof(first), &count, &out->overlapped), 0);
  EXPECT_EQ(out->PollCompletion(&out->overlapped, &count, 0), 0);
  EXPECT_EQ(count, 3u);

  LocalBus().HoldWrites(modem_, simbus::DATA_OUT, true);
  const uint8_t second[] = {4, 5};
  EXPECT_EQ(out->StartWrite(second, sizeof(second), &count, &out->overlapped), 1);
  EXPECT_EQ(out->PollCompletion(&out->overlapped, &count, 0), 1);
  std::vector<uint8_t> message;
  ASSERT_TRUE(LocalBus().Take(modem_, simbus::DATA_OUT, &message, 1000));
  EXPECT_EQ(message, std::vector<uint8_t>(first, first + 3));
  EXPECT_FALSE(LocalBus().Take(modem_, simbus::DATA_OUT, &message, 0));

  LocalBus().HoldWrites(modem_, simbus::DATA_OUT, false);
  EXPECT_EQ(out->PollCompletion(&out->overlapped, &count, 1000), 0);
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(LocalBus().Take(modem_, simbus::DATA_OUT, &message, 1000));
  EXPECT_EQ(message, std::vector<uint8_t>(second, second + 2));
}

TEST_F(OpenedModem, AbortedTransferIsCollectedAsAFailure) {
  OpenInterface();
  UsbPipe* in = Pipe(simbus::CONTROL_IN);
  uint8_t buffer[64];
  ULONG count = 0;
  ASSERT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), 1);
  EXPECT_EQ(in->Abort(), S_OK);
  EXPECT_EQ(in->PollCompletion(&in->overlapped, &count, 1000), GW_E_USB);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(LocalBus().PendingTransfers(modem_), 0u);
  EXPECT_EQ(in->Abort(), S_OK);  // nothing outstanding: still fine
}

TEST_F(OpenedModem, UnplugFailsPendingAndLaterTransfers) {
  OpenInterface();
  UsbPipe* in = Pipe(simbus::CONTROL_IN);
  UsbPipe* out = Pipe(simbus::CONTROL_OUT);
  LocalBus().HoldWrites(modem_, simbus::CONTROL_OUT, true);
  uint8_t buffer[64] = {};
  ULONG count = 0;
  ASSERT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), 1);
  ASSERT_EQ(out->StartWrite(buffer, 1, &count, &out->overlapped), 1);

  LocalBus().Unplug(modem_);
  for (UsbPipe* pipe : {in, out}) {
    EXPECT_EQ(pipe->PollCompletion(&pipe->overlapped, &count, 1000), GW_E_USB);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  }
  EXPECT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), GW_E_USB);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
  EXPECT_EQ(out->StartWrite(buffer, 1, &count, &out->overlapped), GW_E_USB);
  EXPECT_EQ(in->Abort(), GW_E_USB);
  UCHAR one = 1;
  EXPECT_EQ(in->SetPolicy(AUTO_CLEAR_STALL, 1, &one), GW_E_USB);
}

TEST_F(OpenedModem, FailedStartLeavesTheSystemError) {
  OpenInterface();
  UsbPipe* in = Pipe(simbus::DATA_IN);
  LocalBus().FailCall(modem_, BusCall::ReadPipe, simbus::DATA_IN, ERROR_GEN_FAILURE);
  uint8_t buffer[16];
  ULONG count = 0;
  EXPECT_EQ(in->StartRead(buffer, sizeof(buffer), &count, &in->overlapped), GW_E_USB);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(OpenedModem, PoliciesAreRecordedPerPipe) {
  OpenInterface();
  UCHAR one = 1;
  EXPECT_EQ(Pipe(simbus::CONTROL_OUT)->SetPolicy(SHORT_PACKET_TERMINATE, 1, &one), S_OK);
  EXPECT_EQ(Pipe(simbus::DATA_IN)->SetPolicy(AUTO_CLEAR_STALL, 1, &one), S_OK);
  uint8_t value = 0;
  EXPECT_TRUE(LocalBus().PipePolicy(modem_, simbus::CONTROL_OUT, SHORT_PACKET_TERMINATE, &value));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(LocalBus().PipePolicy(modem_, simbus::DATA_IN, AUTO_CLEAR_STALL, &value));
  EXPECT_FALSE(LocalBus().PipePolicy(modem_, simbus::DATA_OUT, SHORT_PACKET_TERMINATE, &value));
  // A one-byte policy given a wider value is refused, as by WinUSB.
  ULONG wide = 1;
  EXPECT_EQ(Pipe(simbus::DATA_OUT)->SetPolicy(SHORT_PACKET_TERMINATE, sizeof(wide), &wide), GW_E_USB);
}

TEST(UsbPipe, PollWithoutEventIsUnexpected) {
  UsbPipe pipe = {};
  ULONG count = 0;
  EXPECT_EQ(pipe.PollCompletion(&pipe.overlapped, &count, 0), E_UNEXPECTED);
}

}  // namespace
