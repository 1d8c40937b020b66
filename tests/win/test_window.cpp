#include "tests/win/test_window.h"

#include "tests/win/message_pump.h"

#include <map>

namespace {
const char kClassName[] = "VarnelTestWnd";

std::map<WPARAM, ModemBridge*>& TestBridges() {
  static std::map<WPARAM, ModemBridge*> bridges;
  return bridges;
}

// A device message's buffer is the window's once taken from the bridge
// that posted it, as the main window takes it; otherwise it is not kept.
LPARAM TakeDeviceMessage(WPARAM id, LPARAM lParam) {
  const auto found = TestBridges().find(id);
  const bool taken =
      found != TestBridges().end() && TakePostedMessage(found->second, reinterpret_cast<IoBuffer*>(lParam));
  return taken ? lParam : 0;
}
}  // namespace

void RegisterTestBridge(WPARAM id, ModemBridge* bridge) {
  if (bridge != nullptr) {
    TestBridges()[id] = bridge;
  } else {
    TestBridges().erase(id);
  }
}

TestWindow::TestWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassA(&wc);  // a second registration fails harmlessly
  hwnd_ =
      CreateWindowExA(0, kClassName, "test", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  g_app.mainWindow = hwnd_;
  g_app.instance = wc.hInstance;
}

TestWindow::~TestWindow() {
  Pump(0);
  Clear();
  SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
  DestroyWindow(hwnd_);
  g_app.mainWindow = nullptr;
}

LRESULT CALLBACK TestWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self != nullptr && message >= WM_USER && message <= WM_GW_DEVICE_MESSAGE) {
    if (message == WM_GW_DEVICE_MESSAGE) lParam = TakeDeviceMessage(wParam, lParam);
    self->messages_.push_back({message, wParam, lParam});
    return 0;
  }
  if (self != nullptr && message == WM_DEVICECHANGE) {
    self->messages_.push_back({message, wParam, lParam});
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool TestWindow::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  return PumpMessagesUntil(done, timeoutMs);
}

void TestWindow::Pump(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

size_t TestWindow::Count(UINT message) const {
  size_t n = 0;
  for (const PostedMessage& m : messages_) n += m.message == message ? 1 : 0;
  return n;
}

std::vector<IoBuffer*> TestWindow::DeviceMessages() const {
  std::vector<IoBuffer*> out;
  for (const PostedMessage& m : messages_) {
    if (m.message == WM_GW_DEVICE_MESSAGE && m.lParam != 0)
      out.push_back(reinterpret_cast<IoBuffer*>(m.lParam));
  }
  return out;
}

void TestWindow::Clear() {
  for (IoBuffer* buffer : DeviceMessages()) FreeIoBuffer(buffer);
  messages_.clear();
}
