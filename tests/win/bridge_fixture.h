#pragma once
// What the bridge test programs share: a stand-in main window, one
// simulated modem with a running bridge, a link to a loopback server, and a
// look at how busy the worker is.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "bridge/control_message.h"
#include "tests/win/bridged_modem.h"
#include "tests/win/loopback_server.h"
#include "tests/win/test_window.h"

// A control message in a fresh buffer, as the main thread makes one.
inline IoBuffer* Message(const std::vector<uint8_t>& bytes) {
  IoBuffer* m = AllocIoBuffer();
  m->count = static_cast<uint32_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), m->data);
  return m;
}

class BridgeFixture : public ::testing::Test {
 protected:
  using Bytes = std::vector<uint8_t>;

  void SetUp() override { StartSockets(); }

  BridgedModem* Open(const simbus::ModemLayout& layout = simbus::StandardLayout()) {
    modem_ = std::make_unique<BridgedModem>(layout);
    EXPECT_TRUE(modem_->Start());
    return modem_.get();
  }

  bool Until(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
    return window_.PumpUntil(done, timeoutMs);
  }

  // Looks every millisecond, without handling window messages: for waits
  // on the worker that repeat thousands of times.
  static bool SpinUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(1);
    }
    return true;
  }

  // Asks for a link to the server and waits until both ends have it.
  void Link(BridgedModem* m, LoopbackServer* server) {
    m->SendConnect(server->Address());
    ASSERT_TRUE(server->Accept(5000));
    ASSERT_EQ(m->NextControl(), Bytes{CTL_CONNECTED});
    ASSERT_TRUE(Until([&] { return m->bridge()->ops->IsConnected(m->bridge()) == 1; }));
  }

  // A linked modem whose server has then closed its sending side.
  BridgedModem* OpenHalfClosed(LoopbackServer* server) {
    BridgedModem* m = Open();
    Link(m, server);
    server->HalfClose();
    window_.Pump(300);  // the worker sees the close
    return m;
  }

  // The private messages posted from index `first` on, in order.
  std::vector<UINT> PostedSince(size_t first) const {
    std::vector<UINT> out;
    for (size_t i = first; i < window_.messages().size(); ++i) {
      const UINT message = window_.messages()[i].message;
      if (message >= WM_GW_LINK_CHANGED && message <= WM_GW_DEVICE_MESSAGE) out.push_back(message);
    }
    return out;
  }

  // Thread time the worker used while `run` ran, in 100 ns units.
  uint64_t WorkerTimeDuring(ModemBridge* b, const std::function<void()>& run) {
    const uint64_t before = ThreadTime(b->workerThread);
    run();
    return ThreadTime(b->workerThread) - before;
  }

  TestWindow window_;
  std::unique_ptr<BridgedModem> modem_;

 private:
  static uint64_t ThreadTime(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(thread, &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& f) {
      return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    return value(kernel) + value(user);
  }
};
