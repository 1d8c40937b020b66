// The bridge's buffers: what it does when none can be allocated, and how
// many it holds. This program links its own buffer allocator in place of the
// product's, which counts live buffers and fails on demand.
#include <gtest/gtest.h>

#include "bridge/buffer_queues.h"
#include "tests/win/bridge_fixture.h"
#include "tests/win/test_allocator.h"

namespace {

using test_alloc::LiveBuffers;

class BridgeMemoryTest : public BridgeFixture {
 protected:
  // Every test ends with no buffer alive once the bridge is stopped and
  // released and the main window has freed what it was given.
  void TearDown() override {
    test_alloc::FailAllocations(false);
    modem_.reset();
    window_.Pump(0);
    window_.Clear();
    EXPECT_EQ(LiveBuffers(), 0);
  }
};

TEST_F(BridgeMemoryTest, ReadsWaitForMemoryAndResumeWithoutLosingTheModem) {
  BridgedModem* m = Open();
  ASSERT_TRUE(Until([&] { return simbus::LocalBus().PendingTransfers(m->modem()) == 2; }));
  test_alloc::FailAllocations(true);
  // The message leaves the pool for the main window; the next read has no buffer.
  m->SendControl({CTL_STATUS, 0});
  ASSERT_TRUE(Until([&] { return window_.DeviceMessages().size() == 1; }));
  window_.Pump(300);
  EXPECT_EQ(window_.Count(WM_GW_WORKER_ENDED), 0u);

  m->SendControl({CTL_STATUS, 1});
  window_.Pump(300);
  EXPECT_EQ(window_.DeviceMessages().size(), 1u) << "read without a buffer";
  test_alloc::FailAllocations(false);
  ASSERT_TRUE(Until([&] { return window_.DeviceMessages().size() == 2; }));
  EXPECT_EQ(window_.DeviceMessages()[1]->data[1], 1);
  EXPECT_EQ(window_.Count(WM_GW_WORKER_ENDED), 0u);
}

TEST_F(BridgeMemoryTest, AReplyThatCannotBeAllocatedEndsTheWorkerCleanly) {
  BridgedModem* m = Open();
  LoopbackServer server;
  Link(m, &server);
  ModemBridge* b = m->bridge();
  window_.Pump(100);  // the receive takes the last pooled buffer

  test_alloc::FailAllocations(true);
  server.Reset();
  // The modem could not be told of the lost link: the bridge ends instead,
  // and the device is opened afresh later.
  ASSERT_TRUE(Until([&] { return window_.Count(WM_GW_WORKER_ENDED) == 1; }));
  EXPECT_EQ(b->workerResult, E_OUTOFMEMORY);
  EXPECT_EQ(b->ops->IsConnected(b), 0);
}

TEST_F(BridgeMemoryTest, PollsThatGetNoAnswerKeepThePoolBounded) {
  BridgedModem* m = Open();
  ModemBridge* b = m->bridge();
  long peak = 0;
  for (uint32_t tick = 1; tick <= 1000; ++tick) {
    b->ops->OnTick(b);
    ASSERT_TRUE(SpinUntil([&] { return b->traffic.controlOutTransfers.load() == tick; })) << tick;
    peak = std::max(peak, LiveBuffers());
  }
  // The pool, the two reads, a request on its way.
  EXPECT_LE(peak, static_cast<long>(POOL_LIMIT) + 4);
}

TEST_F(BridgeMemoryTest, NoBufferOutlivesAStoppedBridge) {
  FullListener hanging;
  LoopbackServer server;
  const std::vector<std::pair<const char*, std::function<void(BridgedModem*)>>> cases = {
      {"a message posted after the worker ended",
       [](BridgedModem* m) {
         m->Stop();
         PostControl(m->bridge(), Message({CTL_IDENTIFY}));
       }},
      {"a connect attempt still hanging",
       [&](BridgedModem* m) {
         m->SendConnect(hanging.Address());
         EXPECT_TRUE(m->NextControl(300).empty());
       }},
      {"a link with traffic queued every way",
       [&](BridgedModem* m) {
         Link(m, &server);
         simbus::LocalBus().HoldWrites(m->modem(), simbus::DATA_OUT, true);
         simbus::LocalBus().HoldWrites(m->modem(), simbus::CONTROL_OUT, true);
         const Bytes chunk(IO_BUFFER_SIZE, 0x5A);
         for (int i = 0; i < 8; ++i) {
           server.Send(chunk.data(), chunk.size());
           m->SendData(chunk);
           PostControl(m->bridge(), Message({CTL_STATUS, 0}));
         }
         EXPECT_TRUE(Until([&] { return m->bridge()->dataOutQueued.load() > 1; }));
       }},
  };
  for (const auto& c : cases) {
    c.second(Open());
    modem_.reset();
    window_.Pump(0);
    window_.Clear();
    EXPECT_EQ(LiveBuffers(), 0) << c.first;
  }
}

// Each Stop lands while the worker has a burst to handle: a lost wake-up
// would leave Stop waiting for good.
TEST_F(BridgeMemoryTest, StopEndsEveryRoundOfABusyBridge) {
  for (int round = 0; round < 200; ++round) {
    BridgedModem* m = Open();
    for (uint8_t i = 0; i < 4; ++i) PostControl(m->bridge(), Message({CTL_STATUS, i}));
    m->SendData(Bytes(100, 1));
    m->SendControl({CTL_STATUS, 2, 0});
    const ULONGLONG start = GetTickCount64();
    m->Stop();
    ASSERT_LT(GetTickCount64() - start, 2000u) << "round " << round;
    modem_.reset();
    window_.Pump(0);
  }
}

}  // namespace
