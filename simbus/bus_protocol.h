#pragma once
// The simulated modem bus served to another process over a loopback TCP
// connection: one request, one reply, each a frame of a 32-bit length (of
// what follows), an operation or result byte and the operation's fields,
// little-endian. The simulated build serves it (simbus/remote_bus.cpp), the
// modem simulator and the black-box tests call it (tools/modem-sim/
// remote_bus.h). docs/modem-bus-protocol.md describes every field.
#include <cstdint>

namespace simbus {

constexpr uint32_t BUS_PROTOCOL_VERSION = 1;
// The environment variable that makes the simulated build serve its bus on
// 127.0.0.1 at the port it names. Only varnel-sim.exe reads it.
constexpr char BUS_PORT_VARIABLE[] = "VARNEL_BUS_PORT";

// A frame's length counts the op (or result) byte and the fields; a longer
// one ends the connection.
constexpr uint32_t BUS_FRAME_LIMIT = 262144;
// The most one transfer may carry across, and the longest Take wait.
constexpr uint32_t BUS_TRANSFER_LIMIT = 65536;
// An Exchange takes no more transfers once its reply holds this many bytes,
// so that one more of the largest still fits in the frame.
constexpr uint32_t BUS_EXCHANGE_TAKE_BYTES = BUS_FRAME_LIMIT - BUS_TRANSFER_LIMIT - 1024;
constexpr uint32_t BUS_TAKE_WAIT_LIMIT_MS = 60000;
// Connections served at once; one more is closed at once. Room for 64
// modems with a connection each, and a few observers.
constexpr uint32_t BUS_CONNECTION_LIMIT = 72;

enum class BusOp : uint8_t {
  Hello = 0,   // -> u32 version
  Plug = 1,    // u8 n, n x {u8 class, u8 subclass, u8 protocol, u8 m, m x {u8 id, u8 type, u16 size}} -> i32
  Unplug = 2,  // i32 modem
  QueryRemove = 3,           // i32 modem -> u8 removed (absent from servers before it was added)
  DevicePath = 4,            // i32 modem -> u8 known, text
  Deliver = 5,               // i32 modem, u8 pipe, bytes -> u8 ok
  Take = 6,                  // i32 modem, u8 pipe, u32 timeoutMs -> u8 taken, bytes
  HoldWrites = 7,            // i32 modem, u8 pipe, u8 hold
  PendingTransfers = 8,      // i32 modem -> u32
  OpenHandles = 9,           // i32 modem -> u32
  PipePolicy = 10,           // i32 modem, u8 pipe, u32 policy -> u8 set, u8 value
  HandleRegistrations = 11,  // i32 modem -> u32
  FailCall = 12,             // i32 modem, u32 call, i32 argument, u32 error
  AwaitExit = 13,  // (answered as the program ends) -> u32 handles, u32 transfers, u32 registrations
  Waiting = 14,    // i32 modem, u8 pipe -> u32
  // The serving process's own resources (the program under test):
  // -> u32 handles, u32 threads, u32 private memory in KiB
  ProcessCounts = 15,
  Remove = 16,           // i32 modem, u8 notice (RemovalNotice), u32 pending error, u32 call error
  CompleteRemoval = 17,  // i32 modem
  Replug = 18,           // i32 modem -> u8 back
  LastFileOpen = 19,     // i32 modem -> u8 known, u32 access, u32 share, u32 disposition, u32 flags
  OpenDeviceSets = 20,   // -> u32
  TakeReleases = 21,     // i32 modem -> n x {u8 call (ReleaseCall), u8 interface}
  DeliverPackets = 22,   // i32 modem, u8 pipe, bytes -> u8 ok
  Stall = 23,            // i32 modem, u8 pipe -> u8 ok
  FailTransfer = 24,     // i32 modem, u8 pipe, u32 error -> u8 ok
  // i32 modem, u8 n, n x {u8 pipe, u32 size, bytes}, u8 take pipe, u8 limit, u32 timeoutMs
  //   -> u8 sent, u8 m, m x {u32 size, bytes}
  Exchange = 25,
  SetAccess = 26,          // i32 modem, u8 security (DeviceSecurity), u8 held elsewhere, u8 vetoes -> u8 ok
  SetCallerElevated = 27,  // u8 elevated
  FileOpens = 28,          // i32 modem -> n x {u32 access, u32 share, u32 disposition, u32 flags, u32 error}
};

enum class BusResult : uint8_t {
  Done = 0,
  BadRequest = 1,  // unknown op or fields of the wrong size; the connection stays usable
};

}  // namespace simbus
