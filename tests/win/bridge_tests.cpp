// The bridge against simulated modems and real loopback TCP servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/result_codes.h"
#include "bridge/woken_set.h"
#include "tests/win/bridge_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Posted = std::vector<UINT>;

const Bytes kConnected = {CTL_CONNECTED};
const Bytes kConnectFailed = {CTL_CONNECT_FAILED};
const Bytes kLinkLost = {CTL_LINK_LOST};

Bytes RandomBytes(std::mt19937* rng, size_t size) {
  Bytes out(size);
  for (uint8_t& b : out) b = static_cast<uint8_t>((*rng)());
  return out;
}

class BridgeTest : public BridgeFixture {};

TEST_F(BridgeTest, RelaysRandomPayloadsBothWaysUnchangedAndCountsThem) {
  BridgedModem* m = Open();
  LoopbackServer server;
  Link(m, &server);
  ModemBridge* b = m->bridge();
  // Each read is sent as it comes, never held back for the last one's
  // acknowledgement.
  BOOL noDelay = FALSE;
  int length = sizeof noDelay;
  ASSERT_EQ(getsockopt(b->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay), &length), 0);
  EXPECT_TRUE(noDelay);
  std::mt19937 rng(20261207);
  constexpr uint32_t kChunks = 150;

  Bytes up;
  for (uint32_t i = 0; i < kChunks; ++i) {
    Bytes chunk = RandomBytes(&rng, 1 + rng() % IO_BUFFER_SIZE);
    up.insert(up.end(), chunk.begin(), chunk.end());
    m->SendData(chunk);
  }
  Bytes atServer;
  ASSERT_TRUE(server.ReceiveExactly(up.size(), &atServer, 30000));
  EXPECT_EQ(atServer, up);
  ASSERT_TRUE(Until([&] { return b->traffic.sendTransfers.load() == kChunks; }));
  EXPECT_EQ(b->traffic.dataInTransfers.load(), kChunks);
  EXPECT_EQ(b->traffic.dataInBytes.load(), up.size());
  EXPECT_EQ(b->traffic.sendBytes.load(), up.size());

  Bytes down;
  for (uint32_t i = 0; i < kChunks; ++i) {
    Bytes chunk = RandomBytes(&rng, 1 + rng() % IO_BUFFER_SIZE);
    down.insert(down.end(), chunk.begin(), chunk.end());
    ASSERT_TRUE(server.Send(chunk.data(), chunk.size()));
  }
  Bytes atModem;
  uint32_t writes = 0;
  while (atModem.size() < down.size()) {
    Bytes piece;
    ASSERT_TRUE(m->TakeData(&piece, 30000)) << atModem.size() << " of " << down.size();
    EXPECT_LE(piece.size(), IO_BUFFER_SIZE);
    atModem.insert(atModem.end(), piece.begin(), piece.end());
    ++writes;
  }
  EXPECT_EQ(atModem, down);
  ASSERT_TRUE(Until([&] { return b->traffic.dataOutTransfers.load() == writes; }));
  EXPECT_EQ(b->traffic.receiveTransfers.load(), writes);
  EXPECT_EQ(b->traffic.receiveBytes.load(), down.size());
  EXPECT_EQ(b->traffic.dataOutBytes.load(), down.size());
}

TEST_F(BridgeTest, AnswersEachConnectRequestWithOneByte) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  LoopbackServer server;

  m->SendConnect(server.Address());
  EXPECT_EQ(m->NextControl(), kConnected);
  EXPECT_TRUE(server.Accept(5000));
  EXPECT_TRUE(Until([&] { return b->ops->IsConnected(b) == 1; }));

  // Refused at once by the loopback stack.
  m->SendConnect("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
  EXPECT_EQ(m->NextControl(), kConnectFailed);
  EXPECT_EQ(b->connectResult.load(), GW_E_NETWORK);
  EXPECT_EQ(b->connectError, static_cast<DWORD>(WSAECONNREFUSED));
  EXPECT_EQ(b->ops->IsConnected(b), 0);

  // Texts that name no server never reach the network.
  for (const char* text :
       {"127.0.0.1", "127.0.0:80", "127.0.0.1:80x", "0.0.0.0:80", "255.255.255.255:80", "x"}) {
    m->SendConnect(text);
    EXPECT_EQ(m->NextControl(), kConnectFailed) << text;
    EXPECT_EQ(b->connectResult.load(), E_INVALIDARG) << text;
    EXPECT_EQ(b->connectError, 0u) << text;  // the thread's own: nothing failed
  }
  EXPECT_EQ(b->ops->IsConnected(b), 0);
}

TEST_F(BridgeTest, FullLengthConnectRequestUsesItsWholeText) {
  BridgedModem* m = Open();
  LoopbackServer server;
  // 61 characters: the port padded with leading zeros fills the 64-byte read.
  const std::string port = std::to_string(server.port());
  const std::string text = "127.0.0.1:" + std::string(51 - port.size(), '0') + port;
  ASSERT_EQ(text.size() + CONNECT_TEXT_OFFSET, CONTROL_READ_SIZE);
  m->SendConnect(text);
  EXPECT_EQ(m->NextControl(), kConnected);
  EXPECT_TRUE(server.Accept(5000));
}

TEST_F(BridgeTest, ShortConnectRequestClosesTheLinkWithoutReply) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  for (uint8_t length = 1; length <= 3; ++length) {
    LoopbackServer server;
    Link(m, &server);
    const size_t changes = window_.Count(WM_GW_LINK_CHANGED);
    m->SendControl(Bytes(length, CTL_CONNECT));
    EXPECT_TRUE(server.SeesClose(5000)) << int{length};
    EXPECT_TRUE(Until([&] { return window_.Count(WM_GW_LINK_CHANGED) > changes; }));
    EXPECT_EQ(b->ops->IsConnected(b), 0);
    EXPECT_TRUE(m->NextControl(300).empty());
  }
}

TEST_F(BridgeTest, NewConnectRequestWhileLinkedReplacesTheLinkQuietly) {
  BridgedModem* m = Open();
  LoopbackServer first, second;
  Link(m, &first);
  m->SendConnect(second.Address());
  EXPECT_TRUE(first.SeesClose(5000));
  EXPECT_TRUE(second.Accept(5000));
  EXPECT_EQ(m->NextControl(), kConnected);  // no CTL_LINK_LOST for the old link
  EXPECT_TRUE(m->NextControl(300).empty());
  EXPECT_EQ(m->bridge()->ops->IsConnected(m->bridge()), 1);
}

TEST_F(BridgeTest, ServerResetReportsLinkLostBehindEarlierControlMessages) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  LoopbackServer server;
  Link(m, &server);

  simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, true);
  PostControl(b, Message({CTL_START_EXCHANGE, 1}));
  PostControl(b, Message({CTL_STATUS, STATUS_MODEM}));
  ASSERT_TRUE(Until([&] { return simbus::LocalBus().PendingTransfers(m->modem()) >= 3; }));
  server.Reset();
  ASSERT_TRUE(Until([&] { return b->ops->IsConnected(b) == 0; }));
  simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, false);

  EXPECT_EQ(m->NextControl(), (Bytes{CTL_START_EXCHANGE, 1}));
  EXPECT_EQ(m->NextControl(), (Bytes{CTL_STATUS, STATUS_MODEM}));
  EXPECT_EQ(m->NextControl(), kLinkLost);
}

TEST_F(BridgeTest, ServerHalfCloseKeepsTheLinkWithoutNoticeOrSpinning) {
  LoopbackServer server;
  BridgedModem* m = OpenHalfClosed(&server);
  ModemBridge* b = m->bridge();

  // The main window polls on every tick meanwhile.
  const uint32_t receives = b->traffic.receiveTransfers.load();
  const uint64_t received = b->traffic.receiveBytes.load();
  const uint32_t polls = b->traffic.controlOutTransfers.load();
  constexpr DWORD kTicks = 10, kTickMs = 100;
  const uint64_t busy = WorkerTimeDuring(b, [&] {
    for (DWORD i = 0; i < kTicks; ++i) {
      b->ops->OnTick(b);
      window_.Pump(kTickMs);
    }
  });
  EXPECT_LT(busy, kTicks * kTickMs * 10000 / 5) << "worker busy " << busy / 10000 << " ms";
  EXPECT_GE(b->traffic.controlOutTransfers.load() - polls, kTicks - 1);
  EXPECT_EQ(b->traffic.receiveTransfers.load(), receives);
  EXPECT_EQ(b->traffic.receiveBytes.load(), received);

  for (Bytes message; m->TakeControl(&message, 0);) EXPECT_NE(message, kLinkLost);
  EXPECT_EQ(b->ops->IsConnected(b), 1);
  const Bytes data = {1, 2, 3, 4, 5};
  m->SendData(data);
  Bytes got;
  EXPECT_TRUE(server.ReceiveExactly(data.size(), &got, 5000));
  EXPECT_EQ(got, data);
}

TEST_F(BridgeTest, ModemDataIsDroppedWithoutLinkAndEmptyReadsAreCountedOnly) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  m->SendData({9, 9, 9});
  ASSERT_TRUE(Until([&] { return simbus::LocalBus().PendingTransfers(m->modem()) == 2; }));
  window_.Pump(100);
  EXPECT_EQ(b->traffic.dataInTransfers.load(), 0u);

  LoopbackServer server;
  Link(m, &server);
  m->SendData({});
  ASSERT_TRUE(Until([&] { return b->traffic.dataInTransfers.load() == 1; }));
  EXPECT_EQ(b->traffic.dataInBytes.load(), 0u);
  EXPECT_EQ(b->traffic.sendTransfers.load(), 0u);
  m->SendData({7});
  Bytes got;
  ASSERT_TRUE(server.ReceiveExactly(1, &got, 5000));
  EXPECT_EQ(got, Bytes{7});  // neither the dropped bytes nor the empty read reached the server
}

TEST_F(BridgeTest, ControlMessagesOtherThanConnectGoToTheMainWindow) {
  BridgedModem* m = Open();
  const std::vector<Bytes> sent = {{}, {CTL_IDENTIFY, 1, 2}, {2}, {CTL_STATUS, 56, 0}, Bytes(64, 0x42), {}};
  // The last one is the zero-length packet that ends the modem's 64-byte
  // transfer: the read before it ended with its full buffer.
  for (size_t i = 0; i + 1 < sent.size(); ++i) m->SendControl(sent[i]);
  ASSERT_TRUE(Until([&] { return window_.DeviceMessages().size() == sent.size(); }));
  std::vector<IoBuffer*> got = window_.DeviceMessages();
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(Bytes(got[i]->data, got[i]->data + got[i]->count), sent[i]);
    EXPECT_EQ(window_.messages()[i].wParam, RecordParam(m->record()));
  }
  EXPECT_EQ(m->bridge()->traffic.controlInTransfers.load(), sent.size());
}

// Transfers of whole 64-byte packets: the worker's write policy keeps each
// message whole, and a modem's 4096-byte block ends with a zero-length packet
// that the next read takes.
TEST_F(BridgeTest, TransfersOfWholePacketsKeepTheirEndsBothWays) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  PostControl(b, Message(Bytes(64, CTL_STATUS)));
  PostControl(b, Message({CTL_IDENTIFY}));
  EXPECT_EQ(m->NextControl(), Bytes(64, CTL_STATUS));
  EXPECT_EQ(m->NextControl(), Bytes{CTL_IDENTIFY});

  LoopbackServer server;
  Link(m, &server);
  const Bytes block(IO_BUFFER_SIZE, 0x33);
  ASSERT_TRUE(server.Send(block.data(), block.size()));
  Bytes got;
  for (Bytes piece; got.size() < block.size() && m->TakeData(&piece);)
    got.insert(got.end(), piece.begin(), piece.end());
  EXPECT_EQ(got, block);
  m->SendData(block);
  ASSERT_TRUE(server.ReceiveExactly(block.size(), &got, 5000));
  EXPECT_TRUE(Until([&] { return b->traffic.dataInTransfers.load() == 2; }));
  EXPECT_EQ(b->traffic.sendTransfers.load(), 1u);
}

TEST_F(BridgeTest, PostedControlMessagesGoOutInPostingOrder) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, true);
  PostControl(b, Message({CTL_IDENTIFY}));
  ASSERT_TRUE(Until([&] { return simbus::LocalBus().PendingTransfers(m->modem()) == 3; }));
  for (uint8_t i = 0; i < 5; ++i) PostControl(b, Message({CTL_STATUS, i}));
  simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, false);
  EXPECT_EQ(m->NextControl(), Bytes{CTL_IDENTIFY});
  for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(m->NextControl(), (Bytes{CTL_STATUS, i}));
  ASSERT_TRUE(Until([&] { return b->traffic.controlOutTransfers.load() == 6; }));
  EXPECT_EQ(b->traffic.controlOutBytes.load(), 11u);
}

TEST_F(BridgeTest, StopDuringAHangingConnectReturnsPromptly) {
  BridgedModem* m = Open();
  FullListener full;
  m->SendConnect(full.Address());
  EXPECT_TRUE(m->NextControl(500).empty()) << "the connect did not hang";

  window_.Pump(50);
  const size_t before = window_.messages().size();
  const ULONGLONG start = GetTickCount64();
  m->Stop();
  EXPECT_LT(GetTickCount64() - start, 3000u);
  window_.Pump(50);
  EXPECT_EQ(PostedSince(before), (Posted{WM_GW_LINK_CHANGED, WM_GW_WORKER_ENDED}));
  EXPECT_EQ(m->bridge()->workerResult, S_OK);
  EXPECT_EQ(m->bridge()->connectThread, nullptr);
  EXPECT_EQ(m->bridge()->socket, INVALID_SOCKET);
}

TEST_F(BridgeTest, ShortConnectRequestEndsAHangingAttemptWithoutReply) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  FullListener full;
  m->SendConnect(full.Address());
  EXPECT_TRUE(m->NextControl(300).empty()) << "the connect did not hang";
  m->SendControl({CTL_CONNECT});
  ASSERT_TRUE(
      Until([&] { return b->traffic.controlInTransfers.load() == 2 && b->connectThread == nullptr; }));
  EXPECT_EQ(b->socket, INVALID_SOCKET);
  EXPECT_EQ(b->connectRequest, nullptr);
  EXPECT_TRUE(m->NextControl(300).empty()) << "an ended attempt got a reply";

  LoopbackServer server;
  m->SendConnect(server.Address());
  EXPECT_EQ(m->NextControl(), kConnected);
  EXPECT_TRUE(server.Accept(5000));
  EXPECT_TRUE(m->NextControl(300).empty());
}

TEST_F(BridgeTest, UnplugDuringTrafficEndsTheWorkerWithUsbError) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  LoopbackServer server;
  Link(m, &server);
  window_.Pump(50);
  const size_t before = window_.messages().size();
  Bytes sent;
  for (int i = 0; i < 20; ++i) {
    const Bytes chunk(1000, static_cast<uint8_t>(i));
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    m->SendData(chunk);
  }
  Bytes got;
  ASSERT_TRUE(server.ReceiveExactly(1000, &got, 5000));
  simbus::LocalBus().Unplug(m->modem());
  ASSERT_TRUE(Until([&] { return window_.Count(WM_GW_WORKER_ENDED) == 1; }));
  EXPECT_EQ(b->workerResult, GW_E_USB);
  EXPECT_EQ(PostedSince(before), (Posted{WM_GW_LINK_CHANGED, WM_GW_WORKER_ENDED}));
  EXPECT_EQ(b->ops->IsConnected(b), 0);
  // What reached the server before the link closed is the start of what the modem sent.
  EXPECT_TRUE(server.ReceiveUntilClose(&got, 5000));
  ASSERT_LE(got.size(), sent.size());
  EXPECT_EQ(got, Bytes(sent.begin(), sent.begin() + got.size()));

  // Stop after the worker ended by itself, and again, returns at once.
  const ULONGLONG start = GetTickCount64();
  m->Stop();
  m->Stop();
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_EQ(window_.Count(WM_GW_WORKER_ENDED), 1u);
}

TEST_F(BridgeTest, StopPostsLinkChangedThenWorkerEnded) {
  BridgedModem* m = Open();
  EXPECT_EQ(m->bridge()->ops->IsConnected(m->bridge()), 0);
  m->Stop();
  window_.Pump(50);
  ASSERT_EQ(window_.messages().size(), 2u);
  EXPECT_EQ(window_.messages()[0].message, WM_GW_LINK_CHANGED);
  EXPECT_EQ(window_.messages()[1].message, WM_GW_WORKER_ENDED);
  EXPECT_EQ(window_.messages()[1].wParam, RecordParam(m->record()));
  // Messages posted after the worker ended stay with the bridge until it is freed.
  PostControl(m->bridge(), Message({CTL_IDENTIFY}));
}

TEST_F(BridgeTest, WorkerSetsThePipePolicies) {
  BridgedModem* m = Open();
  ASSERT_TRUE(Until([&] { return simbus::LocalBus().PendingTransfers(m->modem()) == 2; }));
  uint8_t value = 0;
  for (uint8_t pipe : {simbus::CONTROL_OUT, simbus::DATA_OUT}) {
    EXPECT_TRUE(simbus::LocalBus().PipePolicy(m->modem(), pipe, SHORT_PACKET_TERMINATE, &value));
    EXPECT_EQ(value, 1);
  }
  for (uint8_t pipe : {simbus::CONTROL_IN, simbus::DATA_IN}) {
    EXPECT_TRUE(simbus::LocalBus().PipePolicy(m->modem(), pipe, AUTO_CLEAR_STALL, &value));
    EXPECT_EQ(value, 1);
  }
}

struct LayoutCase {
  const char* name;
  simbus::ModemLayout layout;
  bool accepted;
};

simbus::ModemLayout With(const std::function<void(simbus::ModemLayout*)>& change) {
  simbus::ModemLayout layout = simbus::StandardLayout();
  change(&layout);
  return layout;
}

TEST_F(BridgeTest, AcceptsOnlyTheModemsInterfaceLayout) {
  using simbus::ModemLayout;
  const simbus::PipeLayout extra = {0x83, UsbdPipeTypeBulk, 64};
  const std::vector<LayoutCase> cases = {
      {"standard", simbus::StandardLayout(), true},
      {"OUT IN IN OUT", With([](ModemLayout* l) {
         auto& p = l->interfaces[0].pipes;
         std::swap(p[0], p[1]);
       }),
       true},
      {"class 0xFF", With([](ModemLayout* l) { l->interfaces[0].interfaceClass = 0xFF; }), false},
      {"subclass 1", With([](ModemLayout* l) { l->interfaces[0].interfaceSubClass = 1; }), false},
      {"protocol 1", With([](ModemLayout* l) { l->interfaces[0].interfaceProtocol = 1; }), false},
      {"three pipes", With([](ModemLayout* l) { l->interfaces[0].pipes.pop_back(); }), false},
      {"five pipes", With([&](ModemLayout* l) { l->interfaces[0].pipes.push_back(extra); }), false},
      {"512-byte pipe", With([](ModemLayout* l) { l->interfaces[0].pipes[3].maxPacketSize = 512; }), false},
      {"interrupt pipe",
       With([](ModemLayout* l) { l->interfaces[0].pipes[1].pipeType = UsbdPipeTypeInterrupt; }), false},
      {"IN IN OUT OUT", With([](ModemLayout* l) {
         auto& p = l->interfaces[0].pipes;
         std::swap(p[1], p[2]);
       }),
       false},
      {"second interface", With([](ModemLayout* l) { l->interfaces.push_back(l->interfaces[0]); }), false},
  };
  for (const LayoutCase& c : cases) {
    BridgedModem m(c.layout);
    EXPECT_EQ(m.Start(), c.accepted) << c.name;
  }
}

}  // namespace

struct FindSetCall {
  const HANDLE* handles;
  DWORD wait;
  Woken woken;
  bool ok;
};

DWORD WINAPI RunFindSet(LPVOID param) {
  auto* call = static_cast<FindSetCall*>(param);
  call->ok = FindSet(call->handles, call->wait, &call->woken);
  return 0;
}

// Which of its handles a pass serves, from the wait that began it. A wait
// that fails (a handle no longer valid) must end the worker, never turn
// into an index: the pass would then ask the same handles for ever.
TEST(WokenSet, FindsTheSetHandlesAndReportsAFailedWait) {
  struct Case {
    const char* name;
    DWORD wait;
    std::vector<int> set, closed;
    bool ok;
    uint32_t woken;
  } const cases[] = {
      {"time-out", WAIT_TIMEOUT, {}, {}, true, 0},
      {"two set", WAIT_OBJECT_0 + 2, {2, 5}, {}, true, 1u << 2 | 1u << 5},
      {"the last", WAIT_OBJECT_0 + 6, {6}, {}, true, 1u << 6},
      {"failed", WAIT_FAILED, {}, {}, false, 0},
      {"abandoned", WAIT_ABANDONED_0, {}, {}, false, 0},
      {"a later handle no longer valid", WAIT_OBJECT_0 + 1, {1}, {4}, false, 0},
  };
  for (const Case& c : cases) {
    HANDLE handles[WAIT_HANDLE_COUNT];
    for (HANDLE& h : handles) h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i : c.set) SetEvent(handles[i]);
    HANDLE events[WAIT_HANDLE_COUNT];
    std::copy(handles, handles + WAIT_HANDLE_COUNT, events);
    // A value no object has: a closed handle's value may be given again at once.
    for (int i : c.closed) handles[i] = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFFFF0));
    FindSetCall call = {handles, c.wait, {}, false};
    // On a thread of its own, so that a pass that never ends fails the test.
    HANDLE thread = CreateThread(nullptr, 0, RunFindSet, &call, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0) << c.name << ": never returned";
    CloseHandle(thread);
    EXPECT_EQ(call.ok, c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(call.woken.set, c.woken) << c.name;
    }
    for (HANDLE event : events) CloseHandle(event);
  }
}
