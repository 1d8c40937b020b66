#include "bridge/modem_bridge.h"

#include <initializer_list>
#include <new>

#include "bridge/status_logic.h"
#include "bridge/status_poll.h"
#include "bridge/tcp_link.h"
#include "trace/events.h"
#include "ui/status_window.h"
#include "usb/device_record.h"

namespace {

constexpr UCHAR MODEM_INTERFACE_CLASS = 0xFE;
constexpr UCHAR MODEM_PIPE_COUNT = 4;
constexpr USHORT MODEM_PACKET_SIZE = 64;

void Stop(ModemBridge* bridge) {
  CloseStatusWindow(bridge);
  if (bridge->workerThread == nullptr) return;
  bridge->stopRequested.store(1);
  SetEvent(bridge->wakeEvent);
  WaitForSingleObject(bridge->workerThread, INFINITE);
  CloseHandle(bridge->workerThread);
  bridge->workerThread = nullptr;
}

// Frees what the bridge still holds. The worker's exit path has already
// closed the socket, joined the connect thread and emptied the send side;
// the pipes are gone by now and are not touched.
void Destroy(ModemBridge* bridge) {
  DeleteCriticalSection(&bridge->lock);
  if (bridge->wakeEvent != nullptr) CloseHandle(bridge->wakeEvent);
  FreeSocketTransfer(bridge->receiveTransfer);
  FreeSocketTransfer(bridge->sendTransfer);
  FreeParkedTransfers(bridge);
  if (bridge->connectCancel != nullptr) CloseHandle(bridge->connectCancel);
  FreeIoBufferList(bridge->pool);
  FreeIoBuffer(bridge->controlInPending);
  FreeIoBuffer(bridge->dataInPending);
  FreeIoBufferList(bridge->dataOutQueue);
  FreeIoBufferList(bridge->controlOutQueue);
  FreeIoBufferList(bridge->outbox);
  FreeIoBufferList(bridge->posted);  // their notices, if still queued, are ignored
  FreeIoBuffer(bridge->connectRequest);
  FreeIoBuffer(bridge->receivePending);
  FreeIoBufferList(bridge->sendQueue);
}

void Release(ModemBridge* bridge) {
  Destroy(bridge);
  delete bridge;
}

int32_t IsConnected(ModemBridge* bridge) {
  return bridge->linked.load();
}

void OnStateChanged(ModemBridge*) {}

const BridgeOps kBridgeOps = {Stop,   Release,    IsConnected,   OnDeviceMessage,
                              OnTick, ShowStatus, OnStateChanged};

// Within a pair, the pipe with bit 7 of its address set is IN; a later pipe
// of the same direction takes the role, leaving the other one empty.
void AssignPair(UsbPipe* first, UsbPipe* second, UsbPipe** in, UsbPipe** out) {
  *in = nullptr;
  *out = nullptr;
  for (UsbPipe* pipe : {first, second}) {
    if (pipe->info.PipeId & 0x80) {
      *in = pipe;
    } else {
      *out = pipe;
    }
  }
}

// The modem's layout: one interface 0xFE/0/0 with four bulk 64-byte pipes,
// a control pair (0, 1) and a data pair (2, 3), each one IN and one OUT.
bool AcceptLayout(DeviceRecord* record, UsbPipe* roles[4]) {
  if (record->interfaceCount != 1) return false;
  const UsbInterface* usb = record->interfaces[0];
  const USB_INTERFACE_DESCRIPTOR& d = usb->descriptor;
  if (d.bInterfaceClass != MODEM_INTERFACE_CLASS || d.bInterfaceSubClass != 0 || d.bInterfaceProtocol != 0 ||
      d.bNumEndpoints != MODEM_PIPE_COUNT) {
    return false;
  }
  for (int i = 0; i < MODEM_PIPE_COUNT; ++i) {
    const WINUSB_PIPE_INFORMATION& info = usb->pipes[i]->info;
    if (info.MaximumPacketSize != MODEM_PACKET_SIZE || info.PipeType != UsbdPipeTypeBulk) return false;
  }
  AssignPair(usb->pipes[0], usb->pipes[1], &roles[0], &roles[1]);
  AssignPair(usb->pipes[2], usb->pipes[3], &roles[2], &roles[3]);
  return roles[0] && roles[1] && roles[2] && roles[3];
}

HANDLE NewManualResetEvent() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

ModemBridge* CreateBridge(DeviceRecord* record) {
  UsbPipe* roles[4];
  const bool accepted = AcceptLayout(record, roles);
  trace::LayoutFound(record, accepted);
  if (!accepted) return nullptr;

  // Value-initialised: every handle, pointer, flag and counter starts at zero.
  auto* bridge = new (std::nothrow) ModemBridge();
  if (bridge == nullptr) return nullptr;
  bridge->ops = &kBridgeOps;
  bridge->socket = INVALID_SOCKET;
  InitializeCriticalSection(&bridge->lock);
  bridge->device = record;
  bridge->deviceId = record->id;

  // Auto-reset: the worker's wait consumes it, with no call of its own.
  bridge->wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (bridge->wakeEvent != nullptr) bridge->receiveTransfer = NewSocketTransfer();
  if (bridge->receiveTransfer != nullptr) bridge->sendTransfer = NewSocketTransfer();
  if (bridge->sendTransfer != nullptr) bridge->connectCancel = NewManualResetEvent();
  if (bridge->connectCancel != nullptr) {
    bridge->controlIn = roles[0];
    bridge->controlOut = roles[1];
    bridge->dataIn = roles[2];
    bridge->dataOut = roles[3];
    const HANDLE waits[WAIT_HANDLE_COUNT] = {bridge->wakeEvent,
                                             bridge->controlIn->overlapped.hEvent,
                                             bridge->controlOut->overlapped.hEvent,
                                             bridge->dataIn->overlapped.hEvent,
                                             bridge->dataOut->overlapped.hEvent,
                                             bridge->receiveTransfer->overlapped.hEvent,
                                             bridge->sendTransfer->overlapped.hEvent};
    for (int i = 0; i < WAIT_HANDLE_COUNT; ++i) bridge->waitHandles[i] = waits[i];
    bridge->workerThread = CreateThread(nullptr, 0, WorkerLoop, bridge, 0, &bridge->workerThreadId);
  }
  if (bridge->workerThread == nullptr) {
    Release(bridge);
    return nullptr;
  }
  // The worker never touches the status cache, so this may follow its start.
  ResetStatus(bridge);
  return bridge;
}

void PostControl(ModemBridge* bridge, IoBuffer* message) {
  message->next = nullptr;
  EnterCriticalSection(&bridge->lock);
  IoBuffer** tail = &bridge->outbox;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = message;
  LeaveCriticalSection(&bridge->lock);
  SetEvent(bridge->wakeEvent);
}

bool PostDeviceMessage(ModemBridge* bridge, IoBuffer* message) {
  EnterCriticalSection(&bridge->lock);
  message->next = bridge->posted;
  bridge->posted = message;
  LeaveCriticalSection(&bridge->lock);
  if (PostToMainWindow(WM_GW_DEVICE_MESSAGE, bridge->deviceId, reinterpret_cast<LPARAM>(message)))
    return true;
  // Not taken meanwhile (only a post naming it exactly could have): still ours.
  return !TakePostedMessage(bridge, message);
}

bool TakePostedMessage(ModemBridge* bridge, IoBuffer* message) {
  if (message == nullptr) return false;
  EnterCriticalSection(&bridge->lock);
  IoBuffer** link = &bridge->posted;
  while (*link != nullptr && *link != message) link = &(*link)->next;
  const bool found = *link != nullptr;
  if (found) *link = message->next;
  LeaveCriticalSection(&bridge->lock);
  if (found) message->next = nullptr;
  return found;
}

void ResetStatus(ModemBridge* bridge) {
  ResetStatusCache(&bridge->status);
  bridge->statusWindow = nullptr;
  bridge->device->SetDisplayName(bridge->status.serial);
}

void CloseStatusWindow(ModemBridge* bridge) {
  HWND window = bridge->statusWindow;
  if (window == nullptr) return;
  // The dialog procedure ignores every message once this is cleared.
  SetWindowLongPtrA(window, DWLP_USER, 0);
  bridge->statusWindow = nullptr;
  EndDialog(window, 0);
}
