// Faults end to end: the simulated program as its own process, its modems
// and acquirer servers misbehaving in every way they can from outside.
// After each scenario the program must still serve a fresh modem, the modem
// must have heard exactly the replies the scenario calls for, and the
// program's handles, threads and memory must be back where they were.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "tests/win/sim_program.h"

namespace {

using modemsim::AcquirerMode;
using modemsim::AcquirerPeer;
using modemsim::ModemCommand;
using modemsim::ModemCounts;
using modemsim::RemoteBus;
using simprogram::Bytes;
using simprogram::ConnectMessage;
using simprogram::Identify;
using simprogram::Players;
using simprogram::Program;
using simprogram::Until;
using simprogram::WAIT_MS;

// Private memory (the simulated bus's queues of test data included) may
// grow by what the heaps keep after the queues once filled; it stays within
// the first bound after any scenario, and within the second over a run of
// the same scenario repeated.
constexpr uint32_t MEMORY_SLACK_KIB = 8192;
constexpr uint32_t GROWTH_SLACK_KIB = 1024;
// Plug and unplug cycles: about 20 ms each under Wine on an idle machine.
constexpr int CYCLES = 1000;
// The simulated bus, inside the program, keeps a record of every modem ever
// plugged (its path, layout and pipes, for its counts and for a return at
// the same path): about 2 KiB each, allowed per cycle on top of the slack.
// A leak of 4 KiB a cycle (one pool buffer) still shows.
constexpr uint32_t BUS_RECORD_KIB = 3;

// Transfers wait on the pipe and their number holds for 300 ms: one side
// holds the other back.
bool HeldBack(RemoteBus& bus, int busId, uint8_t pipeId) {
  uint32_t waiting = 0;
  return Until(
      [&] {
        const uint32_t before = waiting;
        Sleep(300);
        waiting = bus.Waiting(busId, pipeId);
        return waiting > 0 && waiting == before;
      },
      30000);
}

std::string Loopback(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

// A modem that answers identify polls and counts every other message the
// program writes to it, by type, on a bus connection and thread of its own.
class Responder {
 public:
  bool Start(Program& program) {
    bus_ = program.Connection();
    if (bus_ == nullptr || (modem = bus_->Plug(simbus::StandardLayout())) == 0) return false;
    thread_ = std::thread([this] {
      Bytes message;
      const Bytes reply = Identify("40007777");
      while (!stop_) {
        if (!bus_->Take(modem, simbus::CONTROL_OUT, &message, 50)) continue;
        const bool poll = (message.size() == 1 && message[0] == CTL_IDENTIFY) ||
                          (message.size() == 2 && message[0] == CTL_STATUS);
        if (message.size() == 1 && message[0] == CTL_IDENTIFY)
          bus_->Deliver(modem, simbus::CONTROL_IN, reply.data(), static_cast<uint32_t>(reply.size()));
        std::lock_guard<std::mutex> hold(lock_);
        ++(poll ? polls_ : heard_[message.empty() ? 0xFF : message[0]]);
      }
    });
    return true;
  }
  ~Responder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_ != nullptr) bus_->Unplug(modem);
  }
  uint32_t Heard(uint8_t type) {
    std::lock_guard<std::mutex> hold(lock_);
    return heard_[type];
  }
  uint32_t HeardInAll() {
    std::lock_guard<std::mutex> hold(lock_);
    uint32_t all = 0;
    for (uint32_t n : heard_) all += n;
    return all;
  }
  uint32_t Polls() {
    std::lock_guard<std::mutex> hold(lock_);
    return polls_;
  }
  int modem = 0;

 private:
  std::unique_ptr<RemoteBus> bus_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::array<uint32_t, 256> heard_ = {};
  uint32_t polls_ = 0;
};

enum class Start : uint8_t { Down, Connecting, Up };
enum class Fault : uint8_t {
  Refuse,
  Reset,
  HalfClose,
  StopThenResume,
  ModemStops,
  SlowRead,
  HangConnect,
  Unplug
};

struct StartCase {
  Start start;
  const char* name;
  uint32_t connected;  // replies the modem hears getting there
};

struct FaultCase {
  Fault fault;
  const char* name;
  AcquirerMode mode;
  uint32_t frameSize, window;
  uint32_t connected, failed, lost;  // replies the fault adds
};

class Faults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    program_ = new Program();
    ASSERT_TRUE(program_->Start()) << "the simulated program did not come up";
    // Warm-up: a link with traffic and a refused connect, so that threads
    // and memory the system makes on first use count in the baseline.
    {
      Players players;
      ASSERT_TRUE(players.Start(*program_, 1, 64u << 10, false));
      ASSERT_TRUE(Until([&] { return players.Counts(0).sessions > 0; }, 30000));
      AcquirerPeer refusing;
      ASSERT_TRUE(refusing.Start(0, AcquirerMode::Refuse));
      players.list[0].modem->ConnectTo(Loopback(refusing.port()));
      ASSERT_TRUE(Until([&] { return players.Counts(0).connectFailed > 0; }));
      players.StopIntactAndUnplug();
    }
    const int fresh = program_->control.Plug(simbus::StandardLayout());
    Bytes message;
    ASSERT_TRUE(program_->control.Take(fresh, simbus::CONTROL_OUT, &message, WAIT_MS));
    program_->control.Unplug(fresh);
    // The bus connections just closed end their threads in a moment.
    uint32_t last = 0;
    ASSERT_TRUE(Until([&] {
      Sleep(300);
      const bool steady = program_->control.ProcessCounts(baseline_) && baseline_[1] == last;
      last = baseline_[1];
      return steady;
    }));
    std::printf("baseline: %u handles, %u threads, %u KiB private memory\n", baseline_[0], baseline_[1],
                baseline_[2]);
  }
  static void TearDownTestSuite() {
    delete program_;
    program_ = nullptr;
  }

  // The program serves a fresh modem, and its counts come back to the
  // baseline (the system may take a moment to end a thread). Gives the
  // private memory in KiB.
  static uint32_t ExpectServesAndBaseline(const std::string& scenario) {
    RemoteBus& bus = program_->control;
    const int fresh = bus.Plug(simbus::StandardLayout());
    Bytes message;
    EXPECT_TRUE(bus.Take(fresh, simbus::CONTROL_OUT, &message, WAIT_MS)) << scenario << ": no poll";
    EXPECT_EQ(message, Bytes{CTL_IDENTIFY}) << scenario;
    bus.Unplug(fresh);
    EXPECT_TRUE(Until([&] { return bus.OpenHandles(fresh) == 0; })) << scenario;
    uint32_t now[3] = {};
    EXPECT_TRUE(Until(
        [&] {
          return bus.ProcessCounts(now) && now[0] <= baseline_[0] && now[1] <= baseline_[1] &&
                 now[2] <= baseline_[2] + MEMORY_SLACK_KIB;
        },
        15000))
        << scenario << ": handles " << baseline_[0] << " -> " << now[0] << ", threads " << baseline_[1]
        << " -> " << now[1] << ", private KiB " << baseline_[2] << " -> " << now[2];
    return now[2];
  }

  static void Storm(const char* name, AcquirerMode mode, uint8_t reply, int requests);
  static void PlayScenario(const StartCase& s, const FaultCase& f, uint32_t number, uint16_t hangingPort);

  static Program* program_;
  static uint32_t baseline_[3];
};
Program* Faults::program_ = nullptr;
uint32_t Faults::baseline_[3] = {};

void Faults::PlayScenario(const StartCase& s, const FaultCase& f, uint32_t number, uint16_t hangingPort) {
  const std::string name = std::string(s.name) + " / " + f.name;
  Players players;
  ASSERT_TRUE(players.acquirer.Start(0, AcquirerMode::Serve));
  modemsim::ModemConfig config;
  config.number = number;
  config.serial = std::to_string(4000300 + number);
  config.acquirerPort = players.acquirer.port();
  config.asksForLink = false;
  config.reconnect = false;
  config.sessionBytes = 1ull << 40;
  config.frameSize = f.frameSize;
  config.window = f.window;
  modemsim::SimModem* modem = players.Add(*program_, config);
  ASSERT_NE(modem, nullptr) << name;
  ASSERT_TRUE(Until([&] { return modem->Counts().statusPolls[1] > 0; })) << name;
  if (s.start == Start::Connecting) {
    modem->ConnectTo(Loopback(hangingPort));
    Sleep(300);
  } else if (s.start == Start::Up) {
    modem->ConnectTo(Loopback(players.acquirer.port()));
    ASSERT_TRUE(Until(
        [&] {
          return modem->Counts().repliesGood >= 2 && players.acquirer.Counts().bytesIn > 2 * f.frameSize;
        },
        30000))
        << name;
  }
  const uint32_t goodBefore = modem->Counts().repliesGood;
  AcquirerPeer server;
  if (f.fault == Fault::Unplug) {
    const int busId = modem->busId();
    modem->Command(ModemCommand::Unplug);
    EXPECT_TRUE(Until([&] { return program_->control.OpenHandles(busId) == 0; })) << name;
  } else {
    ASSERT_TRUE(server.Start(0, f.mode, 20000)) << name;
    server.Pause(f.fault == Fault::StopThenResume);
    modem->ConnectTo(Loopback(server.port()));
    const uint32_t wantConnected = s.connected + f.connected;
    EXPECT_TRUE(Until(
        [&] {
          const ModemCounts c = modem->Counts();
          return c.connected == wantConnected && c.connectFailed == f.failed && c.linkLost == f.lost;
        },
        30000))
        << name;
    if (f.fault == Fault::HalfClose) {
      // The link stays up and the modem's requests still reach the server.
      EXPECT_TRUE(Until([&] { return server.Counts().requests >= config.window; })) << name;
    } else if (f.fault == Fault::StopThenResume) {
      EXPECT_TRUE(HeldBack(program_->control, modem->busId(), simbus::DATA_IN))
          << name << ": the program must hold the modem back";
      server.Pause(false);
    } else if (f.fault == Fault::ModemStops) {
      EXPECT_TRUE(Until([&] { return server.Counts().bytesOut > 0; }, 30000)) << name;
      modem->Command(ModemCommand::Mute);
      EXPECT_TRUE(HeldBack(program_->control, modem->busId(), simbus::DATA_OUT))
          << name << ": the modem's endpoint must hold the program back";
      modem->Command(ModemCommand::Unmute);
    }
    if (f.fault == Fault::StopThenResume || f.fault == Fault::ModemStops || f.fault == Fault::SlowRead) {
      EXPECT_TRUE(Until([&] { return modem->Counts().repliesGood >= goodBefore + 2; }, 30000)) << name;
    }
    if (f.fault == Fault::HangConnect) {
      Sleep(500);
      modem->Command(ModemCommand::CloseLink);
    }
  }
  // Nothing more comes late.
  Sleep(300);
  const ModemCounts c = modem->Counts();
  EXPECT_EQ(c.connected, s.connected + f.connected) << name;
  EXPECT_EQ(c.connectFailed, f.failed) << name;
  EXPECT_EQ(c.linkLost, f.lost) << name;
  EXPECT_EQ(c.otherMessages, 0u) << name;
  players.StopIntactAndUnplug();
  EXPECT_TRUE(Until([&] { return players.acquirer.Open() == 0; })) << name << ": the old link stays open";
  EXPECT_TRUE(Until([&] { return server.Open() == 0; })) << name << ": the link stays open";
  EXPECT_EQ(players.acquirer.Counts().damaged + server.Counts().damaged, 0u) << name;
}

TEST_F(Faults, EveryServerFaultAndAnUnplugFromEveryLinkState) {
  const StartCase starts[] = {
      {Start::Down, "down", 0}, {Start::Connecting, "connecting", 0}, {Start::Up, "up, data both ways", 1}};
  const FaultCase faults[] = {
      {Fault::Refuse, "refuse", AcquirerMode::Refuse, 16384, 4, 0, 1, 0},
      {Fault::Reset, "reset mid-stream", AcquirerMode::Reset, 16384, 4, 1, 0, 1},
      {Fault::HalfClose, "half-close", AcquirerMode::HalfClose, 16384, 4, 1, 0, 0},
      // More in flight than the sockets and the program's queues hold together.
      {Fault::StopThenResume, "stop reading, then resume", AcquirerMode::Serve, 1u << 20, 4, 1, 0, 0},
      // The same from the modem's side: its replies outgrow what its
      // endpoint, the program's queue and the sockets hold together.
      {Fault::ModemStops, "the modem stops taking, then resumes", AcquirerMode::Serve, 1u << 20, 4, 1, 0, 0},
      {Fault::SlowRead, "read slowly", AcquirerMode::SlowRead, 2048, 4, 1, 0, 0},
      {Fault::HangConnect, "hang the connect", AcquirerMode::HangConnect, 16384, 4, 0, 0, 0},
      {Fault::Unplug, "unplug", AcquirerMode::Serve, 16384, 4, 0, 0, 0},
  };
  AcquirerPeer hanging;
  ASSERT_TRUE(hanging.Start(0, AcquirerMode::HangConnect));
  uint32_t number = 0;
  uint32_t memory[3] = {};
  for (const StartCase& s : starts) {
    for (const FaultCase& f : faults) {
      // One line a scenario: a run that hangs shows where.
      const uint64_t started = net::NowMs();
      std::printf("%s / %s: ", s.name, f.name);
      std::fflush(stdout);
      PlayScenario(s, f, ++number, hanging.port());
      memory[static_cast<int>(s.start)] = ExpectServesAndBaseline(std::string(s.name) + " / " + f.name);
      std::printf("%.1f s\n", static_cast<double>(net::NowMs() - started) / 1000);
    }
  }
  std::printf("private memory after each round: %u, %u, %u KiB\n", memory[0], memory[1], memory[2]);
}

TEST_F(Faults, StormsOfConnectAndCloseRequestsInARow) {
  struct {
    const char* name;
    AcquirerMode mode;
    uint8_t reply;  // each request gets this or, ended by the close behind it, nothing
    int requests;
  } const cases[] = {{"to a server", AcquirerMode::Serve, CTL_CONNECTED, 1000},
                     {"to a refusing port", AcquirerMode::Refuse, CTL_CONNECT_FAILED, 1000}};
  for (const auto& c : cases) {
    Storm(c.name, c.mode, c.reply, c.requests);
    ExpectServesAndBaseline(std::string("connect storm ") + c.name);
  }
}

// One storm: `requests` connect requests to `mode`'s server, each with a close
// request right behind it.
void Faults::Storm(const char* name, AcquirerMode mode, uint8_t reply, int requests) {
  AcquirerPeer server;
  ASSERT_TRUE(server.Start(0, mode));
  Responder responder;
  ASSERT_TRUE(responder.Start(*program_));
  RemoteBus& bus = program_->control;
  const Bytes connect = ConnectMessage(Loopback(server.port()));
  const Bytes close = {CTL_CONNECT};
  for (int i = 0; i < requests; ++i) {
    bus.Deliver(responder.modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
    bus.Deliver(responder.modem, simbus::CONTROL_IN, close.data(), 1);
  }
  EXPECT_TRUE(Until([&] { return bus.Waiting(responder.modem, simbus::CONTROL_IN) == 0; }, 60000)) << name;
  EXPECT_TRUE(Until([&] { return server.Open() == 0; })) << name << ": a link outlived its close";
  Sleep(300);
  const uint32_t replies = responder.Heard(reply);
  EXPECT_LE(replies, static_cast<uint32_t>(requests)) << name;
  EXPECT_EQ(responder.HeardInAll(), replies) << name << ": a reply of another kind";
  // The modem is served as before: one request, one reply.
  bus.Deliver(responder.modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
  EXPECT_TRUE(Until([&] { return responder.Heard(reply) == replies + 1; })) << name;
  Sleep(300);
  EXPECT_EQ(responder.HeardInAll(), replies + 1) << name;
  std::printf("storm %s: %u of %d requests answered before their close\n", name, replies, requests);
}

TEST_F(Faults, PlugAndUnplugCycles) {
  RemoteBus& bus = program_->control;
  uint32_t third[3] = {};
  for (int i = 0; i < CYCLES; ++i) {
    const int modem = bus.Plug(simbus::StandardLayout());
    ASSERT_NE(modem, 0) << i;
    // Every tenth stays until its first poll; the rest leave at once.
    Bytes message;
    if (i % 10 == 0) {
      EXPECT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS)) << i;
    }
    bus.Unplug(modem);
    if (i == CYCLES / 3) {
      ASSERT_TRUE(Until([&] { return bus.OpenHandles(modem) == 0; }));
      ASSERT_TRUE(bus.ProcessCounts(third));
    }
  }
  ExpectServesAndBaseline("plug and unplug cycles");
  uint32_t end[3] = {};
  ASSERT_TRUE(bus.ProcessCounts(end));
  std::printf("private memory after %d cycles %u KiB, after %d %u KiB\n", CYCLES / 3, third[2], CYCLES,
              end[2]);
  EXPECT_LE(end[2], third[2] + GROWTH_SLACK_KIB + BUS_RECORD_KIB * (CYCLES - CYCLES / 3))
      << "memory grows with every cycle";
}

TEST_F(Faults, EveryControlMessageTypeAtEveryLength) {
  {
    Responder responder;
    ASSERT_TRUE(responder.Start(*program_));
    RemoteBus& bus = program_->control;
    // Filled with the type: a connect request's text is then bytes 0x01,
    // which names no address at all. Connect requests go one at a time (a
    // request is answered unless the next one ends it first); the other
    // types, which nothing answers, from four bus connections at once.
    Bytes message;
    for (uint32_t length = 0; length <= 64; ++length) {
      message.assign(length, CTL_CONNECT);
      const uint32_t before = responder.Heard(CTL_CONNECT_FAILED);
      bus.Deliver(responder.modem, simbus::CONTROL_IN, message.data(), length);
      if (length >= 4) {
        EXPECT_TRUE(Until([&] { return responder.Heard(CTL_CONNECT_FAILED) == before + 1; })) << length;
      }
    }
    std::vector<std::thread> senders;
    for (int k = 0; k < 4; ++k) {
      senders.emplace_back([&, k] {
        std::unique_ptr<RemoteBus> own = program_->Connection();
        Bytes bytes;
        for (int type = k; own != nullptr && type < 256; type += 4) {
          for (uint32_t length = 0; type != CTL_CONNECT && length <= 64; ++length) {
            bytes.assign(length, static_cast<uint8_t>(type));
            own->Deliver(responder.modem, simbus::CONTROL_IN, bytes.data(), length);
          }
        }
      });
    }
    for (std::thread& t : senders) t.join();
    EXPECT_TRUE(Until([&] { return bus.Waiting(responder.modem, simbus::CONTROL_IN) == 0; }, 60000));
    // Connect requests of 4 to 64 bytes fail, one reply each; shorter ones
    // close a link there is not, without a reply; nothing else is answered.
    const uint32_t failed = 64 - 4 + 1;
    const uint32_t polls = responder.Polls();
    Sleep(500);
    EXPECT_EQ(responder.Heard(CTL_CONNECT_FAILED), failed);
    EXPECT_EQ(responder.HeardInAll(), failed);
    EXPECT_GT(responder.Polls(), polls) << "the program still polls";
  }
  ExpectServesAndBaseline("every control message");
}

}  // namespace
