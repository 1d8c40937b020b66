#include "tools/modem-sim/remote_bus.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "simbus/bus_wire.h"

namespace modemsim {
namespace {

using simbus::BusOp;
using simbus::WireReader;
using simbus::WireWriter;

// A reply that takes longer than the call's own wait means the program hangs.
constexpr int REPLY_MARGIN_MS = 15000;
constexpr int RETRY_MS = 200;

WireWriter ModemFields(int modem) {
  WireWriter w;
  w.I32(modem);
  return w;
}

}  // namespace

RemoteBus::~RemoteBus() {
  net::Close(socket_);
}

bool RemoteBus::Open(uint16_t port, int timeoutMs) {
  const uint64_t deadline = net::NowMs() + static_cast<uint64_t>(timeoutMs);
  do {
    socket_ = net::Connect(port, RETRY_MS);
    if (socket_ != net::NO_SOCKET) {
      net::SetNoDelay(socket_);
      std::vector<uint8_t> reply;
      if (Call(BusOp::Hello, {}, &reply, 0)) {
        WireReader in(reply.data(), reply.size());
        return in.U32() == simbus::BUS_PROTOCOL_VERSION && in.Whole();
      }
      net::Close(socket_);
      socket_ = net::NO_SOCKET;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_MS));
  } while (net::NowMs() < deadline);
  return false;
}

bool RemoteBus::Call(BusOp op, const std::vector<uint8_t>& fields, std::vector<uint8_t>* reply,
                     int timeoutMs) {
  ++calls_;
  std::lock_guard<std::mutex> hold(lock_);
  if (socket_ == net::NO_SOCKET) return false;
  WireWriter frame;
  frame.U32(static_cast<uint32_t>(fields.size() + 1));
  frame.U8(static_cast<uint8_t>(op));
  frame.Raw(fields.data(), fields.size());
  uint8_t header[5];
  const int wait = timeoutMs + REPLY_MARGIN_MS;
  bool ok = net::SendAll(socket_, frame.bytes.data(), frame.bytes.size()) &&
            net::ReceiveAll(socket_, header, 4, wait);
  uint32_t length = 0;
  if (ok) {
    WireReader in(header, 4);
    length = in.U32();
    ok = length >= 1 && length <= simbus::BUS_FRAME_LIMIT && net::ReceiveAll(socket_, header + 4, 1, wait);
  }
  if (ok) {
    reply->resize(length - 1);
    ok = reply->empty() || net::ReceiveAll(socket_, reply->data(), reply->size(), wait);
  }
  if (!ok) {
    // Out of step with the server: nothing more can be read from it.
    net::Close(socket_);
    socket_ = net::NO_SOCKET;
    return false;
  }
  return header[4] == static_cast<uint8_t>(simbus::BusResult::Done);
}

int RemoteBus::Plug(const simbus::ModemLayout& layout) {
  WireWriter w;
  w.U8(static_cast<uint8_t>(layout.interfaces.size()));
  for (const simbus::InterfaceLayout& face : layout.interfaces) {
    w.U8(face.interfaceClass);
    w.U8(face.interfaceSubClass);
    w.U8(face.interfaceProtocol);
    w.U8(static_cast<uint8_t>(face.pipes.size()));
    for (const simbus::PipeLayout& pipe : face.pipes) {
      w.U8(pipe.pipeId);
      w.U8(static_cast<uint8_t>(pipe.pipeType));
      w.U16(pipe.maxPacketSize);
    }
  }
  std::vector<uint8_t> reply;
  if (!Call(BusOp::Plug, w.bytes, &reply, 0)) return 0;
  WireReader in(reply.data(), reply.size());
  const int modem = in.I32();
  return in.Whole() ? modem : 0;
}

void RemoteBus::Unplug(int modem) {
  std::vector<uint8_t> reply;
  Call(BusOp::Unplug, ModemFields(modem).bytes, &reply, 0);
}

void RemoteBus::Remove(int modem, const simbus::Removal& removal) {
  WireWriter w = ModemFields(modem);
  w.U8(static_cast<uint8_t>(removal.notice));
  w.U32(removal.pendingError);
  w.U32(removal.callError);
  std::vector<uint8_t> reply;
  Call(BusOp::Remove, w.bytes, &reply, 0);
}

void RemoteBus::CompleteRemoval(int modem) {
  std::vector<uint8_t> reply;
  Call(BusOp::CompleteRemoval, ModemFields(modem).bytes, &reply, 0);
}

bool RemoteBus::Replug(int modem) {
  return Ask(BusOp::Replug, ModemFields(modem).bytes);
}

bool RemoteBus::QueryRemove(int modem) {
  return Ask(BusOp::QueryRemove, ModemFields(modem).bytes);
}

const char* RemoteBus::DevicePath(int modem) {
  std::vector<uint8_t> reply;
  if (!Call(BusOp::DevicePath, ModemFields(modem).bytes, &reply, 0) || reply.empty() || reply[0] == 0)
    return nullptr;
  std::lock_guard<std::mutex> hold(lock_);
  std::string& path = paths_[modem];
  path.assign(reply.begin() + 1, reply.end());
  return path.c_str();
}

bool RemoteBus::Ask(BusOp op, const std::vector<uint8_t>& fields) {
  std::vector<uint8_t> reply;
  return Call(op, fields, &reply, 0) && reply.size() == 1 && reply[0] == 1;
}

bool RemoteBus::Send(BusOp op, int modem, uint8_t pipeId, const void* data, uint32_t size) {
  if (size > simbus::BUS_TRANSFER_LIMIT) return false;
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  w.Raw(data, size);
  return Ask(op, w.bytes);
}

bool RemoteBus::Deliver(int modem, uint8_t pipeId, const void* data, uint32_t size) {
  return Send(BusOp::Deliver, modem, pipeId, data, size);
}

bool RemoteBus::DeliverPackets(int modem, uint8_t pipeId, const void* data, uint32_t size) {
  return Send(BusOp::DeliverPackets, modem, pipeId, data, size);
}

bool RemoteBus::Take(int modem, uint8_t pipeId, std::vector<uint8_t>* message, uint32_t timeoutMs) {
  if (timeoutMs > simbus::BUS_TAKE_WAIT_LIMIT_MS) timeoutMs = simbus::BUS_TAKE_WAIT_LIMIT_MS;
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  w.U32(timeoutMs);
  std::vector<uint8_t> reply;
  if (!Call(BusOp::Take, w.bytes, &reply, static_cast<int>(timeoutMs)) || reply.empty() || reply[0] == 0)
    return false;
  message->assign(reply.begin() + 1, reply.end());
  return true;
}

bool RemoteBus::Exchange(int modem, const std::vector<simbus::ModemSend>& sends, uint8_t takePipe,
                         uint32_t limit, uint32_t timeoutMs, std::vector<std::vector<uint8_t>>* taken) {
  taken->clear();
  if (timeoutMs > simbus::BUS_TAKE_WAIT_LIMIT_MS) timeoutMs = simbus::BUS_TAKE_WAIT_LIMIT_MS;
  WireWriter w = ModemFields(modem);
  if (sends.size() > UINT8_MAX) return false;
  w.U8(static_cast<uint8_t>(sends.size()));
  for (const simbus::ModemSend& send : sends) {
    if (send.bytes.size() > simbus::BUS_TRANSFER_LIMIT) return false;
    w.U8(send.pipeId);
    w.U32(static_cast<uint32_t>(send.bytes.size()));
    w.Raw(send.bytes.data(), send.bytes.size());
  }
  w.U8(takePipe);
  w.U8(static_cast<uint8_t>(std::min<uint32_t>(limit, UINT8_MAX)));
  w.U32(timeoutMs);
  if (w.bytes.size() >= simbus::BUS_FRAME_LIMIT) return false;
  std::vector<uint8_t> reply;
  if (!Call(BusOp::Exchange, w.bytes, &reply, static_cast<int>(timeoutMs))) return false;
  WireReader in(reply.data(), reply.size());
  const bool sent = in.U8() == 1;
  taken->resize(in.U8());
  for (std::vector<uint8_t>& message : *taken) in.Take(in.U32(), &message);
  if (!in.Whole()) taken->clear();
  return sent && in.Whole();
}

void RemoteBus::HoldWrites(int modem, uint8_t pipeId, bool hold) {
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  w.U8(hold ? 1 : 0);
  std::vector<uint8_t> reply;
  Call(BusOp::HoldWrites, w.bytes, &reply, 0);
}

uint32_t RemoteBus::Count(BusOp op, int modem) {
  std::vector<uint8_t> reply;
  if (!Call(op, ModemFields(modem).bytes, &reply, 0)) return 0;
  WireReader in(reply.data(), reply.size());
  const uint32_t count = in.U32();
  return in.Whole() ? count : 0;
}

uint32_t RemoteBus::PendingTransfers(int modem) {
  return Count(BusOp::PendingTransfers, modem);
}

uint32_t RemoteBus::OpenHandles(int modem) {
  return Count(BusOp::OpenHandles, modem);
}

uint32_t RemoteBus::HandleRegistrations(int modem) {
  return Count(BusOp::HandleRegistrations, modem);
}

uint32_t RemoteBus::Waiting(int modem, uint8_t pipeId) {
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  std::vector<uint8_t> reply;
  if (!Call(BusOp::Waiting, w.bytes, &reply, 0)) return 0;
  WireReader in(reply.data(), reply.size());
  const uint32_t count = in.U32();
  return in.Whole() ? count : 0;
}

bool RemoteBus::PipePolicy(int modem, uint8_t pipeId, uint32_t policyType, uint8_t* value) {
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  w.U32(policyType);
  std::vector<uint8_t> reply;
  if (!Call(BusOp::PipePolicy, w.bytes, &reply, 0) || reply.size() != 2 || reply[0] == 0) return false;
  if (value != nullptr) *value = reply[1];
  return true;
}

bool RemoteBus::LastFileOpen(int modem, simbus::FileOpen* open) {
  std::vector<uint8_t> reply;
  if (!Call(BusOp::LastFileOpen, ModemFields(modem).bytes, &reply, 0)) return false;
  WireReader in(reply.data(), reply.size());
  const bool known = in.U8() == 1;
  const simbus::FileOpen fields = {in.U32(), in.U32(), in.U32(), in.U32()};
  if (!in.Whole() || !known) return false;
  if (open != nullptr) *open = fields;
  return true;
}

uint32_t RemoteBus::OpenDeviceSets() {
  std::vector<uint8_t> reply;
  if (!Call(BusOp::OpenDeviceSets, {}, &reply, 0)) return 0;
  WireReader in(reply.data(), reply.size());
  const uint32_t count = in.U32();
  return in.Whole() ? count : 0;
}

std::vector<simbus::Release> RemoteBus::TakeReleases(int modem) {
  std::vector<uint8_t> reply;
  std::vector<simbus::Release> releases;
  if (!Call(BusOp::TakeReleases, ModemFields(modem).bytes, &reply, 0) || reply.size() % 2 != 0)
    return releases;
  for (size_t i = 0; i < reply.size(); i += 2) {
    releases.push_back({static_cast<simbus::ReleaseCall>(reply[i]), reply[i + 1]});
  }
  return releases;
}

void RemoteBus::FailCall(int modem, simbus::BusCall call, int32_t argument, uint32_t error) {
  WireWriter w = ModemFields(modem);
  w.U32(static_cast<uint32_t>(call));
  w.I32(argument);
  w.U32(error);
  std::vector<uint8_t> reply;
  Call(BusOp::FailCall, w.bytes, &reply, 0);
}

bool RemoteBus::Stall(int modem, uint8_t pipeId) {
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  return Ask(BusOp::Stall, w.bytes);
}

bool RemoteBus::FailTransfer(int modem, uint8_t pipeId, uint32_t error) {
  WireWriter w = ModemFields(modem);
  w.U8(pipeId);
  w.U32(error);
  return Ask(BusOp::FailTransfer, w.bytes);
}

std::vector<simbus::FileOpen> RemoteBus::FileOpens(int modem) {
  std::vector<uint8_t> reply;
  if (!Call(BusOp::FileOpens, ModemFields(modem).bytes, &reply, 0)) return {};
  WireReader in(reply.data(), reply.size());
  std::vector<simbus::FileOpen> opens;
  while (in.Ok() && !in.Whole() && opens.size() < simbus::FILE_OPEN_LOG_LIMIT) {
    simbus::FileOpen open = {in.U32(), in.U32(), in.U32(), in.U32()};
    open.error = in.U32();
    opens.push_back(open);
  }
  return in.Whole() ? opens : std::vector<simbus::FileOpen>{};
}

bool RemoteBus::SetAccess(int modem, const simbus::ModemAccess& access) {
  WireWriter w = ModemFields(modem);
  w.U8(static_cast<uint8_t>(access.security));
  w.U8(access.heldElsewhere ? 1 : 0);
  w.U8(access.vetoesRemoval ? 1 : 0);
  return Ask(BusOp::SetAccess, w.bytes);
}

void RemoteBus::SetCallerElevated(bool elevated) {
  WireWriter w;
  w.U8(elevated ? 1 : 0);
  std::vector<uint8_t> reply;
  Call(BusOp::SetCallerElevated, w.bytes, &reply, 0);
}

bool RemoteBus::AwaitExit(uint32_t counts[3], int timeoutMs) {
  std::vector<uint8_t> reply;
  if (!Call(BusOp::AwaitExit, {}, &reply, timeoutMs)) return false;
  WireReader in(reply.data(), reply.size());
  for (int i = 0; i < 3; ++i) counts[i] = in.U32();
  return in.Whole();
}

bool RemoteBus::ProcessCounts(uint32_t counts[3]) {
  std::vector<uint8_t> reply;
  if (!Call(BusOp::ProcessCounts, {}, &reply, 0)) return false;
  WireReader in(reply.data(), reply.size());
  for (int i = 0; i < 3; ++i) counts[i] = in.U32();
  return in.Whole();
}

void RemoteBus::Interrupt() {
  const net::Socket s = socket_;
  if (s != net::NO_SOCKET) net::ShutdownBoth(s);
}

}  // namespace modemsim
