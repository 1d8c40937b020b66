#include "tools/modem-sim/acquirer.h"

#include <chrono>
#include <cstdio>

#include "tools/modem-sim/exchange.h"

namespace modemsim {
namespace {

constexpr int WAKE_MS = 100;  // how often a waiting thread looks at the stop flag
constexpr size_t CHUNK = 16384;
constexpr size_t SLOW_CHUNK = 512;

}  // namespace

bool AcquirerPeer::Start(uint16_t port, AcquirerMode mode, uint64_t after) {
  mode_ = mode;
  after_ = after;
  stop_ = false;
  // HangConnect: a backlog of none, filled by a connection of our own that
  // is never accepted, so the system completes no further connect.
  listener_ = net::Listen(port, mode == AcquirerMode::HangConnect ? 0 : 16, &port_);
  if (listener_ == net::NO_SOCKET) return false;
  if (mode == AcquirerMode::Refuse) {
    // The port was free: closing the listener leaves it refusing.
    net::Close(listener_);
    listener_ = net::NO_SOCKET;
    return true;
  }
  if (mode == AcquirerMode::HangConnect) {
    backlogFiller_ = net::Connect(port_, 1000);
    return true;
  }
  acceptor_ = std::thread(&AcquirerPeer::AcceptLoop, this);
  return true;
}

void AcquirerPeer::Stop() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(lock_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
  net::Close(listener_);
  listener_ = net::NO_SOCKET;
  net::Close(backlogFiller_);
  backlogFiller_ = net::NO_SOCKET;
}

AcquirerCounts AcquirerPeer::Counts() {
  std::lock_guard<std::mutex> hold(lock_);
  return counts_;
}

uint32_t AcquirerPeer::Open() {
  std::lock_guard<std::mutex> hold(lock_);
  return open_;
}

void AcquirerPeer::AcceptLoop() {
  while (!stop_) {
    const net::Socket s = net::Accept(listener_, WAKE_MS);
    if (s == net::NO_SOCKET) continue;
    std::lock_guard<std::mutex> hold(lock_);
    if (open_ >= CONNECTION_LIMIT) {
      net::Close(s);
      continue;
    }
    ++open_;
    const uint32_t number = ++counts_.connections;
    threads_.emplace_back(&AcquirerPeer::Serve, this, s, number);
  }
}

void AcquirerPeer::Serve(net::Socket s, uint32_t number) {
  if (verbose_) std::printf("acquirer  connection %u accepted\n", number);
  if (mode_ == AcquirerMode::SlowRead) net::SetReceiveBuffer(s, 4096);
  // A gateway that stops reading must not keep Stop waiting for a send.
  net::SetBlocking(s, false);
  FrameParser parser;
  std::vector<uint8_t> chunk(CHUNK);
  uint64_t in = 0;
  bool sending = true;
  bool ended = false;
  while (!stop_ && !ended) {
    if (mode_ == AcquirerMode::StopReading || paused_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(WAKE_MS));
      continue;
    }
    if (!net::Readable(s, WAKE_MS)) continue;
    const size_t want = mode_ == AcquirerMode::SlowRead ? SLOW_CHUNK : CHUNK;
    const long n = net::Receive(s, chunk.data(), want);
    if (n <= 0) {
      ended = true;
      break;
    }
    in += static_cast<uint64_t>(n);
    parser.Feed(chunk.data(), static_cast<size_t>(n));
    uint64_t out = 0;
    uint32_t requests = 0;
    uint32_t damaged = 0;
    Frame request;
    bool bad = false;
    while (parser.Next(&request, &bad)) {
      ++requests;
      Frame reply = ReplyTo(request);
      if (bad || request.kind != FrameKind::Request) {
        ++damaged;
        reply = Frame{FrameKind::Refusal, request.sequence, {}};
      }
      const std::vector<uint8_t> bytes = EncodeFrame(reply);
      if (sending && !net::SendAll(s, bytes.data(), bytes.size(), &stop_)) sending = false;
      if (sending) out += bytes.size();
    }
    if (parser.Lost()) ++damaged;
    {
      std::lock_guard<std::mutex> hold(lock_);
      counts_.bytesIn += static_cast<uint64_t>(n);
      counts_.bytesOut += out;
      counts_.requests += requests;
      counts_.damaged += damaged;
    }
    if (parser.Lost()) break;
    if (mode_ == AcquirerMode::Reset && in >= after_) {
      if (verbose_) std::printf("acquirer  connection %u: reset\n", number);
      net::Reset(s);
      s = net::NO_SOCKET;
      break;
    }
    if (mode_ == AcquirerMode::HalfClose && in >= after_ && sending) {
      if (verbose_) std::printf("acquirer  connection %u: half-closed\n", number);
      net::ShutdownSend(s);
      sending = false;
    }
    if (mode_ == AcquirerMode::SlowRead) std::this_thread::sleep_for(std::chrono::milliseconds(WAKE_MS));
  }
  net::Close(s);
  std::lock_guard<std::mutex> hold(lock_);
  --open_;
  if (ended) ++counts_.closedByPeer;
  if (verbose_)
    std::printf("acquirer  connection %u %s\n", number, ended ? "closed by the gateway" : "ended");
}

}  // namespace modemsim
