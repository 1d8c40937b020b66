#pragma once
// What a test, or a driver in another process, does to the simulated modems.
// Everything goes through this one small interface, free of OS types, so
// that it is carried over a loopback connection unchanged (simbus/
// bus_protocol.h); the gateway side of the bus is the USB boundary
// (usb/usb_os.h) bound to the simulation.
//
// Modems are addressed by the id Plug returns, pipes by their endpoint
// address (bit 7 set = IN), which is unique within a modem.
#include <cstdint>
#include <vector>

namespace simbus {

struct PipeLayout {
  uint8_t pipeId;     // endpoint address; 0x80 bit = IN
  uint32_t pipeType;  // USBD_PIPE_TYPE: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t maxPacketSize;
};

struct InterfaceLayout {
  uint8_t interfaceClass;
  uint8_t interfaceSubClass;
  uint8_t interfaceProtocol;
  std::vector<PipeLayout> pipes;  // bNumEndpoints = pipes.size()
};

struct ModemLayout {
  std::vector<InterfaceLayout> interfaces;  // 0 = the first; the rest are associated ones
};

// The real modem: one interface 0xFE/0/0 with four bulk 64-byte pipes:
// control IN 0x81, control OUT 0x01, data IN 0x82, data OUT 0x02.
constexpr uint8_t CONTROL_IN = 0x81;
constexpr uint8_t CONTROL_OUT = 0x01;
constexpr uint8_t DATA_IN = 0x82;
constexpr uint8_t DATA_OUT = 0x02;
constexpr uint32_t PIPE_TYPE_BULK = 2;
// What a modem's OUT endpoint takes ahead of its firmware: beyond it the
// endpoint answers NAK and the host's write stays pending until the modem
// takes data (a modem that stops taking holds the gateway back).
constexpr uint32_t DEVICE_OUT_BUFFER = 65536;
inline ModemLayout StandardLayout() {
  InterfaceLayout modemInterface{0xFE, 0, 0, {}};
  for (uint8_t pipeId : {CONTROL_IN, CONTROL_OUT, DATA_IN, DATA_OUT}) {
    modemInterface.pipes.push_back({pipeId, PIPE_TYPE_BULK, 64});
  }
  ModemLayout layout;
  layout.interfaces.push_back(modemInterface);
  return layout;
}

// Calls of the USB boundary that a test can make fail (ModemBus::FailCall),
// with what their `argument` is matched against.
enum class BusCall : uint32_t {
  OpenDeviceFile,          // opening the modem's device file (CreateFileA); argument unused
  RegisterNotification,    // a handle registration on the modem's file; argument unused
  InterfaceDetail,         // the detail query of the modem's member in a set; argument unused
  Initialize,              // WinUsb_Initialize; argument unused
  GetAssociatedInterface,  // argument: the associated index (0 = the second interface)
  QueryInterfaceSettings,  // argument: the interface (0 = the first)
  QueryPipe,               // argument: the pipe index
  SetPipePolicy,           // argument: the pipe id
  ReadPipe,                // argument: the pipe id
  WritePipe,               // argument: the pipe id
  AbortPipe,               // argument: the pipe id
};
constexpr int32_t ANY_ARGUMENT = -1;

// One transfer the modem sends in an Exchange.
struct ModemSend {
  uint8_t pipeId = 0;
  std::vector<uint8_t> bytes;
};

// How a surprise removal is told to the registered windows (ModemBus::Remove).
enum class RemovalNotice : uint8_t {
  Complete,     // DBT_DEVICEREMOVECOMPLETE at once: handle registrations, then interface-class ones
  Late,         // the same, but only when the test calls CompleteRemoval
  PendingOnly,  // DBT_DEVICEREMOVEPENDING to handle registrations, and nothing after it
};

// A surprise removal as seen in the field: transfers in flight end with
// pendingError (31, 433, 995 and 1167 are all reported by real stacks), calls
// made afterwards fail with callError (22 or 1167).
struct Removal {
  RemovalNotice notice;
  uint32_t pendingError;
  uint32_t callError;
};

// The arguments of a CreateFileA that named the modem's path, and how it ended.
struct FileOpen {
  uint32_t access;
  uint32_t shareMode;
  uint32_t disposition;
  uint32_t flags;      // flags and attributes
  uint32_t error = 0;  // the last error it failed with; 0 when the file was opened
};
// The most opens a modem keeps (ModemBus::FileOpens); older ones are dropped.
constexpr uint32_t FILE_OPEN_LOG_LIMIT = 8;

// Who may open a modem's device file, as its device object's security says.
enum class DeviceSecurity : uint8_t {
  // The system's default for a device object: full access for
  // administrators and the system, read, write and execute for everyone
  // else. A caller that is not elevated is refused GENERIC_ALL (it holds
  // DELETE, WRITE_DAC and WRITE_OWNER) with ERROR_ACCESS_DENIED.
  Default,
  EveryoneFull,  // full access for everyone, as a driver package may set it
};

// What stands between the gateway and a modem besides the modem itself.
struct ModemAccess {
  DeviceSecurity security = DeviceSecurity::Default;
  // Another opener (another program, or a copy of the gateway in another
  // session) holds the device file. WinUSB serves one opener at a time: the
  // device object is exclusive, so every other open is refused with
  // ERROR_ACCESS_DENIED until the holder lets go, and its open handle vetoes
  // removal queries.
  bool heldElsewhere = false;
  // Another program denies every removal query (BROADCAST_QUERY_DENY).
  bool vetoesRemoval = false;
};

// One call that releases what the gateway holds on a modem, in the order made
// (ModemBus::TakeReleases).
enum class ReleaseCall : uint8_t {
  UnregisterNotification,  // of a handle registration on one of its files
  FreeInterface,           // WinUsb_Free; `interfaceIndex` names the interface (0 = the first)
  CloseFile,               // CloseHandle of one of its device files
};
struct Release {
  ReleaseCall call;
  uint8_t interfaceIndex;  // FreeInterface only; 0 otherwise
  bool operator==(const Release& other) const {
    return call == other.call && interfaceIndex == other.interfaceIndex;
  }
};
// The most releases a modem keeps until they are taken; older ones are dropped.
constexpr uint32_t RELEASE_LOG_LIMIT = 64;

class ModemBus {
 public:
  virtual ~ModemBus() = default;

  // Window that receives WM_DEVICECHANGE arrivals for interface-class
  // registrations is whatever the gateway registered; nothing to set here.

  // Attaches a modem. Its device interface path is
  // \\?\usb#vid_0000&pid_0000#sim<id>#{003b07b0-c9b0-11dc-bd0b-001d6055e580};
  // interface-class registrations get DBT_DEVICEARRIVAL (sent, as the system does).
  virtual int Plug(const ModemLayout& layout) = 0;
  // Surprise removal: pending and later transfers fail as on real hardware
  // (pending ones with ERROR_DEVICE_NOT_CONNECTED, later calls with
  // ERROR_BAD_COMMAND), handle registrations get DBT_DEVICEREMOVECOMPLETE,
  // then interface-class registrations get it too, as the system sends it.
  virtual void Unplug(int modem) = 0;
  // Surprise removal with the notice and the errors given.
  virtual void Remove(int modem, const Removal& removal) = 0;
  // Sends the DBT_DEVICEREMOVECOMPLETE a Late removal held back; nothing otherwise.
  virtual void CompleteRemoval(int modem) = 0;
  // A removed modem comes back at the same device path: handles from before
  // its removal stay dead, its pipes start empty with default policies, and
  // interface-class registrations get DBT_DEVICEARRIVAL. False when the modem
  // is unknown or present.
  virtual bool Replug(int modem) = 0;
  // Orderly removal request, decided as the system decides it: handle
  // registrations get DBT_DEVICEQUERYREMOVE; if one of them answers
  // BROADCAST_QUERY_DENY, or any device file or WinUSB handle of the modem is
  // still open once they have all returned, the request is vetoed: handle
  // registrations get DBT_DEVICEQUERYREMOVEFAILED and the modem stays
  // (false). Otherwise the modem is removed as by Unplug (true). Handle
  // registrations hear every event until they are unregistered, also after
  // their file was closed.
  virtual bool QueryRemove(int modem) = 0;
  // Other listeners that take their time over a removal request: while held,
  // QueryRemove sends the queries and returns false with the outcome still
  // to come; AnswerRemovalQuery then decides and sends it as QueryRemove
  // would (true: removed). The in-process bus alone has these.
  virtual void HoldRemovalAnswer(int /*modem*/, bool /*hold*/) {}
  virtual bool AnswerRemovalQuery(int /*modem*/) { return false; }
  virtual const char* DevicePath(int modem) = 0;  // valid while the bus lives

  // The modem sends one transfer on an IN pipe (size 0 allowed), cut into
  // packets of the pipe's maximum packet size and ended as a device ends a
  // transfer: by its short last packet, or by a zero-length packet when its
  // size is a multiple of the packet size (0 included). A read ends on a
  // short or zero-length packet or when its buffer is full; what does not
  // fit waits for the next read, and a zero-length packet left after a read
  // that filled its buffer ends the next read with 0 bytes.
  virtual bool Deliver(int modem, uint8_t pipeId, const void* data, uint32_t size) = 0;
  // The same packets with nothing to end them: a last packet of full size
  // leaves the read going on into whatever the modem sends next.
  virtual bool DeliverPackets(int modem, uint8_t pipeId, const void* data, uint32_t size) = 0;
  // Takes the oldest transfer the gateway wrote on an OUT pipe as the modem's
  // device sees it: the bytes up to a short or zero-length packet. A write
  // whose length is a multiple of the packet size ends with a zero-length
  // packet only under the pipe's SHORT_PACKET_TERMINATE policy (a zero-length
  // write always sends one); without it, it runs on into the next write.
  // False when no transfer ended within timeoutMs.
  virtual bool Take(int modem, uint8_t pipeId, std::vector<uint8_t>* message, uint32_t timeoutMs) = 0;
  // While held, writes on the pipe stay pending (a modem that stops taking data).
  virtual void HoldWrites(int modem, uint8_t pipeId, bool hold) = 0;
  // Several of the calls above in one, for a simulation that keeps many
  // modems busy (over the bus protocol every call is a round trip): each of
  // `sends` in order as Deliver sends it, then up to `limit` transfers taken
  // from takePipe as Take takes them, the first waited for up to timeoutMs,
  // the rest only if already there (fewer when the protocol's frame would
  // overflow). False, with nothing taken, when a send failed.
  virtual bool Exchange(int modem, const std::vector<ModemSend>& sends, uint8_t takePipe, uint32_t limit,
                        uint32_t timeoutMs, std::vector<std::vector<uint8_t>>* taken) = 0;

  // Observations for tests.
  virtual uint32_t PendingTransfers(int modem) = 0;  // outstanding reads and writes
  // Transfers on a pipe that wait for the other side: on an IN pipe those
  // delivered and not yet read, on an OUT pipe those written, ended and not
  // yet taken.
  virtual uint32_t Waiting(int modem, uint8_t pipeId) = 0;
  virtual uint32_t OpenHandles(int modem) = 0;  // device files and WinUSB handles still open
  virtual bool PipePolicy(int modem, uint8_t pipeId, uint32_t policyType, uint8_t* value) = 0;
  virtual uint32_t HandleRegistrations(int modem) = 0;  // handle notifications on its files not unregistered
  // The arguments of the latest CreateFileA on the modem's path; false when there was none.
  virtual bool LastFileOpen(int modem, FileOpen* open) = 0;
  // The latest opens of the modem's path with their errors, oldest first.
  virtual std::vector<FileOpen> FileOpens(int modem) = 0;
  // Device information sets created and not yet destroyed, whatever their modems.
  virtual uint32_t OpenDeviceSets() = 0;
  // The release calls made on the modem since the last time they were taken, oldest first.
  virtual std::vector<Release> TakeReleases(int modem) = 0;

  // Failure injection: from now on, `call` on `modem` with a matching
  // argument (or any, with ANY_ARGUMENT) fails with `error` as its last
  // error; error 0 lifts the failure again.
  virtual void FailCall(int modem, BusCall call, int32_t argument, uint32_t error) = 0;

  // The modem halts an endpoint: the transfer outstanding on the pipe, and
  // every later one, fails with ERROR_GEN_FAILURE, as WinUSB reports a stall.
  // The halt is the device's state: it outlives the gateway's handles and
  // ends only with WinUsb_ResetPipe, with the removal of the modem, or, on an
  // IN pipe whose AUTO_CLEAR_STALL policy is set, right after the first
  // transfer it failed. False for an unknown pipe or an absent modem.
  virtual bool Stall(int modem, uint8_t pipeId) = 0;
  // An error on the bus (ERROR_GEN_FAILURE, or ERROR_SEM_TIMEOUT as for a
  // transfer time-out) fails the pipe's outstanding transfer, or its next
  // one, once; the pipe works on after it. False for an unknown pipe, an
  // absent modem or another error.
  virtual bool FailTransfer(int modem, uint8_t pipeId, uint32_t error) = 0;

  // Sets who besides the gateway may hold the modem, and its security.
  // False for an unknown modem, and for a hold the system would refuse
  // because the gateway holds the device file itself (nothing changes then).
  virtual bool SetAccess(int modem, const ModemAccess& access) = 0;
  // Whether the gateway runs elevated (an administrator's full token). Not
  // by default: a program started at logon by the Run entry runs with the
  // user's token, filtered under UAC for an administrator.
  virtual void SetCallerElevated(bool elevated) = 0;
};

// The bus of this process (Windows builds linked with the simulation).
ModemBus& LocalBus();

}  // namespace simbus
