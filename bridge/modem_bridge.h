#pragma once
// The per-modem object that relays the modem's data pipes to a TCP socket
// and serves its control channel. The main thread drives it only through
// its BridgeOps table and PostControl; the worker reaches the main thread
// only through messages posted to the window its owner handed it. The
// bridge names nothing above it: what it learns goes back to its owner,
// which acts on it.
#include <winsock2.h>
#include <windows.h>

#include "bridge/io_buffer.h"
#include "bridge/status_cache.h"
#include "bridge/status_logic.h"

struct UsbInterface;
struct UsbPipe;
struct ModemBridge;

// Private messages the worker posts to its owner's window (wParam = the
// owner's id, BridgeOwner::id).
constexpr UINT WM_GW_TRAY = WM_USER;
constexpr UINT WM_GW_LINK_CHANGED = WM_USER + 1;
constexpr UINT WM_GW_WORKER_ENDED = WM_USER + 2;
constexpr UINT WM_GW_DEVICE_MESSAGE = WM_USER + 3;  // lParam = IoBuffer*, owned by the receiver

// The status window's refresh command (WM_COMMAND wParam).
constexpr WPARAM CMD_STATUS_REFRESH = 0x3000;

// What a bridge's creator hands it, kept for the bridge's life.
struct BridgeOwner {
  HWND window;  // the worker's notices are posted here; null: none is posted
  // Names the owner in every notice. Given once and never again while the
  // process runs: the owner may be gone (and its address reused) by the
  // time a notice is handled, its id is not.
  WPARAM id;
  const char* path;  // the modem's device path, borrowed; outlives the bridge
  // The status window: run until it closes (ShowStatus), and closed (by
  // Stop). Main thread; either may be null.
  void (*showStatus)(ModemBridge* bridge);
  void (*closeStatus)(ModemBridge* bridge);
};

struct BridgeOps {
  void (*Stop)(ModemBridge* bridge);
  void (*Release)(ModemBridge* bridge);
  int32_t (*IsConnected)(ModemBridge* bridge);
  // Takes the message over and frees it; gives what the owner is to act on.
  MessageOutcome (*OnDeviceMessage)(ModemBridge* bridge, IoBuffer* message);
  void (*OnTick)(ModemBridge* bridge);
  void (*ShowStatus)(ModemBridge* bridge);
  void (*OnStateChanged)(ModemBridge* bridge);
};

constexpr int WAIT_HANDLE_COUNT = 7;
constexpr int RECEIVE_WAIT_INDEX = 5;
constexpr int SEND_WAIT_INDEX = 6;

// The overlapped record of one socket transfer, with its own manual-reset
// event. Allocated apart from the bridge: a cancelled transfer whose
// completion is late is parked whole, with its buffer, while the next link
// uses a fresh record.
struct SocketTransfer {
  OVERLAPPED overlapped;  // hEvent owned
  LONG inFlight;          // started, and its completion not yet taken
  IoBuffer* buffer;       // parked only: the buffer the stack may still use
  SocketTransfer* next;   // parked only
};

struct ModemBridge {
  const BridgeOps* ops;
  BridgeOwner owner;
  WPARAM deviceId;  // owner.id, wParam of every posted message

  UsbPipe* controlIn;  // borrowed from the device's interface
  UsbPipe* controlOut;
  UsbPipe* dataIn;
  UsbPipe* dataOut;
  // 0 wake, 1..4 controlIn/controlOut/dataIn/dataOut events, 5 receive, 6 send.
  HANDLE waitHandles[WAIT_HANDLE_COUNT];
  HANDLE wakeEvent;  // auto-reset: new control message, stop request, connect outcome
  HANDLE workerThread;
  DWORD workerThreadId;
  std::atomic<LONG> stopRequested;
  HANDLE connectThread;  // the running connect attempt; owned by the worker
  DWORD connectThreadId;
  std::atomic<LONG> connectResult;  // 1 pending, 0 connected, negative failed
  DWORD connectError;               // last error of the failed attempt
  ULONGLONG connectStartedAt;       // connect thread only: when the attempt began, for its trace
  IoBuffer* connectRequest;         // the CTL_CONNECT being served
  SOCKET socket;                    // taken and cleared only under lock
  HRESULT workerResult;
  std::atomic<LONG> linked;  // written by the worker only
  IoBuffer* pool;            // free buffers, LIFO; worker only
  LONG poolCount;            // buffers in pool, at most POOL_LIMIT; worker only
  IoBuffer* controlInPending;
  IoBuffer* controlOutQueue;
  IoBuffer* dataInPending;
  IoBuffer* dataOutQueue;
  IoBuffer* receivePending;
  IoBuffer* sendQueue;
  CRITICAL_SECTION lock;  // guards outbox, posted and socket
  IoBuffer* outbox;       // posted by the main thread, not yet taken by the worker
  // Control messages the worker posted to the main window and the main
  // thread has not taken yet. The bridge owns them until taken, so the main
  // thread uses only a buffer found here: any other lParam, a stray or forged
  // post from another program, is neither read nor freed.
  // Oldest first, as the main thread takes them: a take finds its message
  // at the head, whatever the length of the list.
  IoBuffer* posted;
  IoBuffer* postedTail;  // the newest, where the worker appends; null when empty
  // Set by the worker just before its last notice: only then does a
  // worker-ended message for this record mean anything.
  std::atomic<LONG> workerEnded;
  SocketTransfer* receiveTransfer;  // its event is waitHandles[RECEIVE_WAIT_INDEX]
  SocketTransfer* sendTransfer;     // its event is waitHandles[SEND_WAIT_INDEX]
  TrafficCounters traffic;
  HWND statusWindow;  // the open status window, or null
  StatusCache status;

  // Manual reset; set by CloseLink to end a connect attempt. The connect
  // thread waits for its connect on this and the socket's own event, so no
  // one closes its socket under a Winsock call still using it.
  HANDLE connectCancel;
  // Worker only. After the server has closed its sending side receives
  // complete at once with 0 bytes: the next one is posted no sooner than
  // this tick count (0: at once), only to notice a later reset.
  ULONGLONG nextReceiveAt;
  // Worker only: cancelled socket transfers whose completion had not come
  // when their link closed, each with its buffer, until the completion
  // arrives or the bridge is destroyed.
  SocketTransfer* parkedTransfers;
  // Buffers in controlOutQueue, dataOutQueue and sendQueue; written by the
  // worker only. The main thread reads the first to hold polls back while
  // the modem takes none.
  std::atomic<LONG> controlOutQueued;
  std::atomic<LONG> dataOutQueued;
  std::atomic<LONG> sendQueued;
  // Worker only: the read feeding each of those queues is held back while
  // it is full (FLOW_HIGH_MARK): control IN, the socket receive, data IN.
  LONG controlOutFull;
  LONG dataOutFull;
  LONG sendFull;
  // Worker only: a reply the modem must get (connected, connect failed, link
  // lost) could not be allocated, or the write of a link-lost notice could
  // not start; the worker ends with this result.
  HRESULT workerFault;
  // Worker only, for the trace of a link's end: why the link that closes
  // next ends (trace::LINK_END_*; unset: a stop request's) with its error,
  // and the byte totals when it came up (those when the last one closed:
  // nothing is counted between links).
  uint8_t linkEndCause;
  DWORD linkEndError;
  uint64_t linkReceivedBase;
  uint64_t linkSentBase;
};

// Creates and starts a bridge over a modem's interfaces into *bridge:
// E_NOTIMPL when their layout is not the modem's (it never will be), or the
// failure of a resource it could not have now (memory, an event, a thread),
// with *bridge null.
HRESULT CreateBridge(UsbInterface* const* interfaces, int32_t interfaceCount, const BridgeOwner& owner,
                     ModemBridge** bridge);
// Asks the worker to end without waiting for it; Stop then joins it. Many
// bridges stopped at once end in the time of the slowest, not of them all.
void RequestStop(ModemBridge* bridge);

// Main thread: hands a control message to the worker for the control OUT pipe.
void PostControl(ModemBridge* bridge, IoBuffer* message);
// Worker: posts a control message to the main window, which takes it over
// once it has found it among `posted`; false when the post failed and the
// message is still the worker's.
bool PostDeviceMessage(ModemBridge* bridge, IoBuffer* message);
// Main thread: takes over a message the worker posted and no one has taken
// yet; false for any other value.
bool TakePostedMessage(ModemBridge* bridge, IoBuffer* message);
void ResetStatus(ModemBridge* bridge);
// Worker: posts a notice to the owner's window; false when none could be.
bool PostToOwner(ModemBridge* bridge, UINT message, LPARAM lParam);

// The worker thread and its connect thread.
DWORD WINAPI WorkerLoop(LPVOID bridge);
DWORD WINAPI ConnectThread(LPVOID bridge);
