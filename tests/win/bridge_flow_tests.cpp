// The bridge under slow, silent and broken peers: bounded queues, no byte
// lost, repeated or reordered, no spinning. This program links a counting
// buffer allocator and socket calls that misbehave on demand in place of
// the product's.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/result_codes.h"
#include "bridge/buffer_queues.h"
#include "tests/win/bridge_fixture.h"
#include "tests/win/socket_seam.h"
#include "tests/win/test_allocator.h"

namespace {

using test_alloc::LiveBuffers;
using Bytes = std::vector<uint8_t>;

const Bytes kConnected = {CTL_CONNECTED};
const Bytes kLinkLost = {CTL_LINK_LOST};

constexpr size_t kStreamBytes = 16u << 20;
constexpr size_t kChunk = IO_BUFFER_SIZE;
// A bridge moving data one way at full pressure: the pool, a full queue,
// the three reads and a control message or two.
constexpr long kBufferBound = POOL_LIMIT + FLOW_HIGH_MARK + 6;

// Byte `i` of a test stream. Any piece lost, repeated or out of order moves
// what follows it off its place, which shows.
uint8_t StreamByte(uint64_t i) {
  uint64_t z = i * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint8_t>(z >> 56);
}

Bytes StreamPiece(uint64_t offset, size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = StreamByte(offset + i);
  return out;
}

bool IsStreamAt(const Bytes& piece, uint64_t offset) {
  for (size_t i = 0; i < piece.size(); ++i) {
    if (piece[i] != StreamByte(offset + i)) return false;
  }
  return true;
}

class BridgeFlowTest : public BridgeFixture {
 protected:
  void SetUp() override {
    BridgeFixture::SetUp();
    seam::Reset();
  }
  void TearDown() override {
    modem_.reset();
    seam::Reset();
    window_.Pump(0);
    window_.Clear();
    EXPECT_EQ(LiveBuffers(), 0);
  }

  // The highest live-buffer count and queue length seen so far.
  void Sample(const std::atomic<LONG>& queued) {
    peakLive_ = std::max(peakLive_, LiveBuffers());
    peakQueued_ = std::max(peakQueued_, static_cast<long>(queued.load()));
  }

  // The modem hands the stream over a chunk at a time, as fast as the
  // gateway reads it, until all is sent or the gateway has read nothing
  // for `stallMs`.
  void Feed(BridgedModem* m, size_t* sent, DWORD stallMs) {
    ULONGLONG progress = GetTickCount64();
    while (*sent < kStreamBytes && GetTickCount64() - progress < stallMs) {
      Sample(m->bridge()->sendQueued);
      if (simbus::LocalBus().Waiting(m->modem(), simbus::DATA_IN) != 0) {
        Sleep(1);
        continue;
      }
      m->SendData(StreamPiece(*sent, kChunk));
      *sent += kChunk;
      progress = GetTickCount64();
    }
  }

  long peakLive_ = 0;
  long peakQueued_ = 0;
};

TEST_F(BridgeFlowTest, AServerThatStopsReadingHoldsTheModemBackAndLosesNothing) {
  BridgedModem* m = Open();
  LoopbackServer server;
  Link(m, &server);
  size_t sent = 0;
  Feed(m, &sent, 500);
  EXPECT_LT(sent, kStreamBytes) << "the modem was never held back";

  std::atomic<bool> intact{true};
  std::thread reader([&] {
    for (size_t got = 0; got < kStreamBytes && intact; got += kChunk) {
      Bytes piece;
      intact = server.ReceiveExactly(kChunk, &piece, 30000) && IsStreamAt(piece, got);
    }
  });
  Feed(m, &sent, 30000);
  reader.join();
  EXPECT_EQ(sent, kStreamBytes);
  EXPECT_TRUE(intact);
  EXPECT_LE(peakQueued_, FLOW_HIGH_MARK);
  EXPECT_LE(peakLive_, kBufferBound);
}

TEST_F(BridgeFlowTest, AModemThatStopsTakingDataHoldsTheServerBackAndLosesNothing) {
  BridgedModem* m = Open();
  LoopbackServer server;
  Link(m, &server);
  simbus::LocalBus().HoldWrites(m->modem(), simbus::DATA_OUT, true);
  std::atomic<size_t> pushed{0};
  std::thread sender([&] {
    constexpr size_t kPiece = 64 * 1024;
    for (size_t at = 0; at < kStreamBytes && server.Send(StreamPiece(at, kPiece).data(), kPiece);
         at += kPiece) {
      pushed = at + kPiece;
    }
  });
  // Until the server cannot push any more.
  for (size_t last = SIZE_MAX; last != pushed.load() && pushed.load() < kStreamBytes;) {
    last = pushed.load();
    SpinUntil(
        [&] {
          Sample(m->bridge()->dataOutQueued);
          return false;
        },
        500);
  }
  EXPECT_LT(pushed.load(), kStreamBytes) << "the server was never held back";

  simbus::LocalBus().HoldWrites(m->modem(), simbus::DATA_OUT, false);
  size_t got = 0;
  for (Bytes piece; got < kStreamBytes; got += piece.size()) {
    Sample(m->bridge()->dataOutQueued);
    ASSERT_TRUE(m->TakeData(&piece, 30000)) << got;
    ASSERT_TRUE(IsStreamAt(piece, got)) << got;
  }
  sender.join();
  EXPECT_EQ(got, kStreamBytes);
  EXPECT_LE(peakQueued_, FLOW_HIGH_MARK);
  EXPECT_LE(peakLive_, kBufferBound);
}

// A modem that takes no control messages yet keeps asking for links cannot
// make the replies pile up: its later requests wait on its own side.
TEST_F(BridgeFlowTest, AModemThatTakesNoControlMessagesIsHeldBackToo) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, true);
  constexpr LONG kRequests = FLOW_HIGH_MARK * 2;
  LONG sent = 0;
  while (sent < kRequests) {
    m->SendConnect("x");  // refused at once, so each gets its reply
    ++sent;
    if (!SpinUntil([&] { return b->controlOutQueued.load() == sent; }, 300)) break;
    Sample(b->controlOutQueued);
  }
  EXPECT_LT(sent, kRequests) << "the modem was never held back";
  // A request read before the queue filled still gets its reply.
  EXPECT_LE(peakQueued_, FLOW_HIGH_MARK + 1);
  simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, false);
  for (LONG i = 0; i < sent; ++i) ASSERT_EQ(m->NextControl(), Bytes{CTL_CONNECT_FAILED}) << i;
  EXPECT_TRUE(m->NextControl(300).empty());
}

TEST_F(BridgeFlowTest, PartialSendsDeliverEveryByteOnceInOrder) {
  BridgedModem* m = Open();
  LoopbackServer server;
  Link(m, &server);
  seam::LimitSends(1000);
  Bytes sent;
  constexpr uint32_t kReads = 24;
  for (uint32_t i = 0; i < kReads; ++i) {
    const Bytes chunk = StreamPiece(sent.size(), 1 + i * 170);
    sent.insert(sent.end(), chunk.begin(), chunk.end());
    m->SendData(chunk);
  }
  Bytes got;
  ASSERT_TRUE(server.ReceiveExactly(sent.size(), &got, 5000));
  EXPECT_EQ(got, sent);
  EXPECT_FALSE(server.ReceiveExactly(1, &got, 300)) << "a byte arrived twice";
  ModemBridge* b = m->bridge();
  EXPECT_TRUE(Until([&] { return b->traffic.sendTransfers.load() == kReads; }));
  EXPECT_EQ(b->traffic.sendBytes.load(), sent.size());
}

// Wine does not fail a receive after the server half-closed and then reset
// the connection (it keeps reporting the close), so the seam fails it.
TEST_F(BridgeFlowTest, AResetAfterAHalfCloseIsReportedWhilePollsRun) {
  LoopbackServer server;
  BridgedModem* m = OpenHalfClosed(&server);
  ModemBridge* b = m->bridge();
  seam::ArmNextReceive(seam::Fault::FailStart);
  // A tick's poll, and the modem's answer half a tick later.
  bool lost = false;
  const ULONGLONG deadline = GetTickCount64() + 1000;
  for (int i = 0; !lost && GetTickCount64() < deadline; ++i) {
    if (i % 2 == 0) {
      b->ops->OnTick(b);
    } else {
      m->SendControl({CTL_STATUS, 2, 0});
    }
    window_.Pump(50);
    for (Bytes message; m->TakeControl(&message, 0);) lost = lost || message == kLinkLost;
  }
  EXPECT_TRUE(lost);
  EXPECT_TRUE(Until([&] { return b->ops->IsConnected(b) == 0; }));
}

TEST_F(BridgeFlowTest, ASendThatFailsIsALostLinkAndTheWorkerGoesOn) {
  BridgedModem* m = Open();
  for (seam::Fault fault : {seam::Fault::FailStart, seam::Fault::FailCompletion}) {
    LoopbackServer server;
    Link(m, &server);
    seam::ArmNextSend(fault);
    m->SendData({1, 2, 3});
    EXPECT_EQ(m->NextControl(), kLinkLost);
    EXPECT_TRUE(Until([&] { return m->bridge()->ops->IsConnected(m->bridge()) == 0; }));
    EXPECT_TRUE(server.SeesClose(5000));
  }
  EXPECT_EQ(window_.Count(WM_GW_WORKER_ENDED), 0u);
}

TEST_F(BridgeFlowTest, ALinkLostNoticeThatCannotBeWrittenEndsTheWorker) {
  BridgedModem* m = Open();
  LoopbackServer server;
  Link(m, &server);
  // Every later control message would wait behind a notice never written.
  simbus::LocalBus().FailCall(m->modem(), simbus::BusCall::WritePipe, simbus::CONTROL_OUT, ERROR_GEN_FAILURE);
  seam::ArmNextSend(seam::Fault::FailStart);
  m->SendData({1});
  ASSERT_TRUE(Until([&] { return window_.Count(WM_GW_WORKER_ENDED) == 1; }));
  EXPECT_EQ(m->bridge()->workerResult, GW_E_USB);
}

// The stack completes a cancelled receive long after its socket closed. The
// worker goes on meanwhile, and the late completion touches nothing in use:
// neither a new link's receive nor, with no link, the worker's wait.
TEST_F(BridgeFlowTest, ALateCancelledReceiveIsParkedAndLeftAlone) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  LoopbackServer first, second;
  seam::ArmNextReceive(seam::Fault::Hold);
  Link(m, &first);
  ASSERT_TRUE(SpinUntil([] { return seam::Holds(true); }));
  const size_t changes = window_.Count(WM_GW_LINK_CHANGED);
  m->SendControl({CTL_CONNECT});
  ASSERT_TRUE(Until([&] { return window_.Count(WM_GW_LINK_CHANGED) > changes; }, 2000))
      << "the worker waited for the cancelled receive";
  ASSERT_TRUE(seam::CompleteHeld(true, 0xEE));
  const uint64_t busy = WorkerTimeDuring(b, [&] { window_.Pump(1000); });
  EXPECT_LT(busy, 1000u * 10000 / 5) << "worker busy " << busy / 10000 << " ms in 1 s";

  seam::ArmNextReceive(seam::Fault::Hold);
  Link(m, &first);
  ASSERT_TRUE(SpinUntil([] { return seam::Holds(true); }));
  m->SendConnect(second.Address());
  ASSERT_TRUE(second.Accept(5000));
  EXPECT_EQ(m->NextControl(2000), kConnected);
  // The new link's receive is under way when the late completion comes.
  ASSERT_TRUE(SpinUntil([] { return seam::ReceiveCalls() == 3; }));
  ASSERT_TRUE(seam::CompleteHeld(true, 0xEE));
  const Bytes down = StreamPiece(0, 3000), up = StreamPiece(3000, 2000);
  ASSERT_TRUE(second.Send(down.data(), down.size()));
  Bytes got;
  ASSERT_TRUE(m->TakeData(&got));
  EXPECT_EQ(got, down);
  m->SendData(up);
  got.clear();
  ASSERT_TRUE(second.ReceiveExactly(up.size(), &got, 5000));
  EXPECT_EQ(got, up);
}

TEST_F(BridgeFlowTest, StopDoesNotWaitLongForCancelledTransfers) {
  BridgedModem* m = Open();
  LoopbackServer server;
  seam::ArmNextReceive(seam::Fault::Hold);
  Link(m, &server);
  seam::ArmNextSend(seam::Fault::Hold);
  m->SendData({1, 2, 3});
  ASSERT_TRUE(SpinUntil([] { return seam::Holds(true) && seam::Holds(false); }));
  const ULONGLONG start = GetTickCount64();
  m->Stop();
  EXPECT_LT(GetTickCount64() - start, 2000u);
  // Late, but before the bridge is released: into buffers still kept for them.
  EXPECT_TRUE(seam::CompleteHeld(true, 0xEE));
  EXPECT_TRUE(seam::CompleteHeld(false, 0));
}

// Closing a link whose queues are full both ways drops their data (but the
// write already under way), and the next link starts with clean queues.
TEST_F(BridgeFlowTest, ALinkClosedWithFullQueuesLeavesNothingToTheNextOne) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  LoopbackServer first, second;
  Link(m, &first);
  simbus::LocalBus().HoldWrites(m->modem(), simbus::DATA_OUT, true);
  seam::ArmNextSend(seam::Fault::Hold);
  const Bytes oldDown(kChunk, 0xAA), oldUp(kChunk, 0xBB);
  for (int i = 0; i < FLOW_HIGH_MARK + 8; ++i) {
    ASSERT_TRUE(first.Send(oldDown.data(), oldDown.size()));
    m->SendData(oldUp);
  }
  ASSERT_TRUE(
      Until([&] { return b->dataOutQueued.load() >= FLOW_HIGH_MARK && b->sendQueued >= FLOW_HIGH_MARK; }));

  m->SendControl({CTL_CONNECT});
  ASSERT_TRUE(Until([&] {
    return b->ops->IsConnected(b) == 0 && simbus::LocalBus().Waiting(m->modem(), simbus::DATA_IN) == 0;
  }));
  simbus::LocalBus().HoldWrites(m->modem(), simbus::DATA_OUT, false);
  Bytes got;
  ASSERT_TRUE(m->TakeData(&got));  // the write that was under way
  EXPECT_EQ(got, Bytes(got.size(), 0xAA));
  EXPECT_FALSE(m->TakeData(&got, 300));

  Link(m, &second);
  const Bytes down = StreamPiece(0, 3 * kChunk), up = StreamPiece(5, 3 * kChunk);
  for (size_t at = 0; at < up.size(); at += kChunk)
    m->SendData(Bytes(up.begin() + at, up.begin() + at + kChunk));
  got.clear();
  ASSERT_TRUE(second.ReceiveExactly(up.size(), &got, 5000));
  EXPECT_EQ(got, up);
  ASSERT_TRUE(second.Send(down.data(), down.size()));
  Bytes atModem;
  for (Bytes piece; atModem.size() < down.size(); atModem.insert(atModem.end(), piece.begin(), piece.end()))
    ASSERT_TRUE(m->TakeData(&piece));
  EXPECT_EQ(atModem, down);
}

}  // namespace
