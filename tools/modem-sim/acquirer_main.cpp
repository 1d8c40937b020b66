// acquirer-peer: the acquirer server the simulated modems talk to, on
// 127.0.0.1. Answers every request frame with its checked reply, or
// misbehaves as told; prints what it saw when it ends (after --seconds, or
// on SIGINT/SIGTERM).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tools/modem-sim/interrupt.h"
#include "tools/modem-sim/acquirer.h"

namespace {

std::atomic<bool>& g_stop = StopRequested();

const char USAGE[] =
    "usage: acquirer-peer --port PORT [--mode "
    "serve|refuse|reset|half-close|stop-reading|slow-read|hang-connect]\n"
    "                     [--after BYTES] [--seconds S] [--verbose]";

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 0, after = 0, seconds = 0;
  modemsim::AcquirerMode mode = modemsim::AcquirerMode::Serve;
  bool verbose = false;
  const struct {
    const char* name;
    modemsim::AcquirerMode mode;
  } modes[] = {{"serve", modemsim::AcquirerMode::Serve},
               {"refuse", modemsim::AcquirerMode::Refuse},
               {"reset", modemsim::AcquirerMode::Reset},
               {"half-close", modemsim::AcquirerMode::HalfClose},
               {"stop-reading", modemsim::AcquirerMode::StopReading},
               {"slow-read", modemsim::AcquirerMode::SlowRead},
               {"hang-connect", modemsim::AcquirerMode::HangConnect}};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const std::string v = i + 1 < argc ? argv[i + 1] : "";
    char* end = nullptr;
    const unsigned long n = std::strtoul(v.c_str(), &end, 10);
    const bool number = !v.empty() && *end == '\0';
    bool ok = true;
    if (a == "--port") {
      ok = number && n >= 1 && n <= 65535, port = n, ++i;
    } else if (a == "--after") {
      ok = number, after = n, ++i;
    } else if (a == "--seconds") {
      ok = number && n >= 1, seconds = n, ++i;
    } else if (a == "--mode") {
      ok = false;
      for (const auto& m : modes) ok = ok || (v == m.name && ((mode = m.mode), true));
      ++i;
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "acquirer-peer: bad argument \"%s%s%s\"\n%s\n", a.c_str(), v.empty() ? "" : " ",
                   v.c_str(), USAGE);
      return 2;
    }
  }
  if (port == 0) {
    std::fprintf(stderr, "acquirer-peer: --port is required\n%s\n", USAGE);
    return 2;
  }
  net::Startup();
  modemsim::AcquirerPeer peer;
  peer.SetVerbose(verbose);
  if (!peer.Start(static_cast<uint16_t>(port), mode, after)) {
    std::fprintf(stderr, "acquirer-peer: port %lu on 127.0.0.1 is in use; choose another with --port\n",
                 port);
    return 2;
  }
  std::printf("acquirer  listening on 127.0.0.1:%lu\n", port);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  while (!g_stop &&
         (seconds == 0 || std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)))
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  peer.Stop();
  const modemsim::AcquirerCounts c = peer.Counts();
  std::printf(
      "acquirer  %u connections, %u closed by the gateway; %u requests, %u damaged; %llu bytes in, %llu "
      "out\n",
      c.connections, c.closedByPeer, c.requests, c.damaged, static_cast<unsigned long long>(c.bytesIn),
      static_cast<unsigned long long>(c.bytesOut));
  return c.damaged == 0 ? 0 : 1;
}
