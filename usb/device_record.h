#pragma once
// One opened modem in the application's device list.
#include <cstdint>

#include "bridge/modem_bridge.h"
#include "usb/usb_interface.h"

constexpr int MAX_INTERFACES = 8;

struct DeviceRecord {
  DeviceRecord* next;                        // next (older) record in the list; null at the end
  ModemBridge* bridge;                       // null until Open created it, and again once Destroy has begun
  char* path;                                // owned copy of the device interface path
  char* displayName;                         // owned; the modem's serial, null until it identified itself
  HANDLE file;                               // the device file; INVALID_HANDLE_VALUE when not open
  HDEVNOTIFY handleNotification;             // device events on `file`; null when none
  int32_t interfaceCount;                    // entries of `interfaces` in use, 0..MAX_INTERFACES
  UsbInterface* interfaces[MAX_INTERFACES];  // owned; 0 from WinUsb_Initialize, then associated ones
  // Names the record in the messages its worker posts: given before Open and
  // never given again while the process runs, unlike the record's address.
  uint32_t id;
  ModemBridge* stoppedBridge;  // stopped by Close, its memory freed by Free

  // Opens the modem and starts its bridge, which reports to `owner` (its id
  // and path are the record's). On failure the caller still runs Destroy.
  HRESULT Open(const char* devicePath, const BridgeOwner& owner);
  // Close and Free in one.
  void Destroy();
  // Lets go of the modem: the bridge stopped, every handle closed. Given
  // `kept`, the handle registration stays, handed to the caller there, so
  // that the outcome of a removal request still reaches it.
  void Close(HDEVNOTIFY* kept = nullptr);
  // Frees what Close left: the stopped bridge's memory and the texts.
  void Free();
  void SetDisplayName(const char* text);

  // Forwarded to the bridge; harmless without one (OnDeviceMessage then
  // frees the buffer and gives nothing to act on).
  int32_t IsConnected();
  MessageOutcome OnDeviceMessage(struct IoBuffer* message);
  void OnTick();
  void ShowStatus();
  void OnStateChanged();
};
