// varnel-soak: a long run of the simulated program (varnel-sim.exe started
// with VARNEL_BUS_PORT) with simulated modems relaying checked traffic
// through it while random faults are played: modems closing their links,
// acquirer servers refusing, resetting, half-closing, stalling, reading
// slowly or hanging the connect, and modems being unplugged and plugged in
// again. Prints the program's resource counts every minute and a summary;
// exits 0 only when no reply came back lost, changed or repeated while
// linked, no server saw a damaged request, no link to the good server
// stalled, and the program still serves a fresh modem at the end.
//   varnel-soak --bus PORT [--minutes M (default 30)] [--modems N (1..8)] [--seed S]
//               [--faults F (a minute and modem, default 6)]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/modem-sim/acquirer.h"
#include "tools/modem-sim/interrupt.h"
#include "tools/modem-sim/modem.h"
#include "tools/modem-sim/remote_bus.h"

namespace {

using modemsim::AcquirerMode;
using modemsim::AcquirerPeer;
using modemsim::ModemCommand;
using modemsim::ModemCounts;

constexpr int BUS_WAIT_MS = 60000;  // the program under Wine may take this long to come up
constexpr uint32_t MODEM_LIMIT = 8;
constexpr uint64_t TURN_MS = 250;
constexpr uint64_t EPISODE_MS = 4000;  // how long a modem is sent to a faulty server
constexpr uint64_t UNPLUGGED_MS = 1500;
constexpr uint64_t STALL_MS = 15000;  // no reply for this long on a link to the good server
// A modem asks for another link only once its last request was answered, or
// when that one hangs: with two requests open a reply could be taken for the
// wrong one, and data meant for one link would go out on the other.
constexpr uint64_t HUNG_MS = 3000;
constexpr uint64_t MINUTE_MS = 60000;

enum Event : uint8_t {
  LinkDrop,
  Refuse,
  Reset,
  HalfClose,
  Stall,
  SlowRead,
  HangConnect,
  Unplug,
  EVENT_KINDS
};
const char* const EVENT_NAMES[EVENT_KINDS] = {
    "link drops by the modem",  "refused connects", "resets mid-stream", "half-closes",
    "stalls, then reads again", "slow reads",       "hung connects",     "unplugs"};

struct Server {
  Event event;
  AcquirerMode mode;
  AcquirerPeer peer;
};

struct Player {
  modemsim::RemoteBus bus;
  std::unique_ptr<modemsim::SimModem> modem;
  std::thread thread;
  uint64_t episodeEnd = 0;  // sent to a faulty server until then
  uint64_t replugAt = 0;
  uint32_t lastGood = 0;
  uint64_t lastProgress = 0;
  uint64_t connectingSince = 0;
  uint32_t lastBad = 0;
  int lastEvent = -1;
  uint64_t lastEventAt = 0;
};

bool Number(const char* text, unsigned long low, unsigned long high, unsigned long* value) {
  char* end = nullptr;
  *value = std::strtoul(text, &end, 10);
  return text[0] != '\0' && *end == '\0' && *value >= low && *value <= high;
}

void PrintCounts(modemsim::RemoteBus& control, const char* when, uint64_t startMs) {
  uint32_t counts[3] = {};
  if (control.ProcessCounts(counts)) {
    std::printf("[%6.1f min] %-9s handles %u, threads %u, private memory %u KiB\n",
                static_cast<double>(net::NowMs() - startMs) / MINUTE_MS, when, counts[0], counts[1],
                counts[2]);
  } else {
    std::printf("[%6.1f min] %-9s the program does not answer\n",
                static_cast<double>(net::NowMs() - startMs) / MINUTE_MS, when);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long busPort = 0, minutes = 30, modems = MODEM_LIMIT, faults = 6, seed = std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[++i] : "";
    const bool ok = a == "--bus"       ? Number(v, 1, 65535, &busPort)
                    : a == "--minutes" ? Number(v, 1, 1440, &minutes)
                    : a == "--modems"  ? Number(v, 1, MODEM_LIMIT, &modems)
                    : a == "--seed"    ? Number(v, 0, 0xFFFFFFFFul, &seed)
                    : a == "--faults"  ? Number(v, 0, 60, &faults)
                                       : false;
    if (!ok) {
      std::fprintf(
          stderr,
          "usage: varnel-soak --bus PORT [--minutes M] [--modems 1..8] [--seed S] [--faults 0..60]\n");
      return 2;
    }
  }
  if (busPort == 0 || !net::Startup()) {
    std::fprintf(stderr, "varnel-soak: --bus PORT is required\n");
    return 2;
  }
  std::atomic<bool>& stop = StopRequested();
  std::mt19937 random(static_cast<uint32_t>(seed));
  std::printf("varnel-soak: %lu modems, %lu minutes, %lu faults a minute and modem, seed %lu\n", modems,
              minutes, faults, seed);

  modemsim::RemoteBus control;
  if (!control.Open(static_cast<uint16_t>(busPort), BUS_WAIT_MS)) {
    std::fprintf(stderr, "varnel-soak: the program's bus on 127.0.0.1:%lu does not answer\n", busPort);
    return 1;
  }
  AcquirerPeer good;
  Server servers[] = {{Refuse, AcquirerMode::Refuse, {}},       {Reset, AcquirerMode::Reset, {}},
                      {HalfClose, AcquirerMode::HalfClose, {}}, {Stall, AcquirerMode::Serve, {}},
                      {SlowRead, AcquirerMode::SlowRead, {}},   {HangConnect, AcquirerMode::HangConnect, {}}};
  bool started = good.Start(0, AcquirerMode::Serve);
  for (Server& s : servers) started = started && s.peer.Start(0, s.mode, 64u << 10);
  if (!started) {
    std::fprintf(stderr, "varnel-soak: no port for an acquirer on 127.0.0.1\n");
    return 1;
  }
  const std::string goodAddress = "127.0.0.1:" + std::to_string(good.port());

  std::vector<std::unique_ptr<Player>> players;
  std::atomic<bool> modemsStop{false};
  for (uint32_t m = 0; m < modems; ++m) {
    auto p = std::make_unique<Player>();
    modemsim::ModemConfig config;
    config.number = m + 1;
    config.serial = std::to_string(4000500 + m);
    config.acquirerPort = good.port();
    config.sessionBytes = 2u << 20;
    if (!p->bus.Open(static_cast<uint16_t>(busPort), BUS_WAIT_MS)) return 1;
    p->modem = std::make_unique<modemsim::SimModem>(p->bus, config, nullptr);
    if (!p->modem->Plug()) return 1;
    p->thread = std::thread([&modemsStop, modem = p->modem.get()] { modem->Run(modemsStop); });
    players.push_back(std::move(p));
  }

  const uint64_t startMs = net::NowMs();
  const uint64_t endMs = startMs + minutes * MINUTE_MS;
  uint64_t nextMinute = startMs;
  uint64_t events[EVENT_KINDS] = {};
  uint32_t stalls = 0;
  // The warm-up's first minute mark shows the counts with every modem up.
  while (!stop && net::NowMs() < endMs) {
    const uint64_t now = net::NowMs();
    if (now >= nextMinute) {
      PrintCounts(control, nextMinute == startMs ? "start" : "running", startMs);
      nextMinute += MINUTE_MS;
    }
    // The stalling server reads two seconds out of four.
    servers[3].peer.Pause((now / 2000) % 2 == 0);
    for (auto& p : players) {
      modemsim::SimModem& modem = *p->modem;
      const ModemCounts c = modem.Counts();
      if (p->replugAt != 0) {
        if (now >= p->replugAt && modem.Command(ModemCommand::Replug)) p->replugAt = 0;
        continue;
      }
      if (c.repliesBad != p->lastBad) {
        p->lastBad = c.repliesBad;
        std::printf("modem %s: a reply lost, changed or repeated (last fault: %s, %" PRIu64 " ms before)\n",
                    modem.config().serial.c_str(), p->lastEvent < 0 ? "none" : EVENT_NAMES[p->lastEvent],
                    now - p->lastEventAt);
      }
      if (!c.connecting) p->connectingSince = 0;
      if (c.connecting && p->connectingSince == 0) p->connectingSince = now;
      const bool mayAsk = !c.connecting || now - p->connectingSince > HUNG_MS;
      if (p->episodeEnd != 0 && now >= p->episodeEnd) {
        if (mayAsk && modem.ConnectTo(goodAddress)) p->episodeEnd = 0;
        continue;
      }
      if (c.repliesGood != p->lastGood || !c.linked || p->episodeEnd != 0) {
        p->lastGood = c.repliesGood;
        p->lastProgress = now;
      } else if (now - p->lastProgress > STALL_MS) {
        // Linked to the good server and nothing comes back: bytes went missing.
        ++stalls;
        std::printf(
            "modem %s: no reply for %" PRIu64
            " s on a good link (waiting at the program: %u data IN, %u data OUT; %u links open at the "
            "server)\n",
            modem.config().serial.c_str(), STALL_MS / 1000, control.Waiting(modem.busId(), simbus::DATA_IN),
            control.Waiting(modem.busId(), simbus::DATA_OUT), good.Open());
        modem.Command(ModemCommand::CloseLink);
        p->lastProgress = now;
      }
      if (p->episodeEnd != 0 || !mayAsk || random() % (MINUTE_MS / TURN_MS) >= faults) continue;
      const Event event = static_cast<Event>(random() % EVENT_KINDS);
      bool done = false;
      if (event == LinkDrop) {
        done = modem.Command(ModemCommand::CloseLink);
      } else if (event == Unplug) {
        done = modem.Command(ModemCommand::Unplug);
        if (done) p->replugAt = now + UNPLUGGED_MS;
      } else {
        for (Server& s : servers) {
          if (s.event == event) done = modem.ConnectTo("127.0.0.1:" + std::to_string(s.peer.port()));
        }
        if (done) p->episodeEnd = now + EPISODE_MS;
      }
      if (done) {
        ++events[event];
        p->lastEvent = event;
        p->lastEventAt = now;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(TURN_MS));
  }
  const double ranMinutes = static_cast<double>(net::NowMs() - startMs) / MINUTE_MS;
  modemsStop = true;
  for (auto& p : players) p->thread.join();
  PrintCounts(control, "linked", startMs);
  for (auto& p : players) {
    if (p->modem->Counts().plugged) p->bus.Unplug(p->modem->busId());
  }
  // Every modem gone: the program's workers and links end.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  PrintCounts(control, "unplugged", startMs);

  uint64_t out = 0, back = 0, stale = 0, goodReplies = 0, bad = 0, lost = 0, failed = 0, connected = 0;
  for (auto& p : players) {
    const ModemCounts c = p->modem->Counts();
    out += c.bytesOut;
    back += c.bytesBack;
    stale += c.bytesStale;
    goodReplies += c.repliesGood;
    bad += c.repliesBad;
    lost += c.linkLost;
    failed += c.connectFailed;
    connected += c.connected;
  }
  uint64_t damaged = good.Counts().damaged;
  for (Server& s : servers) damaged += s.peer.Counts().damaged;
  uint64_t injected = 0;
  for (uint64_t n : events) injected += n;
  std::printf("summary: %.1f minutes, %lu modems, seed %lu\n", ranMinutes, modems, seed);
  std::printf("  relayed: %.2f MiB to the servers, %.2f MiB back; %" PRIu64 " replies checked intact\n",
              static_cast<double>(out) / (1 << 20), static_cast<double>(back) / (1 << 20), goodReplies);
  std::printf("  faults injected: %" PRIu64 " (", injected);
  for (int e = 0; e < EVENT_KINDS; ++e)
    std::printf("%s%" PRIu64 " %s", e == 0 ? "" : ", ", events[e], EVENT_NAMES[e]);
  std::printf(")\n  the modems heard: %" PRIu64 " connected, %" PRIu64 " connect failed, %" PRIu64
              " link lost\n",
              connected, failed, lost);
  std::printf("  lost, changed or repeated while linked: %" PRIu64
              " replies; damaged requests at the servers: %" PRIu64 "; stalled good links: %u\n",
              bad, damaged, stalls);
  std::printf("  (data of a link that had ended, dropped by the modems when the next came up: %" PRIu64
              " bytes)\n",
              stale);
  // A fresh modem is still served.
  const int fresh = control.Plug(simbus::StandardLayout());
  std::vector<uint8_t> poll;
  const bool serves = fresh != 0 && control.Take(fresh, simbus::CONTROL_OUT, &poll, 10000);
  control.Unplug(fresh);
  std::printf("  a fresh modem %s\n", serves ? "is polled" : "is NOT served");
  return bad == 0 && damaged == 0 && stalls == 0 && serves && injected > 0 ? 0 : 1;
}
