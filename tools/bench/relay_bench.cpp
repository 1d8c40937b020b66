// Relay throughput of one bridge: a simulated modem and a loopback server
// push a fixed volume through it, each direction in turn, and the figures
// are printed. Bounded in volume and time; loopback only.
#include <chrono>
#include <cstdio>
#include <vector>

#include "tools/bench/bench_link.h"

namespace {

constexpr size_t CHUNK = IO_BUFFER_SIZE;
constexpr size_t VOLUME = 32u * 1024 * 1024;  // per direction
constexpr DWORD TIME_LIMIT_MS = 60000;

using Clock = std::chrono::steady_clock;

double MegabytesPerSecond(size_t bytes, Clock::duration elapsed) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(elapsed).count();
}

bool Upstream(BridgedModem* modem, LoopbackServer* server, double* rate) {
  const std::vector<uint8_t> chunk(CHUNK, 0x5A);
  const Clock::time_point start = Clock::now();
  std::vector<uint8_t> received;
  received.reserve(CHUNK);
  for (size_t sent = 0; sent < VOLUME; sent += CHUNK) {
    modem->SendData(chunk);
    received.clear();
    // One chunk in flight at a time keeps the simulated pipe's queue short.
    if (!server->ReceiveExactly(CHUNK, &received, TIME_LIMIT_MS)) return false;
  }
  *rate = MegabytesPerSecond(VOLUME, Clock::now() - start);
  return true;
}

bool Downstream(BridgedModem* modem, LoopbackServer* server, double* rate) {
  const std::vector<uint8_t> chunk(CHUNK, 0xA5);
  const Clock::time_point start = Clock::now();
  std::vector<uint8_t> piece;
  for (size_t sent = 0; sent < VOLUME; sent += CHUNK) {
    if (!server->Send(chunk.data(), chunk.size())) return false;
    for (size_t got = 0; got < CHUNK; got += piece.size()) {
      if (!modem->TakeData(&piece, TIME_LIMIT_MS)) return false;
    }
  }
  *rate = MegabytesPerSecond(VOLUME, Clock::now() - start);
  return true;
}

}  // namespace

int main() {
  TestWindow window;
  BridgedModem modem;
  LoopbackServer server;
  if (!LinkBridge("relay_bench", &window, &modem, &server)) return 1;
  double up = 0, down = 0;
  if (!Upstream(&modem, &server, &up) || !Downstream(&modem, &server, &down)) {
    std::puts("relay_bench: transfer stalled");
    return 1;
  }
  window.Pump(100);  // lets the worker count the last completions
  const TrafficCounters& t = modem.bridge()->traffic;
  std::printf("relay_bench: %zu MiB each way in %zu-byte chunks, one chunk in flight\n", VOLUME >> 20, CHUNK);
  std::printf("  modem -> server: %.1f MiB/s (%u data IN reads, %u socket sends)\n", up,
              static_cast<unsigned>(t.dataInTransfers.load()), static_cast<unsigned>(t.sendTransfers.load()));
  std::printf("  server -> modem: %.1f MiB/s (%u socket receives, %u data OUT writes)\n", down,
              static_cast<unsigned>(t.receiveTransfers.load()),
              static_cast<unsigned>(t.dataOutTransfers.load()));
  return 0;
}
