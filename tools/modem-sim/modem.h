#pragma once
// One simulated fiscal modem on a ModemBus (in another process through
// RemoteBus, or this process's own): it answers the gateway's identify and
// status polls with blocks that move (its clock ticks, its counters grow,
// the blocking window counts down, its store fills), asks for a link to
// its acquirer, exchanges checked frames (tools/modem-sim/exchange.h) over
// it, closes it and asks again, and plays the faults it is told to.
//
// One thread runs it (Run, or Step in a loop); Command may be called from
// any thread and is carried out by the next Step.
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "simbus/modem_bus.h"
#include "tools/modem-sim/exchange.h"
#include "tools/modem-sim/narrator.h"

namespace modemsim {

struct ModemConfig {
  uint32_t number = 1;  // names the modem in narration; seeds its data
  std::string serial = "40000001";
  uint16_t acquirerPort = 0;
  std::string address;            // the CTL_CONNECT text; empty: 127.0.0.1:<acquirerPort>
  uint64_t sessionBytes = 65536;  // request payload per link
  uint32_t frameSize = 16384;     // payload per request
  uint32_t window = 4;            // requests sent ahead of their replies
  bool reconnect = true;          // asks again a second after a link ends
  bool asksForLink = true;        // false: answers polls only (an idle modem)
  // Bytes a second offered on the data IN pipe, whole requests paced over
  // the link's life (0: as fast as the window lets); a modem held back more
  // than a second gives up what it missed instead of bursting to catch up.
  uint32_t rate = 0;
  uint32_t stepWaitMs = 20;  // longest wait of one Step in Run
};

enum class ModemCommand : uint8_t {
  Unplug,     // surprise removal
  Replug,     // plugged in again (a new bus id)
  CloseLink,  // a short CTL_CONNECT
  Mute,       // stops answering polls and stops taking the gateway's messages
  Unmute,
  Malformed,  // a round of messages the gateway must survive
  Flood,      // unasked status replies and data with no link, bounded
  Connect,    // asks for a link now
};

struct ModemCounts {
  uint32_t identifyPolls = 0;
  uint32_t statusPolls[2] = {};
  uint32_t otherMessages = 0;  // from the gateway, not a poll nor a link reply
  uint32_t connected = 0;
  uint32_t connectFailed = 0;
  uint32_t linkLost = 0;
  uint32_t startExchange = 0;
  uint32_t sessions = 0;    // links that carried their whole share and were closed
  uint64_t bytesOut = 0;    // delivered on the data IN pipe
  uint64_t bytesBack = 0;   // taken from the data OUT pipe
  uint64_t bytesStale = 0;  // from an earlier link, waiting when a new link came up; dropped
  uint32_t repliesGood = 0;
  uint32_t repliesBad = 0;  // a reply not as the acquirer must have made it, or a refusal
  bool linked = false;
  bool connecting = false;  // a link asked for, no reply yet
  bool plugged = false;
};

class SimModem {
 public:
  SimModem(simbus::ModemBus& bus, const ModemConfig& config, Narrator* narrator);
  SimModem(const SimModem&) = delete;
  SimModem& operator=(const SimModem&) = delete;

  bool Plug();
  // One pass: a command, the gateway's control messages, the data; waits
  // at most about waitMs for something to arrive.
  void Step(uint32_t waitMs);
  // Steps until `stop` is set.
  void Run(const std::atomic<bool>& stop);
  // Queued (at most 16 waiting; more are dropped, false).
  bool Command(ModemCommand command);
  // Asks for a link to `address` now, and to it from then on (queued as a
  // Connect command).
  bool ConnectTo(const std::string& address);
  ModemCounts Counts();
  int busId() const { return modem_; }
  const ModemConfig& config() const { return config_; }

 private:
  void Carry(ModemCommand command);
  void ServeControl(uint32_t waitMs);
  void Answer(const std::vector<uint8_t>& message);
  void ControlIn(const std::vector<uint8_t>& message, const char* caption);
  // A control reply goes out with the next exchange (a bus call of its own
  // for each would cost the simulation more than the gateway).
  void Reply(std::vector<uint8_t> reply, const char* caption);
  // Sends what is pending, takes up to `limit` transfers from takePipe
  // (the first waited for up to waitMs); false when the sends failed.
  bool Exchange(uint8_t takePipe, uint32_t limit, uint32_t waitMs, std::vector<std::vector<uint8_t>>* taken);
  bool Flush();
  void SendConnect();
  void LinkEnded(uint64_t retryInMs);
  void SendData();
  void TakeData(uint32_t waitMs);
  uint32_t DataWaitMs(uint32_t waitMs);
  void StartLink();
  std::vector<uint8_t> ModemStatusBlock();
  std::vector<uint8_t> KsefStatusBlock();
  uint32_t ModemClock();

  simbus::ModemBus& bus_;
  ModemConfig config_;
  Narrator* narrator_;  // borrowed; may be null
  char who_[16];
  int modem_ = 0;
  bool muted_ = false;
  bool connectAsked_ = false;  // the first CTL_CONNECT went out
  uint64_t connectAt_ = 0;     // when to ask again; 0 = not planned
  uint64_t startMs_;
  uint32_t nextSequence_ = 0;
  uint64_t sentThisSession_ = 0;
  uint64_t linkStartMs_ = 0;    // when the link came up; paces a set rate
  uint64_t nextControlMs_ = 0;  // with a set rate, linked: when to look at control messages again
  std::deque<uint32_t> outstanding_;
  std::vector<simbus::ModemSend> sends_;  // for the next exchange, in order
  size_t sendBytes_ = 0;
  FrameParser parser_;
  uint32_t lastResult_ = 0x7FFFFFFF;
  std::mutex lock_;  // guards counts_, commands_ and nextAddress_
  ModemCounts counts_;
  std::deque<ModemCommand> commands_;
  std::string nextAddress_;  // set by ConnectTo, taken by the next Connect
};

}  // namespace modemsim
