// Round-trip latency through one bridge: a simulated modem sends a request
// on its data pipe, a loopback server takes it whole and answers with as
// many bytes, and the modem waits for the whole answer. Beside it, the same
// round trip between two plain loopback sockets in the same process, so the
// figures show what the gateway adds under the same Wine. One case sends
// its request in two USB transfers, as a modem does with a message longer
// than one read: the second half's send meets the first one's unacknowledged
// segment. Bounded in rounds and time; loopback only:
//   latency_bench [ROUNDS a case, 100..100000, default 10000]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/bench/bench_link.h"

namespace {

int g_rounds = 10000;                  // set once by main
constexpr DWORD CASE_TIME_MS = 40000;  // a case stops early past this
constexpr DWORD STEP_TIMEOUT_MS = 5000;

using Clock = std::chrono::steady_clock;

struct Case {
  const char* name;
  size_t size;
  size_t firstPart;  // 0: the request is one transfer
};

struct Figures {
  double median;  // microseconds
  double p99;
  size_t rounds;
};

Figures Summarise(std::vector<double> samples) {
  if (samples.empty()) return {0, 0, 0};
  std::sort(samples.begin(), samples.end());
  const size_t p99 = std::min(samples.size() - 1, samples.size() * 99 / 100);
  return {samples[samples.size() / 2], samples[p99], samples.size()};
}

double Microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The timed loop both paths share: `round` makes one round trip.
template <typename Round>
Figures Measure(Round round) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(g_rounds));
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(CASE_TIME_MS);
  for (int i = 0; i < g_rounds && Clock::now() < end; ++i) {
    const Clock::time_point start = Clock::now();
    if (!round()) break;
    samples.push_back(Microseconds(Clock::now() - start));
  }
  return Summarise(samples);
}

Figures ThroughGateway(BridgedModem* modem, LoopbackServer* server, const Case& c) {
  const std::vector<uint8_t> request(c.size, 0x51);
  const std::vector<uint8_t> reply(c.size, 0x52);
  return Measure([&] {
    if (c.firstPart == 0) {
      modem->SendData(request);
    } else {
      modem->SendData({request.begin(), request.begin() + static_cast<std::ptrdiff_t>(c.firstPart)});
      modem->SendData({request.begin() + static_cast<std::ptrdiff_t>(c.firstPart), request.end()});
    }
    std::vector<uint8_t> got;
    if (!server->ReceiveExactly(c.size, &got, STEP_TIMEOUT_MS) || !server->Send(reply.data(), reply.size()))
      return false;
    std::vector<uint8_t> piece;
    for (size_t taken = 0; taken < c.size; taken += piece.size()) {
      if (!modem->TakeData(&piece, STEP_TIMEOUT_MS)) return false;
    }
    return true;
  });
}

bool SendAll(SOCKET s, const std::vector<uint8_t>& bytes) {
  return send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0) ==
         static_cast<int>(bytes.size());
}

bool ReceiveAll(SOCKET s, size_t size) {
  char buffer[IO_BUFFER_SIZE];
  for (size_t got = 0; got < size;) {
    const int n = recv(s, buffer, static_cast<int>(std::min(size - got, sizeof buffer)), 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The platform's own round trip: the request in one send.
Figures OverPlainSockets(SOCKET client, LoopbackServer* server, const Case& c) {
  const std::vector<uint8_t> request(c.size, 0x51);
  const std::vector<uint8_t> reply(c.size, 0x52);
  return Measure([&] {
    std::vector<uint8_t> got;
    return SendAll(client, request) && server->ReceiveExactly(c.size, &got, STEP_TIMEOUT_MS) &&
           server->Send(reply.data(), reply.size()) && ReceiveAll(client, c.size);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    g_rounds = static_cast<int>(std::strtol(argv[1], nullptr, 10));
    if (g_rounds < 100 || g_rounds > 100000) {
      std::puts("usage: latency_bench [ROUNDS a case, 100..100000]");
      return 2;
    }
  }
  TestWindow window;
  BridgedModem modem;
  LoopbackServer server;
  LoopbackServer reference;
  if (!LinkBridge("latency_bench", &window, &modem, &server)) return 1;
  const SOCKET client = ConnectLoopback(reference.port());
  if (client == INVALID_SOCKET || !reference.Accept(STEP_TIMEOUT_MS)) {
    std::puts("latency_bench: no plain connection");
    return 1;
  }

  const Case cases[] = {{"64 B", 64, 0},
                        {"256 B", 256, 0},
                        {"4096 B", 4096, 0},
                        {"256 B, two USB reads", 256, 128},
                        {"4096 B, two USB reads", 4096, 2048}};
  std::printf("latency_bench: round trips in microseconds, up to %d rounds or %u s a case\n", g_rounds,
              static_cast<unsigned>(CASE_TIME_MS / 1000));
  std::printf("%-22s %8s %10s %10s %10s %10s %10s %10s\n", "request", "rounds", "gw median", "gw p99",
              "ref median", "ref p99", "added med", "added p99");
  for (const Case& c : cases) {
    const Figures gateway = ThroughGateway(&modem, &server, c);
    const Figures plain = OverPlainSockets(client, &reference, c);
    std::printf("%-22s %8zu %10.0f %10.0f %10.0f %10.0f %10.0f %10.0f\n", c.name, gateway.rounds,
                gateway.median, gateway.p99, plain.median, plain.p99, gateway.median - plain.median,
                gateway.p99 - plain.p99);
  }
  closesocket(client);
  return 0;
}
