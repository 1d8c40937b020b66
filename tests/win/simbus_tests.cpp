// The simulated bus keeps the system's contract where the gateway depends on
// it: transfer boundaries and completion, enumeration buffer rules, device
// files and device messages.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "simbus/modem_bus.h"
#include "usb/device_class.h"
#include "usb/usb_os.h"

namespace {

using simbus::BusCall;
using simbus::LocalBus;

// A modem with its file open and WinUSB initialised; unplugged at the end.
class BusModem : public ::testing::Test {
 protected:
  void SetUp() override {
    modem_ = LocalBus().Plug(simbus::StandardLayout());
    file_ = usbos::CreateFileA(LocalBus().DevicePath(modem_), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(usbos::WinUsb_Initialize(file_, &winusb_));
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }

  void TearDown() override {
    usbos::WinUsb_Free(winusb_);
    usbos::CloseHandle(file_);
    CloseHandle(overlapped_.hEvent);
    LocalBus().Unplug(modem_);
  }

  // Starts a read and collects it: the byte count, or -1 when nothing came.
  int Read(uint8_t pipeId, uint8_t* buffer, ULONG length) {
    const BOOL done = usbos::WinUsb_ReadPipe(winusb_, pipeId, buffer, length, nullptr, &overlapped_);
    if (!done && GetLastError() != ERROR_IO_PENDING) return -2;
    DWORD count = 0;
    if (!usbos::WinUsb_GetOverlappedResult(winusb_, &overlapped_, &count, FALSE)) {
      usbos::WinUsb_AbortPipe(winusb_, pipeId);
      return -1;
    }
    return static_cast<int>(count);
  }

  void Deliver(uint8_t pipeId, const std::vector<uint8_t>& data) {
    ASSERT_TRUE(LocalBus().Deliver(modem_, pipeId, data.data(), static_cast<uint32_t>(data.size())));
  }

  int modem_ = 0;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE winusb_ = nullptr;
  OVERLAPPED overlapped_ = {};
};

TEST_F(BusModem, ReadsTakeFromTheOldestTransferAndKeepItsRest) {
  Deliver(simbus::DATA_IN, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  Deliver(simbus::DATA_IN, {});
  Deliver(simbus::DATA_IN, {11, 12});
  uint8_t buffer[64] = {};
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, 4), 4);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, 4), 4);
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, 64), 2);  // the rest, not the next transfer
  EXPECT_EQ(buffer[1], 10);
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, 64), 0);  // the zero-length transfer
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, 64), 2);
  EXPECT_EQ(buffer[0], 11);
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, 64), -1);  // nothing left: stays pending
}

// Reads end as on the wire: on a short or zero-length packet, or with a
// full buffer. Whole packets with nothing after them leave a read going on.
TEST_F(BusModem, ReadsEndOnAShortOrZeroLengthPacketOrAFullBuffer) {
  struct Case {
    const char* name;
    std::vector<int> sent;  // sizes; negative: DeliverPackets, bare whole packets
    std::vector<ULONG> reads;
    std::vector<int> counts;  // -1: still pending
  };
  const Case cases[] = {
      {"a short last packet", {100}, {4096, 4096}, {100, -1}},
      {"whole packets and their zero-length one", {128}, {4096, 4096}, {128, -1}},
      {"a full buffer leaves the zero-length packet to the next read", {64}, {64, 4096}, {64, 0}},
      {"bare whole packets wait", {-128}, {4096}, {-1}},
      {"and run on into the next transfer", {-128, 10}, {4096}, {138}},
      {"a 4096-byte block fills a 4096-byte read", {-4096}, {4096}, {4096}},
      {"what exceeds a read fills the next", {4160}, {4096, 4096}, {4096, 64}},
      {"a read shorter than a packet keeps its rest", {100}, {10, 4096}, {10, 90}},
  };
  const std::vector<uint8_t> bytes(8192, 0x6B);
  std::vector<uint8_t> buffer(4096);
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    for (int size : c.sent) {
      auto deliver = size < 0 ? &simbus::ModemBus::DeliverPackets : &simbus::ModemBus::Deliver;
      ASSERT_TRUE((LocalBus().*deliver)(modem_, simbus::DATA_IN, bytes.data(), std::abs(size))) << c.name;
    }
    for (size_t i = 0; i < c.reads.size(); ++i)
      EXPECT_EQ(Read(simbus::DATA_IN, buffer.data(), c.reads[i]), c.counts[i]) << c.name << ", read " << i;
  }
}

// What the modem takes from an OUT pipe ends with a short or zero-length
// packet; only SHORT_PACKET_TERMINATE puts one after whole packets.
TEST_F(BusModem, WritesReachTheModemAsTheirPacketsEndThem) {
  struct Case {
    UCHAR terminate;
    std::vector<ULONG> writes;
    std::vector<size_t> taken;
  };
  const Case cases[] = {{0, {10, 0, 100}, {10, 0, 100}},
                        {0, {64, 128, 10}, {202}},
                        {0, {4096}, {}},
                        {1, {64, 4096, 10}, {64, 4096, 10}}};
  std::vector<uint8_t> bytes(4096, 0x5A);
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    UCHAR terminate = c.terminate;
    ASSERT_TRUE(
        usbos::WinUsb_SetPipePolicy(winusb_, simbus::DATA_OUT, SHORT_PACKET_TERMINATE, 1, &terminate));
    for (ULONG length : c.writes)
      ASSERT_TRUE(
          usbos::WinUsb_WritePipe(winusb_, simbus::DATA_OUT, bytes.data(), length, nullptr, &overlapped_));
    std::vector<size_t> taken;
    for (std::vector<uint8_t> message; LocalBus().Take(modem_, simbus::DATA_OUT, &message, 0);)
      taken.push_back(message.size());
    EXPECT_EQ(taken, c.taken) << c.writes.size() << " writes, policy " << int{c.terminate};
  }
}

TEST_F(BusModem, PendingReadCompletesThroughTheEventWhenTheModemSends) {
  SetEvent(overlapped_.hEvent);
  uint8_t buffer[64];
  ASSERT_FALSE(
      usbos::WinUsb_ReadPipe(winusb_, simbus::CONTROL_IN, buffer, sizeof(buffer), nullptr, &overlapped_));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(overlapped_.hEvent, 0),
            static_cast<DWORD>(WAIT_TIMEOUT));  // reset at the start
  DWORD count = 0;
  EXPECT_FALSE(usbos::WinUsb_GetOverlappedResult(winusb_, &overlapped_, &count, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  // One transfer per pipe: a second one is refused and leaves the first alone.
  OVERLAPPED second = {};
  EXPECT_FALSE(usbos::WinUsb_ReadPipe(winusb_, simbus::CONTROL_IN, buffer, sizeof(buffer), nullptr, &second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  EXPECT_EQ(LocalBus().PendingTransfers(modem_), 1u);

  // The modem sends from another thread while this one waits for the result.
  std::thread sender([this] {
    Sleep(50);
    const uint8_t reply[] = {0x42, 0x43};
    LocalBus().Deliver(modem_, simbus::CONTROL_IN, reply, sizeof(reply));
  });
  EXPECT_TRUE(usbos::WinUsb_GetOverlappedResult(winusb_, &overlapped_, &count, TRUE));
  sender.join();
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(buffer[1], 0x43);
  EXPECT_EQ(WaitForSingleObject(overlapped_.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(BusModem, HeldWritesStayPendingUntilReleased) {
  LocalBus().HoldWrites(modem_, simbus::CONTROL_OUT, true);
  uint8_t message[] = {7, 8, 9};
  ASSERT_FALSE(
      usbos::WinUsb_WritePipe(winusb_, simbus::CONTROL_OUT, message, sizeof(message), nullptr, &overlapped_));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  std::vector<uint8_t> taken;
  EXPECT_FALSE(LocalBus().Take(modem_, simbus::CONTROL_OUT, &taken, 50));
  EXPECT_EQ(LocalBus().PendingTransfers(modem_), 1u);

  // Take waits for a write released meanwhile by another thread.
  std::thread releaser([this] {
    Sleep(50);
    LocalBus().HoldWrites(modem_, simbus::CONTROL_OUT, false);
  });
  EXPECT_TRUE(LocalBus().Take(modem_, simbus::CONTROL_OUT, &taken, 5000));
  releaser.join();
  EXPECT_EQ(taken, std::vector<uint8_t>({7, 8, 9}));
  DWORD count = 0;
  EXPECT_TRUE(usbos::WinUsb_GetOverlappedResult(winusb_, &overlapped_, &count, FALSE));
  EXPECT_EQ(count, 3u);

  // A zero-length write is one (empty) message of its own.
  EXPECT_TRUE(usbos::WinUsb_WritePipe(winusb_, simbus::CONTROL_OUT, message, 0, nullptr, &overlapped_));
  EXPECT_TRUE(LocalBus().Take(modem_, simbus::CONTROL_OUT, &taken, 0));
  EXPECT_TRUE(taken.empty());
}

// A modem that stops taking holds the host back once its endpoint is full:
// the write that would overfill it stays pending until the modem takes.
TEST_F(BusModem, WritesWaitWhileTheModemsBufferIsFull) {
  std::vector<uint8_t> block(4095, 0x33);  // short last packet: one message each
  const ULONG length = static_cast<ULONG>(block.size());
  size_t accepted = 0;
  while (accepted < simbus::DEVICE_OUT_BUFFER) {
    ASSERT_TRUE(
        usbos::WinUsb_WritePipe(winusb_, simbus::DATA_OUT, block.data(), length, nullptr, &overlapped_));
    accepted += length;
  }
  ASSERT_FALSE(
      usbos::WinUsb_WritePipe(winusb_, simbus::DATA_OUT, block.data(), length, nullptr, &overlapped_));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(overlapped_.hEvent, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  std::vector<uint8_t> taken;
  ASSERT_TRUE(LocalBus().Take(modem_, simbus::DATA_OUT, &taken, 0));
  DWORD count = 0;
  EXPECT_TRUE(usbos::WinUsb_GetOverlappedResult(winusb_, &overlapped_, &count, FALSE));
  EXPECT_EQ(count, length);
  EXPECT_EQ(LocalBus().Waiting(modem_, simbus::DATA_OUT), accepted / length);
}
// An exchange sends in order, then takes what is there up to its limit.
TEST_F(BusModem, ExchangeSendsInOrderThenTakesUpToItsLimit) {
  uint8_t written[3] = {1, 2, 3};
  for (uint8_t& b : written) {
    ASSERT_TRUE(usbos::WinUsb_WritePipe(winusb_, simbus::DATA_OUT, &b, 1, nullptr, &overlapped_));
  }
  std::vector<std::vector<uint8_t>> taken;
  const std::vector<simbus::ModemSend> sends = {{simbus::DATA_IN, {7}}, {simbus::DATA_IN, {8, 9}}};
  ASSERT_TRUE(LocalBus().Exchange(modem_, sends, simbus::DATA_OUT, 2, 0, &taken));
  EXPECT_EQ(taken, (std::vector<std::vector<uint8_t>>{{1}, {2}}));
  uint8_t buffer[8];
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, sizeof buffer), 1);
  EXPECT_EQ(Read(simbus::DATA_IN, buffer, sizeof buffer), 2);
  EXPECT_EQ(buffer[1], 9);
  LocalBus().Unplug(modem_);
  EXPECT_FALSE(LocalBus().Exchange(modem_, sends, simbus::DATA_OUT, 2, 0, &taken));
  EXPECT_TRUE(taken.empty());
}

// A stall fails reads with ERROR_GEN_FAILURE until it is cleared: by
// WinUSB after the first one under AUTO_CLEAR_STALL, otherwise by a reset of
// the pipe. A bus error fails one read.
TEST_F(BusModem, StallsLastUntilClearedAndBusErrorsFailOneRead) {
  struct Case {
    const char* name;
    UCHAR autoClear;
    DWORD error;                // 0: a stall
    std::vector<DWORD> errors;  // of three reads, the last after a reset
  };
  const DWORD gen = ERROR_GEN_FAILURE;
  const Case cases[] = {{"stall", 0, 0, {gen, gen, 0}},
                        {"stall cleared by WinUSB", 1, 0, {gen, 0, 0}},
                        {"time-out", 0, ERROR_SEM_TIMEOUT, {ERROR_SEM_TIMEOUT, 0, 0}}};
  uint8_t buffer[64];
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    UCHAR autoClear = c.autoClear;
    ASSERT_TRUE(usbos::WinUsb_SetPipePolicy(winusb_, simbus::DATA_IN, AUTO_CLEAR_STALL, 1, &autoClear));
    ASSERT_TRUE(c.error == 0 ? LocalBus().Stall(modem_, simbus::DATA_IN)
                             : LocalBus().FailTransfer(modem_, simbus::DATA_IN, c.error));
    std::vector<DWORD> errors;
    for (int i = 0; i < 3; ++i) {
      if (i == 2) usbos::WinUsb_ResetPipe(winusb_, simbus::DATA_IN);
      Deliver(simbus::DATA_IN, {1});
      errors.push_back(Read(simbus::DATA_IN, buffer, sizeof(buffer)) == 1 ? 0 : GetLastError());
    }
    EXPECT_EQ(errors, c.errors) << c.name;
  }
}

TEST_F(BusModem, PipesAreServedOnlyInTheirDirectionAndInterface) {
  uint8_t buffer[8] = {};
  EXPECT_FALSE(
      usbos::WinUsb_ReadPipe(winusb_, simbus::DATA_OUT, buffer, sizeof(buffer), nullptr, &overlapped_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(usbos::WinUsb_WritePipe(winusb_, 0x03, buffer, sizeof(buffer), nullptr, &overlapped_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(LocalBus().Deliver(modem_, simbus::DATA_OUT, buffer, 1));
}

TEST(SimBus, InterfacesAndPipesAnswerFromTheLayout) {
  simbus::ModemLayout layout;
  layout.interfaces.push_back({0xFF, 1, 2, {{0x81, UsbdPipeTypeInterrupt, 512}}});
  layout.interfaces.push_back({0xFE, 0, 0, {{0x81, UsbdPipeTypeBulk, 64}, {0x01, UsbdPipeTypeBulk, 64}}});
  const int modem = LocalBus().Plug(layout);
  HANDLE file = usbos::CreateFileA(LocalBus().DevicePath(modem), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE first = nullptr;
  WINUSB_INTERFACE_HANDLE second = nullptr;
  WINUSB_INTERFACE_HANDLE none = nullptr;
  ASSERT_TRUE(usbos::WinUsb_Initialize(file, &first));
  ASSERT_TRUE(usbos::WinUsb_GetAssociatedInterface(first, 0, &second));
  EXPECT_FALSE(usbos::WinUsb_GetAssociatedInterface(first, 1, &none));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(LocalBus().OpenHandles(modem), 3u);

  USB_INTERFACE_DESCRIPTOR descriptor = {};
  ASSERT_TRUE(usbos::WinUsb_QueryInterfaceSettings(first, 0, &descriptor));
  EXPECT_EQ(descriptor.bInterfaceClass, 0xFF);
  EXPECT_EQ(descriptor.bInterfaceProtocol, 2);
  EXPECT_EQ(descriptor.bNumEndpoints, 1);
  ASSERT_TRUE(usbos::WinUsb_QueryInterfaceSettings(second, 0, &descriptor));
  EXPECT_EQ(descriptor.bInterfaceNumber, 1);
  EXPECT_EQ(descriptor.bNumEndpoints, 2);
  WINUSB_PIPE_INFORMATION info = {};
  ASSERT_TRUE(usbos::WinUsb_QueryPipe(first, 0, 0, &info));
  EXPECT_EQ(info.PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(info.MaximumPacketSize, 512);
  ASSERT_TRUE(usbos::WinUsb_QueryPipe(second, 0, 1, &info));
  EXPECT_EQ(info.PipeId, 0x01);
  EXPECT_FALSE(usbos::WinUsb_QueryPipe(second, 0, 2, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // The same address in two interfaces names two pipes.
  UCHAR one = 1;
  ASSERT_TRUE(usbos::WinUsb_SetPipePolicy(second, 0x81, AUTO_CLEAR_STALL, 1, &one));
  uint8_t value = 0;
  EXPECT_FALSE(LocalBus().PipePolicy(modem, 0x81, AUTO_CLEAR_STALL, &value));  // the first interface's

  LocalBus().Unplug(modem);
  EXPECT_FALSE(usbos::WinUsb_QueryPipe(first, 0, 0, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
  for (WINUSB_INTERFACE_HANDLE handle : {second, first}) EXPECT_TRUE(usbos::WinUsb_Free(handle));
  EXPECT_TRUE(usbos::CloseHandle(file));
  EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
}

TEST(SimBus, DeviceFilesOpenPresentModemsWhateverTheCase) {
  const int modem = LocalBus().Plug(simbus::StandardLayout());
  std::string upper = LocalBus().DevicePath(modem);
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  HANDLE file =
      usbos::CreateFileA(upper.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(file, &flags));  // a real kernel handle
  EXPECT_EQ(LocalBus().OpenHandles(modem), 1u);

  const std::string unknown = std::string(LocalBus().DevicePath(modem)) + "x";
  EXPECT_EQ(usbos::CreateFileA(unknown.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  LocalBus().Unplug(modem);
  WINUSB_INTERFACE_HANDLE winusb = nullptr;
  EXPECT_FALSE(usbos::WinUsb_Initialize(file, &winusb));
  EXPECT_EQ(
      usbos::CreateFileA(upper.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(usbos::CloseHandle(file));
  EXPECT_FALSE(GetHandleInformation(file, &flags));
  EXPECT_EQ(LocalBus().OpenHandles(modem), 0u);
}

// The paths an enumeration pass finds, with the system's buffer rules checked on the way.
std::vector<std::string> EnumeratePaths() {
  std::vector<std::string> paths;
  HDEVINFO set = usbos::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FISCAL_MODEM, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    if (!usbos::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_FISCAL_MODEM, index, &data)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    DWORD required = 0;
    EXPECT_FALSE(usbos::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      paths.push_back("(detail failed)");
      continue;
    }
    std::vector<char> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(usbos::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    paths.push_back(buffer.data() + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + paths.back().size() + 1);
  }
  EXPECT_TRUE(usbos::SetupDiDestroyDeviceInfoList(set));
  return paths;
}

TEST(SimBus, EnumerationListsPresentModemsWithTheSystemsBufferRules) {
  const int gone = LocalBus().Plug(simbus::StandardLayout());
  const int a = LocalBus().Plug(simbus::StandardLayout());
  const int b = LocalBus().Plug(simbus::StandardLayout());
  LocalBus().Unplug(gone);
  EXPECT_EQ(EnumeratePaths(), std::vector<std::string>({LocalBus().DevicePath(a), LocalBus().DevicePath(b)}));

  LocalBus().FailCall(a, BusCall::InterfaceDetail, simbus::ANY_ARGUMENT, ERROR_GEN_FAILURE);
  EXPECT_EQ(EnumeratePaths(), std::vector<std::string>({"(detail failed)", LocalBus().DevicePath(b)}));
  LocalBus().FailCall(a, BusCall::InterfaceDetail, simbus::ANY_ARGUMENT, 0);

  HDEVINFO set = usbos::SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FISCAL_MODEM, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = 0;
  EXPECT_FALSE(usbos::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_FISCAL_MODEM, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof(data);
  ASSERT_TRUE(usbos::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_FISCAL_MODEM, 0, &data));
  // The fixed part only is cbSize (5 or 8 bytes), whatever the buffer's size.
  std::vector<char> buffer(256);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  for (DWORD wrong : {DWORD{0}, DWORD{4}, DWORD{sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + 1}, DWORD{256}}) {
    detail->cbSize = wrong;
    EXPECT_FALSE(usbos::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 256, nullptr, nullptr)) << wrong;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << wrong;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  DWORD required = 0;
  EXPECT_FALSE(usbos::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 8, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(required, 8u);
  EXPECT_TRUE(usbos::SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(usbos::SetupDiDestroyDeviceInfoList(set));

  LocalBus().Unplug(a);
  LocalBus().Unplug(b);
}

// What one WM_DEVICECHANGE carried, copied while its record was valid.
struct DeviceEvent {
  WPARAM event;
  DWORD deviceType;
  std::string name;  // interface broadcasts
  HANDLE handle;     // handle broadcasts
  DWORD pendingTransfers;
};

class EventWindow {
 public:
  EventWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "SimBusEventWnd";
    RegisterClassA(&wc);
    hwnd_ = CreateWindowExA(0, wc.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                            nullptr);
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~EventWindow() { DestroyWindow(hwnd_); }
  EventWindow(const EventWindow&) = delete;
  EventWindow& operator=(const EventWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  std::vector<DeviceEvent> events;
  int modem = 0;                                // whose pending transfers each message notes
  std::function<LRESULT(WPARAM event)> answer;  // TRUE when not set

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<EventWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self == nullptr || message != WM_DEVICECHANGE || lParam == 0) {
      return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    DeviceEvent event{wParam, header->dbch_devicetype, {}, nullptr, 0};
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      event.name = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam)->dbcc_name;
    } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
      event.handle = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_handle;
    }
    // Calling back into the bus from here must work (the bus lock is not held).
    event.pendingTransfers = self->modem > 0 ? LocalBus().PendingTransfers(self->modem) : 0;
    self->events.push_back(event);
    return self->answer ? self->answer(wParam) : TRUE;
  }

  HWND hwnd_ = nullptr;
};

HDEVNOTIFY RegisterClassNotification(HWND window, DWORD size) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
  filter.dbcc_size = size;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_DEVINTERFACE_FISCAL_MODEM;
  return usbos::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

HDEVNOTIFY RegisterHandleNotification(HWND window, HANDLE file, DWORD size) {
  DEV_BROADCAST_HANDLE filter = {};
  filter.dbch_size = size;
  filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
  filter.dbch_handle = file;
  return usbos::RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

TEST(SimBus, DeviceMessagesReachTheRegisteredWindows) {
  EventWindow window;
  EXPECT_EQ(RegisterClassNotification(window.hwnd(), 4), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  HDEVNOTIFY arrivals = RegisterClassNotification(window.hwnd(), sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
  ASSERT_NE(arrivals, nullptr);

  const int modem = LocalBus().Plug(simbus::StandardLayout());
  window.modem = modem;
  ASSERT_EQ(window.events.size(), 1u);
  EXPECT_EQ(window.events[0].event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(window.events[0].deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
  EXPECT_EQ(window.events[0].name, LocalBus().DevicePath(modem));

  const auto open = [&] {
    return usbos::CreateFileA(LocalBus().DevicePath(modem), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  };
  HANDLE closed = open();
  HDEVNOTIFY stale = RegisterHandleNotification(window.hwnd(), closed, sizeof(DEV_BROADCAST_HANDLE));
  ASSERT_NE(stale, nullptr);
  usbos::CloseHandle(closed);
  HANDLE file = open();
  // WinUSB serves one opener: another is refused while this one holds it.
  EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegisterHandleNotification(window.hwnd(), file, sizeof(DEV_BROADCAST_HANDLE) - 1), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  HDEVNOTIFY removals = RegisterHandleNotification(window.hwnd(), file, sizeof(DEV_BROADCAST_HANDLE));
  ASSERT_NE(removals, nullptr);
  EXPECT_EQ(LocalBus().HandleRegistrations(modem), 2u);
  EXPECT_TRUE(usbos::UnregisterDeviceNotification(stale));  // hears nothing more

  // The window keeps its file open: the system vetoes the removal.
  EXPECT_FALSE(LocalBus().QueryRemove(modem));
  ASSERT_EQ(window.events.size(), 3u);
  EXPECT_EQ(window.events[1].event, static_cast<WPARAM>(DBT_DEVICEQUERYREMOVE));
  EXPECT_EQ(window.events[1].handle, file);
  EXPECT_EQ(window.events[2].event, static_cast<WPARAM>(DBT_DEVICEQUERYREMOVEFAILED));

  // A read outstanding at the removal has failed before the window hears of it.
  WINUSB_INTERFACE_HANDLE winusb = nullptr;
  ASSERT_TRUE(usbos::WinUsb_Initialize(file, &winusb));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  uint8_t buffer[64];
  ASSERT_FALSE(
      usbos::WinUsb_ReadPipe(winusb, simbus::CONTROL_IN, buffer, sizeof(buffer), nullptr, &overlapped));
  LocalBus().Unplug(modem);
  ASSERT_EQ(window.events.size(), 5u);
  EXPECT_EQ(window.events[3].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
  EXPECT_EQ(window.events[3].deviceType, static_cast<DWORD>(DBT_DEVTYP_HANDLE));
  EXPECT_EQ(window.events[3].handle, file);
  EXPECT_EQ(window.events[3].pendingTransfers, 0u);
  EXPECT_EQ(window.events[4].deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
  EXPECT_EQ(window.events[4].name, LocalBus().DevicePath(modem));
  DWORD count = 0;
  EXPECT_FALSE(usbos::WinUsb_GetOverlappedResult(winusb, &overlapped, &count, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

  for (HDEVNOTIFY notification : {arrivals, removals}) {
    EXPECT_TRUE(usbos::UnregisterDeviceNotification(notification));
  }
  EXPECT_FALSE(usbos::UnregisterDeviceNotification(arrivals));
  EXPECT_EQ(LocalBus().HandleRegistrations(modem), 0u);
  usbos::WinUsb_Free(winusb);
  usbos::CloseHandle(file);
  CloseHandle(overlapped.hEvent);

  // Unregistered: a later arrival is not sent here.
  const int later = LocalBus().Plug(simbus::StandardLayout());
  EXPECT_EQ(window.events.size(), 5u);
  LocalBus().Unplug(later);
}

// The events a window heard, as (event, device type) pairs.
using Heard = std::vector<std::pair<WPARAM, DWORD>>;
Heard HeardBy(const EventWindow& window) {
  Heard heard;
  for (const DeviceEvent& event : window.events) heard.push_back({event.event, event.deviceType});
  return heard;
}
const std::pair<WPARAM, DWORD> kQuery{DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_HANDLE};
const std::pair<WPARAM, DWORD> kQueryFailed{DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVTYP_HANDLE};
const std::pair<WPARAM, DWORD> kPending{DBT_DEVICEREMOVEPENDING, DBT_DEVTYP_HANDLE};
const std::pair<WPARAM, DWORD> kGone{DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_HANDLE};
const std::pair<WPARAM, DWORD> kInterfaceGone{DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE};
const std::pair<WPARAM, DWORD> kArrival{DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE};

// A modem opened by a window registered for its file and for the class.
struct WatchedModem {
  EventWindow window;
  int modem = LocalBus().Plug(simbus::StandardLayout());
  HANDLE file = usbos::CreateFileA(LocalBus().DevicePath(modem), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE winusb = nullptr;
  HDEVNOTIFY byClass = RegisterClassNotification(window.hwnd(), sizeof(DEV_BROADCAST_DEVICEINTERFACE_A));
  HDEVNOTIFY byHandle = RegisterHandleNotification(window.hwnd(), file, sizeof(DEV_BROADCAST_HANDLE));

  WatchedModem() { usbos::WinUsb_Initialize(file, &winusb); }
  ~WatchedModem() {
    Close();
    usbos::UnregisterDeviceNotification(byClass);
    usbos::UnregisterDeviceNotification(byHandle);
    LocalBus().Unplug(modem);
  }
  void Close() {
    if (winusb != nullptr) usbos::WinUsb_Free(winusb);
    if (file != INVALID_HANDLE_VALUE) usbos::CloseHandle(file);
    winusb = nullptr;
    file = INVALID_HANDLE_VALUE;
  }
};

TEST(SimBus, QueryRemoveIsVetoedWhileAHandleStaysOpenOrTheAnswerDenies) {
  struct Case {
    const char* name;
    bool freeWinUsb;
    bool closeFile;
    LRESULT answer;
    bool removed;
  };
  const Case cases[] = {
      {"closes everything", true, true, TRUE, true},
      {"keeps its WinUSB handle", false, true, TRUE, false},
      {"keeps its file", true, false, TRUE, false},
      {"denies", true, true, BROADCAST_QUERY_DENY, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WatchedModem watched;
    ASSERT_NE(watched.winusb, nullptr);
    watched.window.answer = [&](WPARAM event) -> LRESULT {
      if (event != DBT_DEVICEQUERYREMOVE) return TRUE;
      if (c.freeWinUsb) usbos::WinUsb_Free(watched.winusb);
      watched.winusb = c.freeWinUsb ? nullptr : watched.winusb;
      if (c.closeFile) usbos::CloseHandle(watched.file);
      watched.file = c.closeFile ? INVALID_HANDLE_VALUE : watched.file;
      return c.answer;
    };
    EXPECT_EQ(LocalBus().QueryRemove(watched.modem), c.removed);
    EXPECT_EQ(HeardBy(watched.window),
              c.removed ? (Heard{kQuery, kGone, kInterfaceGone}) : (Heard{kQuery, kQueryFailed}));
    // A vetoed modem stays and opens again once let go.
    watched.Close();
    HANDLE again = usbos::CreateFileA(LocalBus().DevicePath(watched.modem), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(again != INVALID_HANDLE_VALUE, !c.removed);
    if (again != INVALID_HANDLE_VALUE) usbos::CloseHandle(again);
  }
}

// ERROR_NO_SUCH_DEVICE, which not every SDK's headers name.
constexpr DWORD kNoSuchDevice = 433;

TEST(SimBus, SurpriseRemovalFailsTransfersAsChosenAndTheModemComesBackAtItsPath) {
  using simbus::RemovalNotice;
  struct Case {
    simbus::Removal removal;
    Heard heard;      // at the removal
    Heard completed;  // after CompleteRemoval
  };
  const Case cases[] = {
      {{RemovalNotice::Complete, ERROR_DEVICE_NOT_CONNECTED, ERROR_BAD_COMMAND}, {kGone, kInterfaceGone}, {}},
      {{RemovalNotice::Late, ERROR_OPERATION_ABORTED, ERROR_DEVICE_NOT_CONNECTED},
       {},
       {kGone, kInterfaceGone}},
      {{RemovalNotice::PendingOnly, ERROR_GEN_FAILURE, ERROR_BAD_COMMAND}, {kPending}, {}},
      {{RemovalNotice::PendingOnly, kNoSuchDevice, ERROR_DEVICE_NOT_CONNECTED}, {kPending}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.removal.pendingError);
    WatchedModem watched;
    UCHAR one = 1;
    ASSERT_TRUE(usbos::WinUsb_SetPipePolicy(watched.winusb, simbus::CONTROL_IN, AUTO_CLEAR_STALL, 1, &one));
    OVERLAPPED overlapped = {};
    uint8_t buffer[64];
    ASSERT_FALSE(usbos::WinUsb_ReadPipe(watched.winusb, simbus::CONTROL_IN, buffer, sizeof(buffer), nullptr,
                                        &overlapped));

    LocalBus().Remove(watched.modem, c.removal);
    EXPECT_EQ(HeardBy(watched.window), c.heard);
    DWORD count = 0;
    EXPECT_FALSE(usbos::WinUsb_GetOverlappedResult(watched.winusb, &overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), c.removal.pendingError);
    EXPECT_FALSE(usbos::WinUsb_ReadPipe(watched.winusb, simbus::CONTROL_IN, buffer, sizeof(buffer), nullptr,
                                        &overlapped));
    EXPECT_EQ(GetLastError(), c.removal.callError);
    watched.window.events.clear();
    LocalBus().CompleteRemoval(watched.modem);
    EXPECT_EQ(HeardBy(watched.window), c.completed);

    // Back at the same path: the old handles stay dead, a new open starts afresh.
    watched.window.events.clear();
    ASSERT_TRUE(LocalBus().Replug(watched.modem));
    EXPECT_FALSE(LocalBus().Replug(watched.modem));
    EXPECT_EQ(HeardBy(watched.window), Heard{kArrival});
    EXPECT_FALSE(usbos::WinUsb_AbortPipe(watched.winusb, simbus::CONTROL_IN));
    EXPECT_EQ(GetLastError(), c.removal.callError);
    HANDLE file = usbos::CreateFileA(LocalBus().DevicePath(watched.modem), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    WINUSB_INTERFACE_HANDLE winusb = nullptr;
    ASSERT_TRUE(usbos::WinUsb_Initialize(file, &winusb));
    EXPECT_FALSE(LocalBus().PipePolicy(watched.modem, simbus::CONTROL_IN, AUTO_CLEAR_STALL, nullptr));
    EXPECT_TRUE(usbos::WinUsb_Free(winusb));
    EXPECT_TRUE(usbos::CloseHandle(file));
  }
}

TEST_F(BusModem, InitializeWantsAnOverlappedFileAndResetsPolicies) {
  UCHAR one = 1;
  ASSERT_TRUE(usbos::WinUsb_SetPipePolicy(winusb_, simbus::DATA_IN, AUTO_CLEAR_STALL, 1, &one));
  HANDLE plain = usbos::CreateFileA(LocalBus().DevicePath(modem_), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  WINUSB_INTERFACE_HANDLE second = nullptr;
  EXPECT_FALSE(usbos::WinUsb_Initialize(plain, &second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(LocalBus().PipePolicy(modem_, simbus::DATA_IN, AUTO_CLEAR_STALL, nullptr));
  usbos::CloseHandle(plain);

  ASSERT_TRUE(usbos::WinUsb_Free(winusb_));
  ASSERT_TRUE(usbos::WinUsb_Initialize(file_, &winusb_));
  EXPECT_FALSE(LocalBus().PipePolicy(modem_, simbus::DATA_IN, AUTO_CLEAR_STALL, nullptr));
}

}  // namespace
