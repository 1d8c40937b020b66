#include "tests/win/bridged_modem.h"

#include "bridge/control_message.h"
#include "tests/win/test_window.h"
#include "ui/status_window.h"
#include "usb/usb_os.h"

BridgedModem::BridgedModem(const simbus::ModemLayout& layout) {
  static uint32_t lastId = 0x1000;
  record_.id = ++lastId;
  record_.file = INVALID_HANDLE_VALUE;
  modem_ = simbus::LocalBus().Plug(layout);
  record_.file = usbos::CreateFileA(simbus::LocalBus().DevicePath(modem_), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
  WINUSB_INTERFACE_HANDLE handle = nullptr;
  if (!usbos::WinUsb_Initialize(record_.file, &handle)) return;
  // Every interface, as opening a device does, so that layouts with more
  // than one reach the bridge's acceptance test.
  while (handle != nullptr && record_.interfaceCount < MAX_INTERFACES) {
    UsbInterface* usb = new UsbInterface();
    record_.interfaces[record_.interfaceCount++] = usb;
    usb->Create(handle);
    handle = nullptr;
    usbos::WinUsb_GetAssociatedInterface(record_.interfaces[0]->handle,
                                         static_cast<UCHAR>(record_.interfaceCount - 1), &handle);
  }
}

BridgedModem::~BridgedModem() {
  ModemBridge* bridge = record_.bridge;
  record_.bridge = nullptr;
  RegisterTestBridge(record_.id, nullptr);
  if (bridge != nullptr) bridge->ops->Stop(bridge);
  for (int i = 0; i < record_.interfaceCount; ++i) {
    record_.interfaces[i]->Destroy();
    delete record_.interfaces[i];
  }
  if (record_.file != INVALID_HANDLE_VALUE) usbos::CloseHandle(record_.file);
  if (bridge != nullptr) bridge->ops->Release(bridge);
  record_.SetDisplayName(nullptr);
  simbus::LocalBus().Unplug(modem_);
}

bool BridgedModem::Start() {
  const BridgeOwner owner = {g_app.mainWindow, record_.id, record_.path, ShowStatus, CloseStatusWindow};
  CreateBridge(record_.interfaces, record_.interfaceCount, owner, &record_.bridge);
  RegisterTestBridge(record_.id, record_.bridge);
  return record_.bridge != nullptr;
}

void BridgedModem::Stop() {
  if (record_.bridge != nullptr) record_.bridge->ops->Stop(record_.bridge);
}

void BridgedModem::SendControl(const std::vector<uint8_t>& message) {
  simbus::LocalBus().Deliver(modem_, simbus::CONTROL_IN, message.data(),
                             static_cast<uint32_t>(message.size()));
}

void BridgedModem::SendConnect(const std::string& address) {
  std::vector<uint8_t> message = {CTL_CONNECT, 0, 0};
  message.insert(message.end(), address.begin(), address.end());
  SendControl(message);
}

void BridgedModem::SendData(const std::vector<uint8_t>& data) {
  simbus::LocalBus().Deliver(modem_, simbus::DATA_IN, data.data(), static_cast<uint32_t>(data.size()));
}

bool BridgedModem::TakeControl(std::vector<uint8_t>* message, DWORD timeoutMs) {
  return simbus::LocalBus().Take(modem_, simbus::CONTROL_OUT, message, timeoutMs);
}

bool BridgedModem::TakeData(std::vector<uint8_t>* data, DWORD timeoutMs) {
  return simbus::LocalBus().Take(modem_, simbus::DATA_OUT, data, timeoutMs);
}

std::vector<uint8_t> BridgedModem::NextControl(DWORD timeoutMs) {
  std::vector<uint8_t> message;
  if (!TakeControl(&message, timeoutMs)) message.clear();
  return message;
}
