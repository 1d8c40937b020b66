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
#include "res/dialog_ids.h"
#include "simbus/bus_protocol.h"
#include "tools/modem-sim/acquirer.h"
#include "tools/modem-sim/modem.h"
#include "tools/modem-sim/remote_bus.h"
#include "tests/win/sim_program.h"
#include "tools/poke/tray_poke.h"

namespace {

using modemsim::AcquirerMode;
using modemsim::AcquirerPeer;
using modemsim::RemoteBus;
using simprogram::Bytes;
using simprogram::ConnectMessage;
using simprogram::Identify;
using simprogram::NextReply;
using simprogram::Players;
using simprogram::Program;
using simprogram::Until;
using simprogram::WAIT_MS;

struct DialogSearch {
  DWORD process;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (process != search->process || std::string(name) != "#32770" || !IsWindowVisible(window)) return TRUE;
  search->found = window;
  return FALSE;
}

// Opens the first modem's status window through the tray menu, presses its
// "Сеанс зв'язку" and closes it, as a shop owner would.
bool PressSessionButton(HANDLE program) {
  DialogSearch search = {GetProcessId(program), nullptr};
  if (!trayPoke::PickItem(1, WAIT_MS) || !Until([&] {
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      }))
    return false;
  SendMessageA(GetDlgItem(search.found, IDC_START_EXCHANGE), BM_CLICK, 0, 0);
  return PostMessageA(search.found, WM_COMMAND, IDCANCEL, 0) != FALSE;
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

// The removal and strict-argument calls over the wire, against the program.
TEST_F(EndToEnd, RemovalsAndTheProgramsReleasesOverTheWire) {
  using simbus::Release;
  using simbus::ReleaseCall;
  RemoteBus& bus = program_->control;
  const int modem = bus.Plug(simbus::StandardLayout());
  Bytes message;
  ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
  simbus::FileOpen open = {};
  ASSERT_TRUE(bus.LastFileOpen(modem, &open));
  EXPECT_EQ(open.flags, static_cast<uint32_t>(FILE_FLAG_OVERLAPPED));
  EXPECT_EQ(bus.OpenDeviceSets(), 0u);

  // Closed on the query; the registration goes once the removal completes.
  EXPECT_TRUE(bus.QueryRemove(modem));
  const std::vector<Release> released = {
      {ReleaseCall::FreeInterface, 0}, {ReleaseCall::CloseFile, 0}, {ReleaseCall::UnregisterNotification, 0}};
  EXPECT_EQ(bus.TakeReleases(modem), released);
  ASSERT_TRUE(bus.Replug(modem));
  ASSERT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));

  bus.Remove(modem, {simbus::RemovalNotice::Late, 433, ERROR_DEVICE_NOT_CONNECTED});
  EXPECT_TRUE(Until([&] { return bus.OpenHandles(modem) == 0; }));
  bus.CompleteRemoval(modem);
  ASSERT_TRUE(bus.Replug(modem));
  EXPECT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS));
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
  Players players;
  ASSERT_TRUE(players.Start(*program_, 3, 3u << 20, false));
  const bool done = Until(
      [&] {
        for (size_t m = 0; m < players.list.size(); ++m)
          if (players.Counts(m).sessions == 0) return false;
        return true;
      },
      90000);
  players.StopIntactAndUnplug();
  EXPECT_TRUE(done);
  for (size_t m = 0; m < players.list.size(); ++m) {
    EXPECT_EQ(players.Counts(m).repliesGood, (3u << 20) / 16384);
    EXPECT_GE(players.Counts(m).bytesBack, 3u << 20);
  }
  EXPECT_EQ(players.acquirer.Counts().damaged, 0u);
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

// Any program on the desktop can find the main window and post to it: each
// of the private messages 10,000 times, with the ids of listed records (among
// the first 1024 given) and other values in wParam, and in lParam values that are no buffer of the
// program's (a pointer among them). The tray callback is left out for the
// two button-up messages, which rightly open the menu.
bool PostStrayMessages() {
  const HWND window = FindWindowA("VarnelWnd", "Varnel");
  if (window == nullptr) return false;
  int* heap = new int(0);
  uint32_t seed = 20261207;
  const auto random = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  bool posted = true;
  for (UINT message = WM_USER; message <= WM_USER + 3 && posted; ++message) {
    for (int i = 0; i < 10000 && posted; ++i) {
      const WPARAM wParams[] = {0, static_cast<WPARAM>(1 + i % 1024), random()};
      const LPARAM lParams[] = {0, i % 256, static_cast<LPARAM>(random()), reinterpret_cast<LPARAM>(heap)};
      LPARAM lParam = lParams[i % 4];
      if (message == WM_USER && (lParam == WM_LBUTTONUP || lParam == WM_RBUTTONUP)) lParam = 0;
      // The queue holds 10,000 messages: a full one is waited out, a while.
      int tries = 0;
      while (!PostMessageA(window, message, wParams[i / 4 % 3], lParam) && ++tries < 1000) Sleep(1);
      posted = tries < 1000;
    }
  }
  delete heap;
  return posted;
}

TEST_F(EndToEnd, TwoModemsRelayIntactThroughMalformedMessagesFloodsAndTheSessionButton) {
  Players players;
  ASSERT_TRUE(players.Start(*program_, 2, 256u << 10));
  const auto sessions = [&](size_t m) { return players.Counts(m).sessions; };
  struct {
    const char* name;
    std::function<bool()> act;
    bool dropsRecords = false;  // would drop records, if it did anything: wait for a reopen
  } const cases[] = {
      {"malformed messages",
       [&] { return players.list[0].modem->Command(modemsim::ModemCommand::Malformed); }},
      {"a flood", [&] { return players.list[0].modem->Command(modemsim::ModemCommand::Flood); }},
      {"the status window's session button", [&] { return PressSessionButton(program_->process()); }},
      {"stray and forged private messages from another program", [] { return PostStrayMessages(); }, true},
  };
  ASSERT_TRUE(Until([&] { return players.Counts(0).sessions > 0 && players.Counts(1).sessions > 0; }, 30000));
  uint32_t counts[3] = {};
  ASSERT_TRUE(program_->control.ProcessCounts(counts));
  const uint32_t memoryBefore = counts[2];
  for (const auto& c : cases) {
    const uint32_t before[2] = {sessions(0), sessions(1)};
    const uint32_t identifies[2] = {players.Counts(0).identifyPolls, players.Counts(1).identifyPolls};
    EXPECT_TRUE(c.act()) << c.name;
    // Both modems go on completing exchanges: the program still polls and relays.
    EXPECT_TRUE(Until([&] { return sessions(0) > before[0] + 1 && sessions(1) > before[1] + 1; }, 30000))
        << c.name;
    // And on the same records: one opened anew (5 s after a record was
    // dropped) would ask its modem who it is again.
    const auto asked = [&] {
      return players.Counts(0).identifyPolls != identifies[0] ||
             players.Counts(1).identifyPolls != identifies[1];
    };
    EXPECT_FALSE(c.dropsRecords ? Until(asked, 6000) : asked()) << c.name;
  }
  EXPECT_TRUE(Until([&] { return players.Counts(0).startExchange > 0; }))
      << "the button reaches the modem as CTL_START_EXCHANGE 1";
  players.StopIntactAndUnplug();
  EXPECT_EQ(players.acquirer.Counts().damaged, 0u);
  ASSERT_TRUE(program_->control.ProcessCounts(counts));
  EXPECT_LE(counts[2], memoryBefore + 2048) << "private KiB";
}

TEST_F(EndToEnd, TwoModemsUnpluggedWhileLinkedOrConnectingLeaveNothingOpen) {
  struct {
    const char* name;
    AcquirerMode mode;
  } const cases[] = {{"linked", AcquirerMode::Serve}, {"connecting", AcquirerMode::HangConnect}};
  RemoteBus& bus = program_->control;
  uint32_t before[3] = {};
  ASSERT_TRUE(bus.ProcessCounts(before));
  for (const auto& c : cases) {
    AcquirerPeer acquirer;
    ASSERT_TRUE(acquirer.Start(0, c.mode));
    const Bytes connect = ConnectMessage("127.0.0.1:" + std::to_string(acquirer.port()));
    int modems[2] = {};
    for (int& modem : modems) {
      modem = bus.Plug(simbus::StandardLayout());
      bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
    }
    if (c.mode == AcquirerMode::Serve) {
      for (int modem : modems) {
        uint8_t type = 0;
        ASSERT_TRUE(NextReply(bus, modem, &type)) << c.name;
        ASSERT_EQ(type, CTL_CONNECTED) << c.name;
      }
    } else {
      Sleep(300);
    }
    for (int modem : modems) bus.Unplug(modem);
    for (int modem : modems) {
      EXPECT_TRUE(Until([&] { return bus.OpenHandles(modem) == 0 && bus.PendingTransfers(modem) == 0; }))
          << c.name;
    }
    EXPECT_TRUE(Until([&] { return acquirer.Open() == 0; })) << c.name;
    const int next = bus.Plug(simbus::StandardLayout());
    Bytes message;
    EXPECT_TRUE(bus.Take(next, simbus::CONTROL_OUT, &message, WAIT_MS)) << c.name;
    bus.Unplug(next);
  }
  // The program's workers, connect threads and their handles are gone again.
  uint32_t after[3] = {};
  EXPECT_TRUE(Until([&] {
    return bus.ProcessCounts(after) && after[0] <= before[0] && after[1] <= before[1];
  })) << "handles "
      << before[0] << " -> " << after[0] << ", threads " << before[1] << " -> " << after[1];
}

TEST_F(EndToEnd, AcquirersThatReadSlowlyOrNotAtAll) {
  // Read slowly: two modems' requests still come back intact.
  {
    Players players;
    ASSERT_TRUE(players.Start(*program_, 2, 16u << 10, false, AcquirerMode::SlowRead));
    EXPECT_TRUE(
        Until([&] { return players.Counts(0).sessions > 0 && players.Counts(1).sessions > 0; }, 30000));
    players.StopIntactAndUnplug();
  }
  // Never read: the program takes no more than its bounded queues hold from
  // the modems, keeps polling, and an unplug still closes everything.
  AcquirerPeer stuck;
  ASSERT_TRUE(stuck.Start(0, AcquirerMode::StopReading));
  RemoteBus& bus = program_->control;
  const Bytes connect = ConnectMessage("127.0.0.1:" + std::to_string(stuck.port()));
  const Bytes piece(64u << 10, 0x5A);
  int modems[2] = {};
  for (int& modem : modems) {
    modem = bus.Plug(simbus::StandardLayout());
    bus.Deliver(modem, simbus::CONTROL_IN, connect.data(), static_cast<uint32_t>(connect.size()));
    uint8_t type = 0;
    ASSERT_TRUE(NextReply(bus, modem, &type));
    ASSERT_EQ(type, CTL_CONNECTED);
    // More than the sockets' and the program's buffers hold together.
    for (int i = 0; i < 512; ++i)
      bus.Deliver(modem, simbus::DATA_IN, piece.data(), static_cast<uint32_t>(piece.size()));
  }
  for (int modem : modems) {
    uint32_t waiting = 0;
    EXPECT_TRUE(Until(
        [&] {
          const uint32_t before = waiting;
          Sleep(500);
          waiting = bus.Waiting(modem, simbus::DATA_IN);
          return waiting > 0 && waiting == before;
        },
        30000))
        << "the program stopped reading, " << waiting << " pieces left";
    Bytes message;
    EXPECT_TRUE(bus.Take(modem, simbus::CONTROL_OUT, &message, WAIT_MS)) << "and still polls";
  }
  for (int modem : modems) bus.Unplug(modem);
  // (A peer that never reads cannot see the program close the link.)
  for (int modem : modems) EXPECT_TRUE(Until([&] { return bus.OpenHandles(modem) == 0; }));
  const int next = bus.Plug(simbus::StandardLayout());
  Bytes message;
  EXPECT_TRUE(bus.Take(next, simbus::CONTROL_OUT, &message, WAIT_MS)) << "the program goes on serving";
  bus.Unplug(next);
}

// A program of its own, run after the suite's program has ended (one
// instance at a time).
TEST(EndToEndShutdown, TrayMenuExitWithModemsLinkedJoinsEveryWorkerAndClosesEverySocket) {
  net::Startup();
  Program program;
  ASSERT_TRUE(program.Start());
  Players players;
  // Still linked, data flowing, when the program ends.
  ASSERT_TRUE(players.Start(program, 3, 1u << 30));
  const bool linked = Until([&] { return players.acquirer.Open() == 3; }, 20000);
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
  EXPECT_TRUE(Until([&] { return players.acquirer.Open() == 0; })) << "every link to the acquirer closed";
}

}  // namespace
