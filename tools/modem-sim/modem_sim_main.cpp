// modem-sim: plays simulated fiscal modems for the simulated build of the
// program (varnel-sim.exe started with VARNEL_BUS_PORT) over its bus
// protocol, each talking to the acquirer peer through the program. Shows
// live progress, takes commands on its input, ends with a summary and
// exits 0 only when every reply came back intact and every modem completed
// at least one exchange (with --idle, modems only answer polls and ask for
// no link). With --await-exit the run lasts until the program
// ends (the script picks its tray menu's "Exit") and also checks that it
// closed everything of every modem. With --measure-after W it also
// reports, for the run's last part after W seconds, what share of the set
// --rate each modem got both ways, the bus calls the simulation made and
// the program's own handles, threads and memory at the part's start and end
// (lines starting "measure:", read by tools/bench/scale_bench.sh).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/modem-sim/interrupt.h"
#include "tools/modem-sim/modem.h"
#include "tools/modem-sim/remote_bus.h"

namespace {

using modemsim::ModemCommand;

constexpr int BUS_WAIT_MS = 60000;  // the program under Wine may take this long to come up
constexpr uint32_t MODEM_LIMIT = 64;
constexpr unsigned long RATE_LIMIT = 4000000;  // bytes a second, above the USB full-speed limit
// With a set rate, each request carries about an eighth of a second's worth,
// and enough of them are in flight to cover a quarter of a second.
constexpr uint32_t RATE_FRAMES_A_SECOND = 8;
constexpr uint32_t RATE_FRAME_LIMIT = 16384;
constexpr uint32_t RATE_FRAME_FLOOR = 256;

std::atomic<bool>& g_stop = StopRequested();

const char USAGE[] =
    "usage: modem-sim --bus PORT --acquirer PORT [--modems N (1..64)] [--seconds S | --forever]\n"
    "                 [--bytes B (per link)] [--idle] [--await-exit] [--verbose]\n"
    "                 [--rate BYTES_PER_SECOND] [--measure-after S]\n"
    "commands on input: unplug N, replug N, close N, mute N, unmute N, malformed N, flood N, connect N";

bool Number(const char* text, unsigned long low, unsigned long high, unsigned long* value) {
  char* end = nullptr;
  *value = std::strtoul(text, &end, 10);
  return text[0] != '\0' && *end == '\0' && *value >= low && *value <= high;
}

struct Options {
  unsigned long busPort = 0, acquirerPort = 0, modems = 3, seconds = 20, bytes = 1u << 20;
  unsigned long rate = 0, measureAfter = 0;  // 0: no set rate, no measuring
  bool forever = false, verbose = false, awaitExit = false, idle = false;
};

// One clear line for what is wrong; false to stop.
bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : "";
    bool ok = true;
    if (a == "--bus") {
      ok = Number(v, 1, 65535, &o->busPort), ++i;
    } else if (a == "--acquirer") {
      ok = Number(v, 1, 65535, &o->acquirerPort), ++i;
    } else if (a == "--modems") {
      ok = Number(v, 1, MODEM_LIMIT, &o->modems), ++i;
    } else if (a == "--seconds") {
      ok = Number(v, 1, 86400, &o->seconds), ++i;
    } else if (a == "--bytes") {
      ok = Number(v, 1, 1ul << 30, &o->bytes), ++i;
    } else if (a == "--rate") {
      ok = Number(v, 1, RATE_LIMIT, &o->rate), ++i;
    } else if (a == "--measure-after") {
      ok = Number(v, 1, 86400, &o->measureAfter), ++i;
    } else if (a == "--forever") {
      o->forever = true;
    } else if (a == "--idle") {
      o->idle = true;
    } else if (a == "--await-exit") {
      o->awaitExit = true;
    } else if (a == "--verbose") {
      o->verbose = true;
    } else {
      std::fprintf(stderr, "modem-sim: unknown argument \"%s\"\n%s\n", a.c_str(), USAGE);
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "modem-sim: %s needs a number in range, not \"%s\"\n%s\n", a.c_str(), v, USAGE);
      return false;
    }
  }
  if (o->busPort == 0 || o->acquirerPort == 0) {
    std::fprintf(stderr, "modem-sim: --bus and --acquirer are required\n%s\n", USAGE);
    return false;
  }
  if (o->measureAfter != 0 && (o->forever || o->measureAfter >= o->seconds)) {
    std::fprintf(stderr, "modem-sim: --measure-after needs a longer --seconds\n%s\n", USAGE);
    return false;
  }
  return true;
}

struct Player {
  modemsim::RemoteBus bus;
  std::unique_ptr<modemsim::SimModem> modem;
  std::thread thread;
};

// Commands typed on the input, until it ends or the run stops.
void ReadCommands(std::vector<std::unique_ptr<Player>>* players, modemsim::Narrator* narrator) {
  const struct {
    const char* word;
    ModemCommand command;
  } words[] = {{"unplug", ModemCommand::Unplug},   {"replug", ModemCommand::Replug},
               {"close", ModemCommand::CloseLink}, {"mute", ModemCommand::Mute},
               {"unmute", ModemCommand::Unmute},   {"malformed", ModemCommand::Malformed},
               {"flood", ModemCommand::Flood},     {"connect", ModemCommand::Connect}};
  std::string line;
  while (!g_stop) {
    pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, 100) <= 0) continue;
    char c = 0;
    if (read(0, &c, 1) != 1) return;
    if (c != '\n') {
      if (line.size() < 64) line += c;
      continue;
    }
    char word[16] = {};
    unsigned n = 0;
    bool known = false;
    if (std::sscanf(line.c_str(), "%15s %u", word, &n) == 2 && n >= 1 && n <= players->size()) {
      for (const auto& w : words) {
        if (std::strcmp(w.word, word) == 0) known = (*players)[n - 1]->modem->Command(w.command);
      }
    }
    if (!known) narrator->Say("modem-sim", "not understood: \"%s\" (try: unplug 1)", line.c_str());
    line.clear();
  }
}

// What the program said as it ended (RemoteBus::AwaitExit).
struct ProgramEnd {
  modemsim::RemoteBus bus;
  std::thread thread;
  std::atomic<bool> answered{false};
  uint32_t counts[3] = {};  // written by the thread before `answered`
};

// The run's measured part: what each modem had and the program held at its start.
struct Measure {
  modemsim::RemoteBus probe;  // asks for the program's counts
  bool started = false;
  std::chrono::steady_clock::time_point start;
  std::vector<modemsim::ModemCounts> atStart;
  uint64_t callsAtStart = 0;
  std::clock_t cpuAtStart = 0;  // this process's processor time
  uint32_t process[3] = {};     // handles, threads, private KiB
};

uint64_t BusCalls(const std::vector<std::unique_ptr<Player>>& players) {
  uint64_t calls = 0;
  for (const auto& p : players) calls += p->bus.Calls();
  return calls;
}

void StartMeasure(const std::vector<std::unique_ptr<Player>>& players, Measure* m) {
  m->started = true;
  m->start = std::chrono::steady_clock::now();
  for (const auto& p : players) m->atStart.push_back(p->modem->Counts());
  m->callsAtStart = BusCalls(players);
  m->cpuAtStart = std::clock();
  m->probe.ProcessCounts(m->process);
  std::printf("measure: start\n");
  std::fflush(stdout);
}

// Each modem's share of the set rate is the lesser of what it delivered and
// what came back to it; the worst and the mean of those are reported.
void EndMeasure(const std::vector<std::unique_ptr<Player>>& players, const Options& o, Measure* m) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m->start).count();
  uint32_t process[3] = {};
  m->probe.ProcessCounts(process);
  double worst = 1e9, sum = 0;
  for (size_t i = 0; i < players.size(); ++i) {
    const modemsim::ModemCounts c = players[i]->modem->Counts();
    const double out = static_cast<double>(c.bytesOut - m->atStart[i].bytesOut);
    const double back = static_cast<double>(c.bytesBack - m->atStart[i].bytesBack);
    const double share = o.rate == 0 ? 0 : std::min(out, back) / (static_cast<double>(o.rate) * seconds);
    worst = std::min(worst, share);
    sum += share;
  }
  std::printf(
      "measure: modems=%zu rate=%lu seconds=%.2f worst=%.4f mean=%.4f bus_calls_per_s=%.0f "
      "sim_cpu=%.2f handles=%u->%u threads=%u->%u private_kib=%u->%u\n",
      players.size(), o.rate, seconds, worst, players.empty() ? 0 : sum / players.size(),
      static_cast<double>(BusCalls(players) - m->callsAtStart) / seconds,
      100.0 * static_cast<double>(std::clock() - m->cpuAtStart) / CLOCKS_PER_SEC / seconds, m->process[0],
      process[0], m->process[1], process[1], m->process[2], process[2]);
  std::fflush(stdout);
  // Whoever samples the program at this line sees it as measured, before
  // the modems are unplugged.
  std::this_thread::sleep_for(std::chrono::seconds(2));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, &o)) return 2;
  modemsim::Narrator narrator(o.verbose);
  net::Startup();

  std::vector<std::unique_ptr<Player>> players;
  for (unsigned long m = 0; m < o.modems && !g_stop; ++m) {
    auto player = std::make_unique<Player>();
    if (!player->bus.Open(static_cast<uint16_t>(o.busPort), m == 0 ? BUS_WAIT_MS : 5000)) {
      std::fprintf(stderr,
                   "modem-sim: no simulated program answers on 127.0.0.1:%lu (start varnel-sim.exe "
                   "with VARNEL_BUS_PORT=%lu)\n",
                   o.busPort, o.busPort);
      g_stop = true;
      break;
    }
    modemsim::ModemConfig config;
    config.number = static_cast<uint32_t>(m + 1);
    config.serial = std::to_string(4000100 + m + 1);
    config.acquirerPort = static_cast<uint16_t>(o.acquirerPort);
    config.sessionBytes = o.bytes;
    config.asksForLink = !o.idle;
    // A Take returns as soon as a message comes: a longer wait only saves
    // the simulation's own bus calls, which the program serves. Polls come
    // every 100 ms; a paced modem's wait also ends when its next request is due.
    if (o.idle || o.rate != 0) config.stepWaitMs = 100;
    if (o.rate != 0) {
      config.rate = static_cast<uint32_t>(o.rate);
      config.sessionBytes = UINT64_MAX;  // one link for the whole run
      config.frameSize = static_cast<uint32_t>(std::max<unsigned long>(
          RATE_FRAME_FLOOR, std::min<unsigned long>(RATE_FRAME_LIMIT, o.rate / RATE_FRAMES_A_SECOND)));
      config.window = std::max<uint32_t>(4, static_cast<uint32_t>(o.rate / 4 / config.frameSize + 1));
    }
    player->modem = std::make_unique<modemsim::SimModem>(player->bus, config, &narrator);
    if (!player->modem->Plug()) {
      std::fprintf(stderr, "modem-sim: the simulated program refused to plug a modem\n");
      g_stop = true;
      break;
    }
    narrator.Say("modem-sim", "modem %lu (serial %s) plugged in", m + 1, config.serial.c_str());
    players.push_back(std::move(player));
  }
  // Asked before anything can end the program, so that its end is heard.
  ProgramEnd end;
  const int endWaitMs = static_cast<int>(o.forever ? 86400000 : o.seconds * 1000);
  if (o.awaitExit && !players.empty() && end.bus.Open(static_cast<uint16_t>(o.busPort), 5000)) {
    end.thread = std::thread([&end, endWaitMs] {
      uint32_t counts[3] = {};
      if (!end.bus.AwaitExit(counts, endWaitMs)) return;
      for (int i = 0; i < 3; ++i) end.counts[i] = counts[i];
      end.answered = true;
    });
  }
  for (auto& p : players) {
    modemsim::SimModem* modem = p->modem.get();
    p->thread = std::thread([modem] { modem->Run(g_stop); });
  }
  std::thread commands(ReadCommands, &players, &narrator);
  Measure measure;
  if (o.measureAfter != 0 && !players.empty() && !measure.probe.Open(static_cast<uint16_t>(o.busPort), 5000))
    std::fprintf(stderr, "modem-sim: no connection to ask for the program's counts\n");

  const auto start = std::chrono::steady_clock::now();
  int tick = 0;
  while (!g_stop && !players.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (o.measureAfter != 0 && !measure.started && elapsed >= std::chrono::seconds(o.measureAfter))
      StartMeasure(players, &measure);
    if (!o.forever && elapsed >= std::chrono::seconds(o.seconds)) break;
    if (++tick % 20 != 0) continue;  // every two seconds
    for (size_t m = 0; m < players.size(); ++m) {
      const modemsim::ModemCounts c = players[m]->modem->Counts();
      narrator.Say("progress",
                   "modem %zu %s  %-10s out %8.2f MiB  back %8.2f MiB  links %u  replies %u ok %u bad", m + 1,
                   players[m]->modem->config().serial.c_str(),
                   !c.plugged ? "unplugged"
                   : c.linked ? "linked"
                              : "no link",
                   c.bytesOut / 1048576.0, c.bytesBack / 1048576.0, c.connected, c.repliesGood, c.repliesBad);
    }
    if (end.answered) {
      narrator.Say("modem-sim", "the program ended");
      break;
    }
    if (players[0]->bus.Broken() && !end.thread.joinable()) {
      narrator.Say("modem-sim", "the simulated program went away");
      break;
    }
  }
  const bool interrupted = g_stop;
  if (measure.started) EndMeasure(players, o, &measure);
  g_stop = true;
  for (auto& p : players) p->thread.join();
  commands.join();
  if (end.thread.joinable()) {
    // The run ended while the program still runs: its wait is given up.
    if (!end.answered) end.bus.Interrupt();
    end.thread.join();
  }

  bool intact = !players.empty();
  uint64_t out = 0, back = 0;
  for (size_t m = 0; m < players.size(); ++m) {
    modemsim::SimModem& modem = *players[m]->modem;
    const modemsim::ModemCounts c = modem.Counts();
    if (c.plugged && !end.answered) players[m]->bus.Unplug(modem.busId());
    out += c.bytesOut;
    back += c.bytesBack;
    // Interrupted, the program may have been stopped too: only what came back counts.
    // An idle modem only has to have been polled.
    // With a set rate the one link never ends: replies count.
    const bool served = o.idle   ? c.statusPolls[0] + c.statusPolls[1] > 0
                        : o.rate ? c.repliesGood > 0
                                 : c.sessions > 0;
    const bool good =
        c.repliesBad == 0 && (interrupted || (served && (end.answered || !players[m]->bus.Broken())));
    intact = intact && good;
    narrator.Say("summary",
                 "modem %zu %s: %u identify and %u status polls answered; %u links, %u failed, %u lost; "
                 "%u exchanges done; %llu bytes out, %llu back; %u replies intact, %u lost or changed%s",
                 m + 1, modem.config().serial.c_str(), c.identifyPolls, c.statusPolls[0] + c.statusPolls[1],
                 c.connected, c.connectFailed, c.linkLost, c.sessions,
                 static_cast<unsigned long long>(c.bytesOut), static_cast<unsigned long long>(c.bytesBack),
                 c.repliesGood, c.repliesBad, good ? "" : "  <- FAILED");
  }
  // Interrupted, the program's end is not waited for.
  if (o.awaitExit && (end.answered || !interrupted)) {
    const bool clean = end.answered && end.counts[0] + end.counts[1] + end.counts[2] == 0;
    intact = intact && clean;
    if (end.answered) {
      narrator.Say("summary",
                   "the program ended: %u handles open, %u transfers pending, %u registrations left%s",
                   end.counts[0], end.counts[1], end.counts[2], clean ? "" : "  <- FAILED");
    } else {
      narrator.Say("summary", "the program did not end within the run  <- FAILED");
    }
  }
  narrator.Say("summary", "%s: %.2f MiB out, %.2f MiB back%s",
               intact ? "every byte came back intact" : "FAILED", out / 1048576.0, back / 1048576.0,
               interrupted ? " (interrupted)" : "");
  return intact ? 0 : 1;
}
