#pragma once
// simbus::ModemBus in another process: every call is one request to the
// simulated build's bus server on 127.0.0.1 (simbus/bus_protocol.h). One
// connection, one call at a time; a thread that wants to wait in Take while
// another delivers opens a connection of its own.
//
// After the connection fails every call returns at once with its "nothing"
// answer (0, false, null) and Broken() tells so.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "simbus/bus_protocol.h"
#include "simbus/modem_bus.h"
#include "tools/modem-sim/net.h"

namespace modemsim {

class RemoteBus final : public simbus::ModemBus {
 public:
  RemoteBus() = default;
  ~RemoteBus() override;
  RemoteBus(const RemoteBus&) = delete;
  RemoteBus& operator=(const RemoteBus&) = delete;

  // Connects and greets the server, trying again until timeoutMs has passed
  // (the program under Wine takes seconds to start).
  bool Open(uint16_t port, int timeoutMs);
  bool Broken() const { return socket_ == net::NO_SOCKET; }

  int Plug(const simbus::ModemLayout& layout) override;
  void Unplug(int modem) override;
  void Remove(int modem, const simbus::Removal& removal) override;
  void CompleteRemoval(int modem) override;
  bool Replug(int modem) override;
  bool QueryRemove(int modem) override;
  const char* DevicePath(int modem) override;
  bool Deliver(int modem, uint8_t pipeId, const void* data, uint32_t size) override;
  bool DeliverPackets(int modem, uint8_t pipeId, const void* data, uint32_t size) override;
  bool Take(int modem, uint8_t pipeId, std::vector<uint8_t>* message, uint32_t timeoutMs) override;
  bool Exchange(int modem, const std::vector<simbus::ModemSend>& sends, uint8_t takePipe, uint32_t limit,
                uint32_t timeoutMs, std::vector<std::vector<uint8_t>>* taken) override;
  void HoldWrites(int modem, uint8_t pipeId, bool hold) override;
  uint32_t PendingTransfers(int modem) override;
  uint32_t Waiting(int modem, uint8_t pipeId) override;
  uint32_t OpenHandles(int modem) override;
  bool PipePolicy(int modem, uint8_t pipeId, uint32_t policyType, uint8_t* value) override;
  uint32_t HandleRegistrations(int modem) override;
  bool LastFileOpen(int modem, simbus::FileOpen* open) override;
  uint32_t OpenDeviceSets() override;
  std::vector<simbus::Release> TakeReleases(int modem) override;
  void FailCall(int modem, simbus::BusCall call, int32_t argument, uint32_t error) override;
  bool Stall(int modem, uint8_t pipeId) override;
  bool FailTransfer(int modem, uint8_t pipeId, uint32_t error) override;
  std::vector<simbus::FileOpen> FileOpens(int modem) override;
  bool SetAccess(int modem, const simbus::ModemAccess& access) override;
  void SetCallerElevated(bool elevated) override;

  // What every modem plugged so far still holds once the program has
  // ended: open handles, pending transfers, handle registrations. Waits up
  // to timeoutMs for the end; false when the answer never came.
  bool AwaitExit(uint32_t counts[3], int timeoutMs);
  // The program's own handles, threads and private memory in KiB, for
  // leak checks; false when the call failed.
  bool ProcessCounts(uint32_t counts[3]);
  // Ends at once a call another thread waits in (AwaitExit): the connection
  // is shut down, that call fails and closes it, the bus is broken.
  void Interrupt();
  // Calls made so far, failed ones included: the simulation's own load.
  uint64_t Calls() const { return calls_.load(); }

 private:
  // Sends the request and reads the reply's fields into *reply; false when
  // the connection failed or the server refused the request.
  bool Call(simbus::BusOp op, const std::vector<uint8_t>& fields, std::vector<uint8_t>* reply, int timeoutMs);
  uint32_t Count(simbus::BusOp op, int modem);
  // A call whose reply is one byte, 1 for yes.
  bool Ask(simbus::BusOp op, const std::vector<uint8_t>& fields);
  bool Send(simbus::BusOp op, int modem, uint8_t pipeId, const void* data, uint32_t size);

  // Owned. Read without the lock only by Interrupt; changed only under it.
  std::atomic<net::Socket> socket_{net::NO_SOCKET};
  std::atomic<uint64_t> calls_{0};
  std::mutex lock_;                   // one call at a time
  std::map<int, std::string> paths_;  // DevicePath answers, valid while this bus lives
};

}  // namespace modemsim
