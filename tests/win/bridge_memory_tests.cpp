// The bridge when buffers cannot be allocated. This program brings its own
// buffer allocation, which the linker takes instead of the product's, so
// that allocation can be made to fail on demand.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "bridge/control_message.h"
#include "tests/win/bridged_modem.h"
#include "tests/win/loopback_server.h"
#include "tests/win/test_window.h"

namespace {
std::atomic<bool> g_allocationFails{false};
}

// Freed by the product's FreeIoBuffer, which uses the same heap.
IoBuffer* AllocIoBuffer() {
  if (g_allocationFails.load()) return nullptr;
  return static_cast<IoBuffer*>(std::calloc(1, sizeof(IoBuffer)));
}

namespace {

class BridgeMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { StartSockets(); }
  void TearDown() override { g_allocationFails = false; }
  TestWindow window_;
};

TEST_F(BridgeMemoryTest, ReadsWaitForMemoryAndResumeWithoutLosingTheModem) {
  BridgedModem m;
  ASSERT_TRUE(m.Start());
  ASSERT_TRUE(window_.PumpUntil([&] { return simbus::LocalBus().PendingTransfers(m.modem()) == 2; }, 5000));
  g_allocationFails = true;
  // The message leaves the pool for the main window; the next read has no buffer.
  m.SendControl({CTL_STATUS, 0});
  ASSERT_TRUE(window_.PumpUntil([&] { return window_.DeviceMessages().size() == 1; }, 5000));
  window_.Pump(300);
  EXPECT_EQ(window_.Count(WM_GW_WORKER_ENDED), 0u);

  m.SendControl({CTL_STATUS, 1});
  window_.Pump(300);
  EXPECT_EQ(window_.DeviceMessages().size(), 1u) << "read without a buffer";
  g_allocationFails = false;
  ASSERT_TRUE(window_.PumpUntil([&] { return window_.DeviceMessages().size() == 2; }, 5000));
  EXPECT_EQ(window_.DeviceMessages()[1]->data[1], 1);
  EXPECT_EQ(window_.Count(WM_GW_WORKER_ENDED), 0u);
}

TEST_F(BridgeMemoryTest, AReplyThatCannotBeAllocatedEndsTheWorkerCleanly) {
  BridgedModem m;
  ASSERT_TRUE(m.Start());
  LoopbackServer server;
  m.SendConnect(server.Address());
  ASSERT_TRUE(server.Accept(5000));
  ASSERT_EQ(m.NextControl(), std::vector<uint8_t>{CTL_CONNECTED});
  ModemBridge* b = m.bridge();
  ASSERT_TRUE(window_.PumpUntil([&] { return b->ops->IsConnected(b) == 1; }, 5000));
  window_.Pump(100);  // the receive takes the last pooled buffer

  g_allocationFails = true;
  server.Reset();
  // The modem could not be told of the lost link: the bridge ends instead,
  // and the device is opened afresh later.
  ASSERT_TRUE(window_.PumpUntil([&] { return window_.Count(WM_GW_WORKER_ENDED) == 1; }, 5000));
  EXPECT_EQ(b->workerResult, E_OUTOFMEMORY);
  EXPECT_EQ(b->ops->IsConnected(b), 0);
}

}  // namespace
