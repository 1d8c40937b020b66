#include "tools/modem-sim/modem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bridge/control_message.h"
#include "simbus/bus_wire.h"
#include "tools/modem-sim/net.h"

namespace modemsim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t RETRY_MS = 1000;
constexpr uint32_t DATA_PIECE = 4096;  // one delivery on the data IN pipe
// What one exchange carries at most: well inside a bus protocol frame.
constexpr size_t SEND_BYTES_LIMIT = 131072;
constexpr size_t SEND_COUNT_LIMIT = 200;
constexpr size_t COMMAND_LIMIT = 16;
constexpr uint32_t FLOOD_COUNT = 100;
// 14.03.25 09:30:00 in the modem's seconds since 1 January 2000.
constexpr uint32_t CLOCK_START = 795259800;
// The modem's clock runs a minute per second, so the blocking window is
// seen counting down.
constexpr uint32_t CLOCK_RATE = 60;

// The requests a set rate allows within sinceMs of the link's start.
uint64_t FramesDue(const ModemConfig& c, uint64_t sinceMs) {
  return c.rate * sinceMs / 1000 / (c.frameSize + FRAME_OVERHEAD);
}

}  // namespace

SimModem::SimModem(simbus::ModemBus& bus, const ModemConfig& config, Narrator* narrator)
    : bus_(bus), config_(config), narrator_(narrator), startMs_(net::NowMs()) {
  std::snprintf(who_, sizeof who_, "modem %u", static_cast<unsigned>(config.number));
  if (config_.address.empty()) config_.address = "127.0.0.1:" + std::to_string(config_.acquirerPort);
  if (config_.frameSize == 0 || config_.frameSize > FRAME_PAYLOAD_LIMIT) config_.frameSize = 16384;
  if (config_.window == 0) config_.window = 1;
}

bool SimModem::Plug() {
  modem_ = bus_.Plug(simbus::StandardLayout());
  std::lock_guard<std::mutex> hold(lock_);
  counts_.plugged = modem_ != 0;
  return modem_ != 0;
}

bool SimModem::Command(ModemCommand command) {
  std::lock_guard<std::mutex> hold(lock_);
  if (commands_.size() >= COMMAND_LIMIT) return false;
  commands_.push_back(command);
  return true;
}

bool SimModem::ConnectTo(const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  if (commands_.size() >= COMMAND_LIMIT) return false;
  nextAddress_ = address;
  commands_.push_back(ModemCommand::Connect);
  return true;
}

ModemCounts SimModem::Counts() {
  std::lock_guard<std::mutex> hold(lock_);
  return counts_;
}

void SimModem::Run(const std::atomic<bool>& stop) {
  while (!stop) Step(config_.stepWaitMs);
}

void SimModem::Step(uint32_t waitMs) {
  bool have = false;
  ModemCommand command = ModemCommand::Connect;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!commands_.empty()) {
      command = commands_.front();
      commands_.pop_front();
      have = true;
    }
  }
  if (have) Carry(command);
  if (modem_ == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    return;
  }
  if (connectAt_ != 0 && net::NowMs() >= connectAt_) {
    connectAt_ = 0;
    SendConnect();
  }
  const bool linked = Counts().linked;
  // A linked modem with a set rate looks at its control messages once a
  // step's wait, not on every step: polls come ten times a second, and each
  // look is a bus call of its own.
  if (!linked || config_.rate == 0 || net::NowMs() >= nextControlMs_) {
    nextControlMs_ = net::NowMs() + config_.stepWaitMs;
    ServeControl(muted_ || linked ? 0 : waitMs);
  }
  // Looked at again: a link-lost notice just served ended the link, and
  // what still comes back from it must not meet the next link's requests.
  if (Counts().linked && !muted_) {
    SendData();
    TakeData(DataWaitMs(waitMs));
  } else if (muted_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
  }
}

void SimModem::Carry(ModemCommand command) {
  switch (command) {
    case ModemCommand::Unplug:
      if (modem_ == 0) return;
      if (narrator_) narrator_->Say(who_, "unplugged");
      bus_.Unplug(modem_);
      modem_ = 0;
      sends_.clear();
      sendBytes_ = 0;
      LinkEnded(0);
      connectAsked_ = false;
      {
        std::lock_guard<std::mutex> hold(lock_);
        counts_.plugged = false;
      }
      return;
    case ModemCommand::Replug:
      if (modem_ != 0) return;
      if (narrator_) narrator_->Say(who_, "plugged in again");
      Plug();
      return;
    case ModemCommand::CloseLink:
      if (modem_ == 0) return;
      ControlIn({CTL_CONNECT}, "-> CTL_CONNECT (close the link)");
      LinkEnded(config_.reconnect ? RETRY_MS : 0);
      return;
    case ModemCommand::Mute:
      if (narrator_) narrator_->Say(who_, "stops answering");
      muted_ = true;
      return;
    case ModemCommand::Unmute:
      if (narrator_) narrator_->Say(who_, "answers again");
      muted_ = false;
      return;
    case ModemCommand::Malformed: {
      const Bytes messages[] = {{},
                                {CTL_IDENTIFY, 0},
                                Bytes(15, 0),
                                {CTL_STATUS, 55, STATUS_MODEM, 0, 0},
                                {CTL_STATUS, 25, STATUS_KSEF},
                                {CTL_STATUS, 60, 9},
                                {2, 1, 2, 3},
                                Bytes(64, 0xFF)};
      for (const Bytes& message : messages) ControlIn(message, "-> malformed message");
      return;
    }
    case ModemCommand::Flood: {
      if (narrator_)
        narrator_->Say(who_, "floods the gateway: %u status blocks, %u data transfers", FLOOD_COUNT,
                       FLOOD_COUNT);
      Flush();
      const Bytes block = ModemStatusBlock();
      const Bytes data(DATA_PIECE, 0x55);
      for (uint32_t i = 0; i < FLOOD_COUNT; ++i) {
        bus_.Deliver(modem_, simbus::CONTROL_IN, block.data(), static_cast<uint32_t>(block.size()));
        if (!Counts().linked) bus_.Deliver(modem_, simbus::DATA_IN, data.data(), DATA_PIECE);
      }
      return;
    }
    case ModemCommand::Connect: {
      std::unique_lock<std::mutex> hold(lock_);
      if (!nextAddress_.empty()) config_.address.swap(nextAddress_);
      nextAddress_.clear();
      hold.unlock();
      SendConnect();
      return;
    }
  }
}

// Goes out at once, after any reply still pending.
void SimModem::ControlIn(const std::vector<uint8_t>& message, const char* caption) {
  Reply(message, caption);
  Flush();
}

void SimModem::Reply(std::vector<uint8_t> reply, const char* caption) {
  if (caption != nullptr && narrator_) narrator_->TellBytes(who_, caption, reply.data(), reply.size());
  sendBytes_ += reply.size();
  sends_.push_back({simbus::CONTROL_IN, std::move(reply)});
}

bool SimModem::Exchange(uint8_t takePipe, uint32_t limit, uint32_t waitMs,
                        std::vector<std::vector<uint8_t>>* taken) {
  const bool sent = bus_.Exchange(modem_, sends_, takePipe, limit, waitMs, taken);
  sends_.clear();
  sendBytes_ = 0;
  return sent;
}

bool SimModem::Flush() {
  if (sends_.empty()) return true;
  std::vector<std::vector<uint8_t>> none;
  return Exchange(simbus::CONTROL_OUT, 0, 0, &none);
}

void SimModem::SendConnect() {
  if (modem_ == 0) return;
  // The gateway closes any link it has for a new request: what was in
  // flight on it is gone. Data it has not read yet would go out on the new
  // link, so the modem first closes the link and lets the gateway read
  // (and drop) what is left.
  LinkEnded(0);
  if (bus_.Waiting(modem_, simbus::DATA_IN) > 0) {
    ControlIn({CTL_CONNECT}, "-> CTL_CONNECT (close the link)");
    for (int n = 0; n < 1500 && bus_.Waiting(modem_, simbus::DATA_IN) > 0; ++n)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Bytes message = {CTL_CONNECT, 0, 0};
  message.insert(message.end(), config_.address.begin(), config_.address.end());
  if (narrator_) narrator_->Tell(who_, "asks for a link to %s", config_.address.c_str());
  ControlIn(message, "-> CTL_CONNECT");
  connectAsked_ = true;
  std::lock_guard<std::mutex> hold(lock_);
  counts_.connecting = true;
}

// Whatever was in flight is gone with the link.
void SimModem::LinkEnded(uint64_t retryInMs) {
  outstanding_.clear();
  parser_ = FrameParser();
  sentThisSession_ = 0;
  connectAt_ = retryInMs == 0 ? 0 : net::NowMs() + retryInMs;
  std::lock_guard<std::mutex> hold(lock_);
  counts_.linked = false;
  counts_.connecting = false;
}

void SimModem::ServeControl(uint32_t waitMs) {
  if (muted_) return;
  // Everything waiting, the first take waiting up to waitMs.
  std::vector<Bytes> messages;
  Exchange(simbus::CONTROL_OUT, 8, waitMs, &messages);
  for (const Bytes& message : messages) Answer(message);
}

void SimModem::Answer(const std::vector<uint8_t>& message) {
  if (message.size() == 1 && message[0] == CTL_IDENTIFY) {
    uint32_t polls;
    {
      std::lock_guard<std::mutex> hold(lock_);
      polls = ++counts_.identifyPolls;
    }
    if (polls == 1 && narrator_) narrator_->TellBytes(who_, "<- CTL_IDENTIFY request", message.data(), 1);
    Bytes reply(16, 0);
    std::memcpy(reply.data() + 5, config_.serial.c_str(), std::min<size_t>(config_.serial.size(), 10));
    Reply(reply, polls == 1 ? "-> identify reply" : nullptr);
    return;
  }
  if (message.size() == 2 && message[0] == CTL_STATUS && message[1] <= STATUS_KSEF) {
    const bool modemBlock = message[1] == STATUS_MODEM;
    uint32_t polls;
    {
      std::lock_guard<std::mutex> hold(lock_);
      polls = ++counts_.statusPolls[message[1]];
    }
    Bytes reply = modemBlock ? ModemStatusBlock() : KsefStatusBlock();
    if (polls == 1 && narrator_) {
      narrator_->TellBytes(who_, modemBlock ? "<- CTL_STATUS ModemStatus" : "<- CTL_STATUS KsefStatus",
                           message.data(), 2);
      Reply(std::move(reply), modemBlock ? "-> ModemStatus block" : "-> KsefStatus block");
      if (!modemBlock) narrator_->Tell(who_, "(the polls that follow are answered alike and not shown)");
    } else {
      Reply(std::move(reply), nullptr);
    }
    // Identified and its status taken: now it asks for its acquirer.
    if (config_.asksForLink && !modemBlock && !connectAsked_ && connectAt_ == 0) SendConnect();
    return;
  }
  if (narrator_)
    narrator_->TellBytes(who_, ToModemCaption(message.empty() ? 0xFF : message[0]), message.data(),
                         message.size());
  const uint8_t type = message.empty() ? 0xFF : message[0];
  bool ended = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (message.size() == 1 && type == CTL_CONNECTED) {
      ++counts_.connected;
      counts_.linked = true;
      counts_.connecting = false;
      linkStartMs_ = net::NowMs();
    } else if (message.size() == 1 && (type == CTL_CONNECT_FAILED || type == CTL_LINK_LOST)) {
      ++(type == CTL_LINK_LOST ? counts_.linkLost : counts_.connectFailed);
      lastResult_ = 3;  // "no connection" in the modem's exchange results
      ended = true;
    } else if (message.size() == 2 && type == CTL_START_EXCHANGE && message[1] == 1) {
      ++counts_.startExchange;
      // "Сеанс зв'язку": an exchange now, unless one is under way.
      if (!counts_.linked && !counts_.connecting) connectAt_ = 1;
    } else {
      ++counts_.otherMessages;
    }
  }
  if (ended) LinkEnded(config_.reconnect ? RETRY_MS : 0);
  if (type == CTL_CONNECTED && message.size() == 1) StartLink();
}

// A new link starts afresh: requests still unanswered went with the link
// before, and the server speaks only when asked, so whatever waits on the
// data OUT pipe came from that link too (the gateway lets a write under way
// when a link closes complete).
void SimModem::StartLink() {
  outstanding_.clear();
  parser_ = FrameParser();
  sentThisSession_ = 0;
  Bytes piece;
  uint64_t stale = 0;
  for (int n = 0; n < 1024 && bus_.Take(modem_, simbus::DATA_OUT, &piece, 0); ++n) stale += piece.size();
  std::lock_guard<std::mutex> hold(lock_);
  counts_.bytesStale += stale;
}

void SimModem::SendData() {
  if (config_.rate != 0) {
    const uint64_t sent = sentThisSession_ / config_.frameSize;
    if (FramesDue(config_, net::NowMs() - linkStartMs_) > sent + FramesDue(config_, 1000) + 1)
      linkStartMs_ = net::NowMs() - sent * (config_.frameSize + FRAME_OVERHEAD) * 1000 / config_.rate;
  }
  while (outstanding_.size() < config_.window && sentThisSession_ < config_.sessionBytes &&
         (config_.rate == 0 ||
          sentThisSession_ / config_.frameSize < FramesDue(config_, net::NowMs() - linkStartMs_))) {
    const uint32_t sequence = nextSequence_++;
    const Frame frame{FrameKind::Request, sequence, Payload(config_.number, sequence, config_.frameSize)};
    const Bytes bytes = EncodeFrame(frame);
    // Pieces go out with the exchange that takes the replies, or before
    // once a frame's worth of the bus protocol is pending.
    for (size_t at = 0; at < bytes.size(); at += DATA_PIECE) {
      const size_t piece = std::min<size_t>(DATA_PIECE, bytes.size() - at);
      if (sendBytes_ + piece > SEND_BYTES_LIMIT || sends_.size() >= SEND_COUNT_LIMIT) {
        if (!Flush()) return;
      }
      sends_.push_back({simbus::DATA_IN, Bytes(bytes.begin() + at, bytes.begin() + at + piece)});
      sendBytes_ += piece;
    }
    outstanding_.push_back(sequence);
    sentThisSession_ += config_.frameSize;
    std::lock_guard<std::mutex> hold(lock_);
    counts_.bytesOut += bytes.size();
  }
}

void SimModem::TakeData(uint32_t waitMs) {
  std::vector<Bytes> pieces;
  Exchange(simbus::DATA_OUT, 64, waitMs, &pieces);
  for (const Bytes& piece : pieces) {
    parser_.Feed(piece.data(), piece.size());
    std::lock_guard<std::mutex> hold(lock_);
    counts_.bytesBack += piece.size();
  }
  Frame reply;
  bool damaged = false;
  while (parser_.Next(&reply, &damaged)) {
    bool good = !damaged && reply.kind == FrameKind::Reply && !outstanding_.empty() &&
                reply.sequence == outstanding_.front();
    if (good) {
      const Frame request{FrameKind::Request, reply.sequence,
                          Payload(config_.number, reply.sequence, config_.frameSize)};
      good = ReplyTo(request).payload == reply.payload;
    }
    if (!outstanding_.empty()) outstanding_.pop_front();
    std::lock_guard<std::mutex> hold(lock_);
    ++(good ? counts_.repliesGood : counts_.repliesBad);
    if (!good && narrator_)
      narrator_->Say(who_, "reply %u is not the acquirer's: bytes lost or changed", reply.sequence);
  }
  if (parser_.Lost()) {
    if (narrator_) narrator_->Say(who_, "the data coming back makes no sense any more");
    std::lock_guard<std::mutex> hold(lock_);
    ++counts_.repliesBad;
    parser_ = FrameParser();
  }
  if (outstanding_.empty() && sentThisSession_ >= config_.sessionBytes) {
    if (narrator_) narrator_->Tell(who_, "every reply of this link checked; closes it");
    lastResult_ = 0;
    ControlIn({CTL_CONNECT}, "-> CTL_CONNECT (close the link)");
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++counts_.sessions;
    }
    LinkEnded(config_.reconnect ? RETRY_MS : 0);
  }
}

// With a set rate, waits for replies no longer than until the next request
// is due.
uint32_t SimModem::DataWaitMs(uint32_t waitMs) {
  if (config_.rate == 0 || outstanding_.size() >= config_.window) return waitMs;
  const uint64_t next = sentThisSession_ / config_.frameSize + 1;
  const uint64_t dueAt = linkStartMs_ + next * (config_.frameSize + FRAME_OVERHEAD) * 1000 / config_.rate;
  const uint64_t now = net::NowMs();
  return dueAt <= now ? 0 : static_cast<uint32_t>(std::min<uint64_t>(waitMs, dueAt - now));
}

uint32_t SimModem::ModemClock() {
  return CLOCK_START + static_cast<uint32_t>((net::NowMs() - startMs_) * CLOCK_RATE / 1000);
}

std::vector<uint8_t> SimModem::ModemStatusBlock() {
  const ModemCounts counts = Counts();
  const uint32_t clock = ModemClock();
  simbus::WireWriter w;
  w.U8(CTL_STATUS);
  w.U8(56);
  w.U8(STATUS_MODEM);
  w.U8(0);                                                                  // no fault
  w.U8(static_cast<uint8_t>(lastResult_ == 0x7FFFFFFF ? 0 : lastResult_));  // last exchange
  w.U32(static_cast<uint32_t>(std::strtoul(config_.serial.c_str(), nullptr, 10)));
  w.U32(1000 + config_.number);        // ID DEV
  w.U32(2000 + config_.number);        // ID SAM
  w.U32(3000 + config_.number);        // ID ACQ
  w.U32(clock - CLOCK_START + 86400);  // operating time
  w.U32(clock);
  w.U32(counts.sessions == 0 ? 0x7FFFFFFFu : clock - CLOCK_START);  // last exchange
  w.U32(CLOCK_START - 3600 * config_.number);                       // blocking window start
  w.U32(500 + counts.sessions);                                     // NT_SAM
  w.U16(static_cast<uint16_t>(counts.sessions));                    // NT_SESSION
  w.U8(static_cast<uint8_t>(counts.repliesGood));                   // NT_SESSION_LOW
  w.U8(counts.linked ? 1 : 0);                                      // current operation
  w.U16(60);                                                        // exchange period
  w.U16(0x0203);                                                    // version 2.3
  w.U16(17);                                                        // OS revision
  w.U16(config_.acquirerPort);
  w.Raw("\x7F\x00\x00\x01", 4);
  return w.bytes;
}

std::vector<uint8_t> SimModem::KsefStatusBlock() {
  const ModemCounts counts = Counts();
  const uint32_t packets = 1000 + counts.repliesGood;
  simbus::WireWriter w;
  w.U8(CTL_STATUS);
  w.U8(26);
  w.U8(STATUS_KSEF);
  w.U16(0);
  w.U16(static_cast<uint16_t>(
      std::min<uint32_t>(9999, 1200 + (ModemClock() - CLOCK_START) / 60)));  // store used
  w.U32(packets + 1);
  w.U32(1);
  w.U32(packets);
  w.U32(packets);
  w.U32(packets - (counts.linked ? 3 : 0));
  return w.bytes;
}

}  // namespace modemsim
