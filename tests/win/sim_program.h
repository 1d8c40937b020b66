#pragma once
// The simulated program (varnel-sim.exe) as a process of its own under
// test, and the simulated modems and acquirer that drive it from outside;
// shared by the black-box test programs.
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

namespace simprogram {

using Bytes = std::vector<uint8_t>;
using modemsim::AcquirerMode;
using modemsim::AcquirerPeer;
using modemsim::RemoteBus;

constexpr int START_MS = 60000;
constexpr uint32_t WAIT_MS = 10000;

inline uint16_t FreePort() {
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

inline Bytes Identify(const char* serial) {
  Bytes reply(16, 0);
  for (size_t i = 0; serial[i] != '\0' && i < 10; ++i) reply[5 + i] = static_cast<uint8_t>(serial[i]);
  return reply;
}

inline Bytes ConnectMessage(const std::string& text) {
  Bytes message(3 + text.size(), 0);
  message[0] = CTL_CONNECT;
  for (size_t i = 0; i < text.size(); ++i) message[3 + i] = static_cast<uint8_t>(text[i]);
  return message;
}

// Takes control messages until one that is not a poll arrives; polls are
// answered with an identify reply so that the modem counts as identified.
inline bool NextReply(RemoteBus& bus, int modem, uint8_t* type, uint32_t timeoutMs = WAIT_MS) {
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

inline bool Until(const std::function<bool()>& done, uint32_t timeoutMs = WAIT_MS) {
  const uint64_t deadline = net::NowMs() + timeoutMs;
  while (!done()) {
    if (net::NowMs() >= deadline) return false;
    Sleep(20);
  }
  return true;
}

// Simulated modems on the program, each on a bus connection of its own and
// run by a thread of its own until Stop (or the end of the scope), and the
// acquirer peer they talk to.
class Players {
 public:
  struct Player {
    std::unique_ptr<RemoteBus> bus;
    std::unique_ptr<modemsim::SimModem> modem;
  };
  // Starts the acquirer and plugs `count` modems, each sending
  // sessionBytes per link (serials 4000200 on); false when one could not be.
  bool Start(Program& program, uint32_t count, uint64_t sessionBytes, bool reconnect = true,
             AcquirerMode mode = AcquirerMode::Serve) {
    if (!acquirer.Start(0, mode)) return false;
    modemsim::ModemConfig config;
    config.acquirerPort = acquirer.port();
    config.sessionBytes = sessionBytes;
    config.reconnect = reconnect;
    for (uint32_t m = 0; m < count; ++m) {
      config.number = m + 1;
      config.serial = std::to_string(4000200 + m);
      if (Add(program, config) == nullptr) return false;
    }
    return true;
  }
  // Plugs one more modem, run by a thread of its own; null when it could not be.
  modemsim::SimModem* Add(Program& program, const modemsim::ModemConfig& config) {
    Player p = {program.Connection(), nullptr};
    if (p.bus == nullptr) return nullptr;
    p.modem = std::make_unique<modemsim::SimModem>(*p.bus, config, nullptr);
    if (!p.modem->Plug()) return nullptr;
    modemsim::SimModem* modem = p.modem.get();
    threads_.emplace_back([this, modem] { modem->Run(stop_); });
    list.push_back(std::move(p));
    return modem;
  }
  void Stop() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }
  ~Players() { Stop(); }
  // Stops them, checks that no reply came back changed, unplugs them.
  void StopIntactAndUnplug() {
    Stop();
    for (Player& p : list) {
      EXPECT_EQ(p.modem->Counts().repliesBad, 0u) << p.modem->config().serial;
      p.bus->Unplug(p.modem->busId());
    }
  }
  modemsim::ModemCounts Counts(size_t m) { return list[m].modem->Counts(); }
  AcquirerPeer acquirer;
  std::vector<Player> list;

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

}  // namespace simprogram
