#pragma once
// A simulated modem opened by hand into a device record with a running
// bridge, for tests that exercise the bridge without the device list.
#include <string>
#include <vector>

#include "bridge/modem_bridge.h"
#include "simbus/modem_bus.h"
#include "usb/device_record.h"

class BridgedModem {
 public:
  // Plugs a modem with the layout and opens its first interface.
  explicit BridgedModem(const simbus::ModemLayout& layout = simbus::StandardLayout());
  ~BridgedModem();  // stops and releases the bridge, closes everything
  BridgedModem(const BridgedModem&) = delete;
  BridgedModem& operator=(const BridgedModem&) = delete;

  // CreateBridge over the record; false when it gives none.
  bool Start();
  void Stop();  // the bridge's Stop (idempotent)

  ModemBridge* bridge() const { return record_.bridge; }
  DeviceRecord* record() { return &record_; }
  int modem() const { return modem_; }

  // The modem's side of the wire.
  void SendControl(const std::vector<uint8_t>& message);
  void SendConnect(const std::string& address);  // CTL_CONNECT with the text at byte 3
  void SendData(const std::vector<uint8_t>& data);
  bool TakeControl(std::vector<uint8_t>* message, DWORD timeoutMs = 5000);
  bool TakeData(std::vector<uint8_t>* data, DWORD timeoutMs = 5000);
  // The next control message, or an empty vector after the time-out.
  std::vector<uint8_t> NextControl(DWORD timeoutMs = 5000);

 private:
  DeviceRecord record_ = {};
  int modem_ = -1;
};
