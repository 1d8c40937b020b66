#pragma once
// A hidden window on the test thread standing in for the main window: it
// records, in order, every private message the gateway posts to it, and
// owns the buffers of device messages it received.
#include <functional>
#include <vector>

#include "app/app_state.h"
#include "bridge/modem_bridge.h"
#include "usb/device_record.h"

struct PostedMessage {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// The wParam with which the worker names a device record in its messages.
inline WPARAM RecordParam(const DeviceRecord* record) {
  return record->id;
}

// The bridges whose device messages the window takes over, by their
// record's id (null: forget it).
void RegisterTestBridge(WPARAM id, ModemBridge* bridge);

class TestWindow {
 public:
  TestWindow();  // creates the window and makes it g_app.mainWindow
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  // Dispatches this thread's messages until `done` holds or timeoutMs passes.
  bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
  void Pump(DWORD ms);

  const std::vector<PostedMessage>& messages() const { return messages_; }
  size_t Count(UINT message) const;
  // Control messages the modem sent up, oldest first (the window keeps ownership).
  std::vector<IoBuffer*> DeviceMessages() const;
  void Clear();  // forgets the messages and frees their buffers

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  HWND hwnd_ = nullptr;
  std::vector<PostedMessage> messages_;
};
