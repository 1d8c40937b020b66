// The simulated program as its own process, driven only from outside: the
// modems through its bus protocol (RemoteBus), the acquirer through TCP on
// 127.0.0.1, the tray menu through its window. What is checked is what a
// modem and an acquirer server see.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/control_message.h"
#include "simbus/bus_protocol.h"
#include "tools/modem-sim/acquirer.h"
#include "tools/modem-sim/modem.h"
#include "tools/modem-sim/remote_bus.h"
#include "tools/poke/tray_poke.h"

namespace {

using Bytes = std::vector<uint8_t>;
using modemsim::AcquirerMode;
using modemsim::AcquirerPeer;
using modemsim::RemoteBus;

constexpr int START_MS = 60000;
constexpr uint32_t WAIT_MS = 10000;

uint16_t FreePort() {
  uint16_t port = 0;
  net::Close(net::Listen(0, 1, &port));
  return port;
}

// One run of varnel-sim.exe serving its bus on a port of its own.
class Program {
 public:
  bool Start() {
    net::Startup();
    port_ = FreePort();
    SetEnvironmentVariableA(simbus::BUS_PORT_VARIABLE, std::to_string(port_).c_str());
    std::string path = "Z:" VARNEL_SIM_EXE;
    for (char& c : path) c = c == '/' ? '\\' : c;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    const BOOL made =
        CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    SetEnvironmentVariableA(simbus::BUS_PORT_VARIABLE, nullptr);
    if (!made) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    return control.Open(port_, START_MS);
  }
  ~Program() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
    CloseHandle(process_);
  }
  // A connection of its own, for a thread that waits in Take.
  std::unique_ptr<RemoteBus> Connection() {
    auto bus = std::make_unique<RemoteBus>();
    return bus->Open(port_, 5000) ? std::move(bus) : nullptr;
  }
  HANDLE process() const { return process_; }
  RemoteBus control;

 private:
  uint16_t port_ = 0;
  HANDLE process_ = nullptr;
};

Bytes Identify(const char* serial) {
  Bytes reply(16, 0);
  for (size_t i = 0; serial[i] != '\0' && i < 10; ++i) reply[5 + i] = static_cast<uint8_t>(serial[i]);
  return reply;
}

Bytes ConnectMessage(const std::string& text) {
  Bytes message(3 + text.size(), 0);
  message[0] = CTL_CONNECT;
  for (size_t i = 0; i < text.size(); ++i) message[3 + i] = static_cast<uint8_t>(text[i]);
  return message;
}

// Takes control messages until one that is not a poll arrives; polls are
// answered with an identify reply so that the modem counts as identified.
bool NextReply(RemoteBus& bus, int modem, uint8_t* type, uint32_t timeoutMs = WAIT_MS) {
  const uint64_t deadline = net::NowMs() + timeoutMs;
  Bytes message;
  while (net::NowMs() < deadline) {
    if (!bus.Take(modem, simbus::CONTROL_OUT, &message, 100)) continue;
    if (message.size() == 1 && message[0] == CTL_IDENTIFY) {
      const Bytes reply = Identify("40009999");
      bus.Deliver(modem, simbus::CONTROL_IN, reply.data(), static_cast<uint32_t>(reply.size()));
      continue;
    }
    if (message.size() == 2 && message[0] == CTL_STATUS) continue;
    *type = message.empty() ? 0xFF : message[0];
    return true;
  }
  return false;
}

bool Until(const std::function<bool()>& done, uint32_t timeoutMs = WAIT_MS) {
  const uint64_t deadline = net::NowMs() + timeoutMs;
  while (!done()) {
    if (net::NowMs() >= deadline) return false;
    Sleep(20);
  }
  return true;
}

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    program_ = new Program();
    ASSERT_TRUE(program_->Start()) << "the simulated program did not come up";
  }
  static void TearDownTestSuite() {
    delete program_;
    program_ = nullptr;
  }
  static Program* program_;
};
Program* EndToEnd::program_ = nullptr;

TEST_F(EndToEnd, IdentifyUntilAnsweredThenBothStatusBlocksInTurnOnePerTick) {
  RemoteBus& bus = program_->control;
  const int modem = bus.Plug(simbus::StandardLayout());
  ASSERT_NE(modem, 0);
  Bytes message;
  std::vector<uint64_t> at;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
    EXPECT_EQ(message, Bytes{CTL_IDENTIFY}) << i;
    at.push_back(net::NowMs());
  }
  const Bytes reply = Identify("40001111");
  bus.Deliver(modem, simbus::CONTROL_IN, reply.data(), static_cast<uint32_t>(reply.size()));
  // One identify may already have gone out before the reply was read.
  ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
  if (message == Bytes{CTL_IDENTIFY}) {
    ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
  }
  for (uint8_t i = 0; i < 6; ++i) {
    if (i > 0) {
      ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
    }
    EXPECT_EQ(message, (Bytes{CTL_STATUS, static_cast<uint8_t>(i % 2)})) << i;
    at.push_back(net::NowMs());
  }
  // A tick is 100 ms: eleven requests over ten ticks or so, never a burst.
  const uint64_t span = at.back() - at.front();
  EXPECT_GE(span, 800u);
  EXPECT_LE(span, 3000u);
  bus.Unplug(modem);
}

TEST_F(EndToEnd, ConnectRequestsAndTheRepliesTheModemHears) {
  AcquirerPeer acquirer;
  ASSERT_TRUE(acquirer.Start(0, AcquirerMode::Serve));
  AcquirerPeer refusing;
  ASSERT_TRUE(refusing.Start(0, AcquirerMode::Refuse));
  const std::string port = std::to_string(acquirer.port());
  struct {
    Bytes message;
    uint8_t reply;  // 0: none
  } const cases[] = {
      {ConnectMessage("127.0.0.1:" + port), CTL_CONNECTED},
      {ConnectMessage("127.000.000.001:00" + port), CTL_CONNECTED},
      {ConnectMessage("127.0.0.1:" + std::to_string(refusing.port())), CTL_CONNECT_FAILED},
      {ConnectMessage("127.0.0.1"), CTL_CONNECT_FAILED},
      {ConnectMessage("127.0.1:" + port), CTL_CONNECT_FAILED},
      {ConnectMessage("127.0.0.256:" + port), CTL_CONNECT_FAILED},
      {ConnectMessage("0.0.0.0:" + port), CTL_CONNECT_FAILED},
      {ConnectMessage("127.0.0.1:" + port + "x"), CTL_CONNECT_FAILED},
      {ConnectMessage("7"), CTL_CONNECT_FAILED},
  };
  RemoteBus& bus = program_->control;
  const int modem = bus.Plug(simbus::StandardLayout());
  for (const auto& c : cases) {
    bus.Deliver(modem, simbus::CONTROL_IN, c.message.data(), static_cast<uint32_t>(c.message.size()));
    uint8_t type = 0;
    ASSERT_TRUE(NextReply(bus, modem, &type)) << std::string(c.message.begin() + 3, c.message.end());
    EXPECT_EQ(type, c.reply) << std::string(c.message.begin() + 3, c.message.end());
  }
  // A new request while linked closes the old link first; only the new one is answered.
  const Bytes connect = ConnectMessage("127.0.0.1:" + port);
  bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
  uint8_t type = 0;
  ASSERT_TRUE(NextReply(bus, modem, &type));
  ASSERT_EQ(type, CTL_CONNECTED);
  const uint32_t before = acquirer.Counts().connections;
  bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
  ASSERT_TRUE(NextReply(bus, modem, &type));
  EXPECT_EQ(type, CTL_CONNECTED);
  EXPECT_TRUE(Until([&] { return acquirer.Counts().connections == before + 1; }));
  EXPECT_TRUE(Until([&] { return acquirer.Open() == 1; })) << "the old link must have been closed";
  // A short request closes the link without a reply.
  for (const Bytes& shortRequest : {Bytes{CTL_CONNECT}, Bytes{CTL_CONNECT, 0, 0}}) {
    bus.Deliver(modem, simbus::CONTROL_IN, shortRequest.data(), static_cast<uint32_t>(shortRequest.size()));
    EXPECT_TRUE(Until([&] { return acquirer.Open() == 0; }));
    EXPECT_FALSE(NextReply(bus, modem, &type, 500)) << "no reply to a closing request, got " << int(type);
    bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
    ASSERT_TRUE(NextReply(bus, modem, &type));
  }
  bus.Unplug(modem);
  EXPECT_TRUE(Until([&] { return acquirer.Open() == 0; })) << "an unplugged modem's link must close";
}

TEST_F(EndToEnd, ThreeModemsRelaySeveralMebibytesEachBothWaysIntact) {
  AcquirerPeer acquirer;
  ASSERT_TRUE(acquirer.Start(0, AcquirerMode::Serve));
  struct Player {
    std::unique_ptr<RemoteBus> bus;
    std::unique_ptr<modemsim::SimModem> modem;
  };
  std::vector<Player> players(3);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (uint32_t m = 0; m < players.size(); ++m) {
    players[m].bus = program_->Connection();
    ASSERT_NE(players[m].bus, nullptr);
    modemsim::ModemConfig config;
    config.number = m + 1;
    config.serial = std::to_string(4000200 + m);
    config.acquirerPort = acquirer.port();
    config.sessionBytes = 3u << 20;
    config.reconnect = false;
    players[m].modem = std::make_unique<modemsim::SimModem>(*players[m].bus, config, nullptr);
    ASSERT_TRUE(players[m].modem->Plug());
  }
  for (Player& p : players) threads.emplace_back([&p, &stop] { p.modem->Run(stop); });
  const bool done = Until(
      [&] {
        for (Player& p : players)
          if (p.modem->Counts().sessions == 0) return false;
        return true;
      },
      90000);
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(done);
  for (Player& p : players) {
    const modemsim::ModemCounts c = p.modem->Counts();
    EXPECT_EQ(c.repliesBad, 0u);
    EXPECT_EQ(c.repliesGood, (3u << 20) / 16384);
    EXPECT_GE(c.bytesBack, 3u << 20);
    p.bus->Unplug(p.modem->busId());
  }
  EXPECT_EQ(acquirer.Counts().damaged, 0u);
}

TEST_F(EndToEnd, ServerMisbehaviourAndUnplugsAsTheModemHearsThem) {
  struct {
    const char* name;
    AcquirerMode mode;
    uint8_t afterData;  // what the modem hears once it sent data; 0: nothing within a second
  } const cases[] = {
      {"reset mid-stream", AcquirerMode::Reset, CTL_LINK_LOST},
      {"half-close", AcquirerMode::HalfClose, 0},
  };
  RemoteBus& bus = program_->control;
  for (const auto& c : cases) {
    AcquirerPeer acquirer;
    ASSERT_TRUE(acquirer.Start(0, c.mode, 10));
    const int modem = bus.Plug(simbus::StandardLayout());
    const Bytes connect = ConnectMessage("127.0.0.1:" + std::to_string(acquirer.port()));
    bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
    uint8_t type = 0;
    ASSERT_TRUE(NextReply(bus, modem, &type)) << c.name;
    ASSERT_EQ(type, CTL_CONNECTED) << c.name;
    const Bytes data = modemsim::EncodeFrame({modemsim::FrameKind::Request, 1, Bytes(100, 0x42)});
    const uint32_t size = static_cast<uint32_t>(data.size());
    bus.Deliver(modem, simbus::DATA_IN, data.data(), size);
    // The modem goes on sending after the server's move.
    Sleep(300);
    bus.Deliver(modem, simbus::DATA_IN, data.data(), size);
    const bool heard = NextReply(bus, modem, &type, 1500);
    EXPECT_EQ(heard ? type : 0, c.afterData) << c.name;
    if (c.mode == AcquirerMode::HalfClose) {
      // The link stays up: data still goes out.
      bus.Deliver(modem, simbus::DATA_IN, data.data(), size);
      EXPECT_TRUE(Until([&] { return acquirer.Counts().bytesIn >= 2 * size; })) << c.name;
    }
    bus.Unplug(modem);
  }
  // Unplugged while connecting (the server never completes the connect):
  // the program goes on serving.
  AcquirerPeer hanging;
  ASSERT_TRUE(hanging.Start(0, AcquirerMode::HangConnect));
  const int modem = bus.Plug(simbus::StandardLayout());
  const Bytes connect = ConnectMessage("127.0.0.1:" + std::to_string(hanging.port()));
  bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
  Sleep(300);
  bus.Unplug(modem);
  const int next = bus.Plug(simbus::StandardLayout());
  Bytes message;
  EXPECT_TRUE(bus.Take(next, simbus::CONTROL_OUT, &message, WAIT_MS));
  EXPECT_EQ(bus.OpenHandles(modem), 0u);
  bus.Unplug(next);
}

TEST_F(EndToEnd, AModemStillPresentFiveSecondsAfterItsWorkerEndedIsReopened) {
  RemoteBus& bus = program_->control;
  const int modem = bus.Plug(simbus::StandardLayout());
  Bytes message;
  ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
  // The worker's next control read fails: it ends, the modem stays.
  bus.FailCall(modem, simbus::BusCall::ReadPipe, simbus::CONTROL_IN, ERROR_GEN_FAILURE);
  const Bytes poke = {CTL_STATUS};
  bus.Deliver(modem, simbus::CONTROL_IN, poke.data(), 1);
  ASSERT_TRUE(Until([&] { return bus.OpenHandles(modem) == 0; }));
  const uint64_t ended = net::NowMs();
  bus.FailCall(modem, simbus::BusCall::ReadPipe, simbus::CONTROL_IN, 0);
  while (bus.Take(modem, simbus::CONTROL_OUT, &message, 0)) {
  }
  ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, 15000));
  EXPECT_EQ(message, Bytes{CTL_IDENTIFY});
  const uint64_t reopened = net::NowMs() - ended;
  EXPECT_GE(reopened, 4500u);
  EXPECT_LE(reopened, 9000u);
  bus.Unplug(modem);
}

// A program of its own, run after the suite's program has ended (one
// instance at a time).
TEST(EndToEndShutdown, TrayMenuExitWithModemsLinkedJoinsEveryWorkerAndClosesEverySocket) {
  net::Startup();
  AcquirerPeer acquirer;
  ASSERT_TRUE(acquirer.Start(0, AcquirerMode::Serve));
  Program program;
  ASSERT_TRUE(program.Start());
  struct Player {
    std::unique_ptr<RemoteBus> bus;
    std::unique_ptr<modemsim::SimModem> modem;
  };
  std::vector<Player> players(3);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (uint32_t m = 0; m < players.size(); ++m) {
    players[m].bus = program.Connection();
    ASSERT_NE(players[m].bus, nullptr);
    modemsim::ModemConfig config;
    config.number = m + 1;
    config.acquirerPort = acquirer.port();
    config.sessionBytes = 1u << 30;  // still linked, data flowing, when the program ends
    players[m].modem = std::make_unique<modemsim::SimModem>(*players[m].bus, config, nullptr);
    ASSERT_TRUE(players[m].modem->Plug());
    threads.emplace_back([&stop, modem = players[m].modem.get()] { modem->Run(stop); });
  }
  const bool linked = Until([&] { return acquirer.Open() == players.size(); }, 20000);
  std::unique_ptr<RemoteBus> watcher = program.Connection();
  ASSERT_NE(watcher, nullptr);
  uint32_t counts[3] = {9, 9, 9};
  bool answered = false;
  std::thread awaiting([&] { answered = watcher->AwaitExit(counts, 60000); });
  EXPECT_TRUE(linked);
  EXPECT_TRUE(trayPoke::PickItem(0, WAIT_MS));
  EXPECT_EQ(WaitForSingleObject(program.process(), 30000), WAIT_OBJECT_0);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(program.process(), &code));
  EXPECT_EQ(code, 0u);
  awaiting.join();
  EXPECT_TRUE(answered);
  EXPECT_EQ(counts[0], 0u) << "open handles";
  EXPECT_EQ(counts[1], 0u) << "pending transfers";
  EXPECT_EQ(counts[2], 0u) << "handle registrations";
  EXPECT_TRUE(Until([&] { return acquirer.Open() == 0; })) << "every link to the acquirer closed";
  stop = true;
  for (std::thread& t : threads) t.join();
}

}  // namespace
