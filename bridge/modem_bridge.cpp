#include "bridge/modem_bridge.h"

#include <initializer_list>
#include <new>

#include "bridge/status_logic.h"
#include "bridge/status_poll.h"
#include "bridge/tcp_link.h"
#include "trace/events.h"
#include "usb/usb_interface.h"

namespace {

constexpr UCHAR MODEM_INTERFACE_CLASS = 0xFE;
constexpr UCHAR MODEM_PIPE_COUNT = 4;
constexpr USHORT MODEM_PACKET_SIZE = 64;

void Stop(ModemBridge* bridge) {
  if (bridge->owner.closeStatus != nullptr) bridge->owner.closeStatus(bridge);
  if (bridge->workerThread == nullptr) return;
  RequestStop(bridge);
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

void ShowStatus(ModemBridge* bridge) {
  if (bridge->owner.showStatus != nullptr) bridge->owner.showStatus(bridge);
}

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
bool AcceptLayout(UsbInterface* const* interfaces, int32_t interfaceCount, UsbPipe* roles[4]) {
  if (interfaceCount != 1) return false;
  const UsbInterface* usb = interfaces[0];
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

HRESULT CreateBridge(UsbInterface* const* interfaces, int32_t interfaceCount, const BridgeOwner& owner,
                     ModemBridge** created) {
  *created = nullptr;
  UsbPipe* roles[4];
  const bool accepted = AcceptLayout(interfaces, interfaceCount, roles);
  trace::LayoutFound(static_cast<uint32_t>(owner.id), interfaceCount,
                     interfaceCount > 0 ? &interfaces[0]->descriptor : nullptr, accepted);
  if (!accepted) return E_NOTIMPL;

  // Value-initialised: every handle, pointer, flag and counter starts at zero.
  auto* bridge = new (std::nothrow) ModemBridge();
  if (bridge == nullptr) return E_OUTOFMEMORY;
  bridge->ops = &kBridgeOps;
  bridge->socket = INVALID_SOCKET;
  InitializeCriticalSection(&bridge->lock);
  bridge->owner = owner;
  bridge->deviceId = owner.id;

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
    // A resource the system could not give now; the modem is worth another try.
    const DWORD error = GetLastError();
    Release(bridge);
    SetLastError(error);
    return error == ERROR_OUTOFMEMORY || error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_SUCCESS
               ? E_OUTOFMEMORY
               : HRESULT_FROM_WIN32(error);
  }
  // The worker never touches the status cache, so this may follow its start.
  ResetStatus(bridge);
  *created = bridge;
  return S_OK;
}

void RequestStop(ModemBridge* bridge) {
  if (bridge->workerThread == nullptr) return;
  bridge->stopRequested.store(1);
  SetEvent(bridge->wakeEvent);
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
  message->next = nullptr;
  EnterCriticalSection(&bridge->lock);
  if (bridge->postedTail != nullptr) {
    bridge->postedTail->next = message;
  } else {
    bridge->posted = message;
  }
  bridge->postedTail = message;
  LeaveCriticalSection(&bridge->lock);
  if (PostToOwner(bridge, WM_GW_DEVICE_MESSAGE, reinterpret_cast<LPARAM>(message))) return true;
  // Not taken meanwhile (only a post naming it exactly could have): still ours.
  return !TakePostedMessage(bridge, message);
}

bool TakePostedMessage(ModemBridge* bridge, IoBuffer* message) {
  if (message == nullptr) return false;
  EnterCriticalSection(&bridge->lock);
  // Messages are handled in the order they were posted: the one taken is at
  // the head. Only a stray value, or a message whose post failed, is looked
  // for further on.
  IoBuffer* previous = nullptr;
  IoBuffer* listed = bridge->posted;
  while (listed != nullptr && listed != message) {
    previous = listed;
    listed = listed->next;
  }
  const bool found = listed != nullptr;
  if (found) {
    (previous != nullptr ? previous->next : bridge->posted) = message->next;
    if (bridge->postedTail == message) bridge->postedTail = previous;
  }
  LeaveCriticalSection(&bridge->lock);
  if (found) message->next = nullptr;
  return found;
}

void ResetStatus(ModemBridge* bridge) {
  ResetStatusCache(&bridge->status);
  bridge->statusWindow = nullptr;
}

bool PostToOwner(ModemBridge* bridge, UINT message, LPARAM lParam) {
  // Without a window a post would land in the worker's own queue.
  return bridge->owner.window != nullptr &&
         PostMessageA(bridge->owner.window, message, bridge->deviceId, lParam);
}
