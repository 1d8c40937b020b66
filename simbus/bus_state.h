#pragma once
// The state of the simulated bus shared by its two faces: the USB boundary
// the gateway calls (sim_*.cpp) and the ModemBus the tests drive
// (local_bus.cpp). One lock guards all of it; the gateway's worker threads
// and the test thread meet here.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "simbus/modem_bus.h"
#include "usb/usb_os.h"

namespace simbus {

// Completion statuses written into OVERLAPPED::Internal, as the system
// writes them (NTSTATUS), so that the kernel's own GetOverlappedResult would
// read the same result from the record.
constexpr ULONG_PTR SIM_STATUS_SUCCESS = 0;
constexpr ULONG_PTR SIM_STATUS_PENDING = 0x103;
constexpr ULONG_PTR SIM_STATUS_CANCELLED = 0xC0000120;             // ERROR_OPERATION_ABORTED
constexpr ULONG_PTR SIM_STATUS_DEVICE_NOT_CONNECTED = 0xC000009D;  // ERROR_DEVICE_NOT_CONNECTED
constexpr ULONG_PTR WIN32_ERROR_STATUS =
    0xC0070000;  // error status, facility 7: low 16 bits are the Win32 error
constexpr ULONG_PTR SIM_STATUS_UNSUCCESSFUL = 0xC0000001;  // ERROR_GEN_FAILURE: a stall, a bus error
constexpr ULONG_PTR SIM_STATUS_IO_TIMEOUT = 0xC00000B5;    // ERROR_SEM_TIMEOUT

// A vanished device, as WinUSB reports it on surprise removal: transfers in
// flight are completed by the stack with ERROR_DEVICE_NOT_CONNECTED (1167),
// while calls made afterwards are refused by the removed device with
// ERROR_BAD_COMMAND (22, the system's mapping of an invalid device state).
// These are Unplug's; Remove chooses others seen in the field.
constexpr DWORD VANISHED_PENDING_ERROR = ERROR_DEVICE_NOT_CONNECTED;
constexpr DWORD VANISHED_CALL_ERROR = ERROR_BAD_COMMAND;

DWORD ErrorOfStatus(ULONG_PTR status);
// The status a transfer ends with to report `error`: the system's own status
// where the bus has one, else a Win32 error carried in an NTSTATUS (facility 7).
ULONG_PTR StatusOfError(DWORD error);

// The one transfer a pipe may have outstanding.
struct Transfer {
  OVERLAPPED* overlapped = nullptr;  // the caller's; null when the pipe is idle
  PUCHAR buffer = nullptr;           // the caller's, valid until the transfer completes
  ULONG length = 0;
  ULONG count = 0;  // bytes a read has taken so far
};

// One transfer the modem sent on an IN pipe: whole packets, the last one
// short unless the size is a multiple of the packet size.
struct Delivery {
  std::vector<uint8_t> bytes;
  bool zeroLengthEnd = false;  // a zero-length packet follows the last one
};

struct PipeState {
  PipeLayout layout;
  uint8_t interfaceIndex = 0;
  Transfer pending;
  std::list<Delivery> delivered;             // IN: sent by the modem, not yet read
  size_t readOffset = 0;                     // IN: bytes of the oldest delivery already read
  std::list<std::vector<uint8_t>> messages;  // OUT: written, ended, not yet taken
  std::vector<uint8_t> unended;              // OUT: full packets with no end after them yet
  size_t messageBytes = 0;                   // OUT: in messages
  bool holdWrites = false;
  bool halted = false;                         // the endpoint answers with a stall until cleared
  ULONG_PTR nextFailure = SIM_STATUS_SUCCESS;  // a bus error waiting for the next transfer
  std::map<uint32_t, std::vector<uint8_t>> policies;

  bool IsIn() const { return (layout.pipeId & 0x80) != 0; }
  // Whether `size` bytes end on a packet boundary, where only a zero-length
  // packet can end the transfer. A layout without a packet size sends each
  // transfer as one packet.
  bool FullPackets(size_t size) const {
    return layout.maxPacketSize != 0 && size % layout.maxPacketSize == 0;
  }
  bool DeviceFull() const { return messageBytes + unended.size() >= DEVICE_OUT_BUFFER; }
  bool PolicyOn(uint32_t policyType) const {
    const auto found = policies.find(policyType);
    return found != policies.end() && found->second.front() != 0;
  }
};

struct Modem {
  int id = 0;
  std::string path;
  ModemLayout layout;
  bool present = true;
  // Counts the modem's returns (Replug): handles made before one stay dead.
  uint32_t generation = 0;
  DWORD callError = VANISHED_CALL_ERROR;  // what calls fail with while it is absent
  bool removalHeld = false;               // a Late removal's notice not yet sent
  // Removal requests whose other listeners take their time: the outcome
  // waits for AnswerRemovalQuery.
  bool holdRemovalAnswer = false;
  bool removalQueryOpen = false;  // queried, outcome not yet sent
  bool removalDenied = false;     // a listener of the open query answered BROADCAST_QUERY_DENY
  std::list<FileOpen> opens;      // at most FILE_OPEN_LOG_LIMIT
  ModemAccess access;
  std::list<Release> releases;  // at most RELEASE_LOG_LIMIT

  void LogRelease(ReleaseCall call, uint8_t interfaceIndex);
  // By (interface, endpoint address): a wrong layout may repeat an address
  // in several interfaces.
  std::map<std::pair<uint8_t, uint8_t>, PipeState> pipes;
};

struct WinUsbHandleState {
  int modem = 0;
  uint8_t interfaceIndex = 0;
  uint32_t generation = 0;  // the modem's when the handle was made
};

struct DeviceFile {
  int modem = 0;
  uint32_t generation = 0;  // the modem's when the file was opened
  DWORD flags = 0;          // CreateFileA's flags and attributes
};

struct DeviceSetMember {
  int modem;
  std::string path;
};

struct DeviceSet {
  std::vector<DeviceSetMember> members;
};

struct Registration {
  HWND window = nullptr;
  bool isHandle = false;  // a device file handle; otherwise an interface class
  bool allClasses = false;
  GUID classGuid = {};
  HANDLE file = nullptr;
  int modem = 0;            // the file's modem, for handle registrations
  uint32_t generation = 0;  // and the modem's generation when the file was opened
};

struct Fault {
  int modem;
  BusCall call;
  int32_t argument;
  DWORD error;
};

// One message to send once the lock is released (the receiver calls back
// into the bus).
struct Notice {
  HWND window;
  WPARAM event;
  std::vector<uint8_t> broadcast;  // a DEV_BROADCAST_* record
};

class Bus {
 public:
  Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  void Lock() { EnterCriticalSection(&lock_); }
  void Unlock() { LeaveCriticalSection(&lock_); }
  // Waits for a state change (a write arriving); the lock is held on entry and on return.
  bool WaitChange(DWORD timeoutMs) { return SleepConditionVariableCS(&changed_, &lock_, timeoutMs) != FALSE; }
  void NotifyChange() { WakeAllConditionVariable(&changed_); }

  // All of the following require the lock.
  Modem* FindModem(int id);
  // The pipe `pipeId` of the interface behind `handle`, or null with the last error set.
  PipeState* FindPipe(WINUSB_INTERFACE_HANDLE handle, uint8_t pipeId, Modem** modem);
  // The handle's modem, or null with the last error set (unknown handle, or the device vanished).
  Modem* ModemOfHandle(WINUSB_INTERFACE_HANDLE handle, WinUsbHandleState** state);
  // Takes the modem away: transfers in flight end with pendingError, later calls fail with callError.
  void Vanish(Modem* modem, DWORD pendingError, DWORD callError);
  // True (with the last error set) when a test made this call fail.
  bool Faulted(int modem, BusCall call, int32_t argument);
  // Ends the pipe's outstanding transfer: status and count into the record, then the event.
  void Complete(PipeState* pipe, ULONG_PTR status, ULONG count);
  // Moves what the modem sent into the pipe's outstanding read; true when
  // the read has ended (short or zero-length packet, or a full buffer).
  bool FillRead(PipeState* pipe);
  // A write the modem accepts: its packets reach the modem's side of the pipe.
  void WriteArrives(PipeState* pipe, const uint8_t* data, ULONG length);
  // The modem took `message` from an OUT pipe: a write waiting for room may
  // now arrive.
  void MessageTaken(PipeState* pipe, const std::vector<uint8_t>& message);
  // A write the modem was not taking arrives and completes, unless held.
  void AcceptWaitingWrite(PipeState* pipe);
  // Fails the pipe's outstanding transfer if its endpoint is halted or a bus
  // error waits for it; true when it did.
  bool FailIfBroken(PipeState* pipe);

  std::map<int, std::unique_ptr<Modem>> modems;
  int nextModem = 1;
  std::map<WINUSB_INTERFACE_HANDLE, std::unique_ptr<WinUsbHandleState>> winUsbHandles;
  std::map<HANDLE, DeviceFile> files;  // device file (an event used as a token) -> its modem
  std::map<HDEVINFO, std::unique_ptr<DeviceSet>> sets;
  std::map<HDEVNOTIFY, std::unique_ptr<Registration>> registrations;
  std::vector<Fault> faults;
  bool callerElevated = false;

 private:
  CRITICAL_SECTION lock_;
  CONDITION_VARIABLE changed_;
};

Bus& TheBus();

// Holds the bus lock for a scope.
class BusLock {
 public:
  explicit BusLock(Bus& bus) : bus_(bus) { bus_.Lock(); }
  ~BusLock() { bus_.Unlock(); }
  BusLock(const BusLock&) = delete;
  BusLock& operator=(const BusLock&) = delete;

 private:
  Bus& bus_;
};

// The entry of a handle the bus gave out; end() with ERROR_INVALID_HANDLE
// for one it does not know, as the system answers. The lock is held.
template <typename Map>
typename Map::iterator FindHandle(Map& handles, const typename Map::key_type& handle) {
  const auto found = handles.find(handle);
  if (found == handles.end()) SetLastError(ERROR_INVALID_HANDLE);
  return found;
}

// Forgets a handle the bus gave out, under the lock; FALSE for one it does not know.
template <typename Map>
BOOL ForgetHandle(Map& handles, const typename Map::key_type& handle) {
  BusLock lock(TheBus());
  const auto found = FindHandle(handles, handle);
  if (found == handles.end()) return FALSE;
  handles.erase(found);
  return TRUE;
}

// Whether a device file of the modem's present generation is open; the lock is held.
bool FileOpenBy(const Bus& bus, const Modem& modem);
// Whether CreateFileA with `access` may open the modem's device file now:
// its security grants the access to this caller, and no one holds it.
bool AccessGranted(const Bus& bus, const Modem& modem, DWORD access);

// Notices for the registrations that want them; built under the lock.
std::vector<Notice> InterfaceNotices(Bus& bus, const Modem& modem, WPARAM event);
std::vector<Notice> HandleNotices(Bus& bus, const Modem& modem, WPARAM event);
// Sends them; the lock must not be held. False when a receiver answered BROADCAST_QUERY_DENY.
bool SendNotices(const std::vector<Notice>& notices);

}  // namespace simbus
