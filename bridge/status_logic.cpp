#include "bridge/status_logic.h"

#include <cstdio>
#include <cstring>

#include "bridge/control_message.h"
#include "bridge/status_fields.h"

const uint32_t WarningThresholds[WARNING_THRESHOLD_COUNT + 1] = {
    // every hour from 1 h to 24 h
    3600, 7200, 10800, 14400, 18000, 21600, 25200, 28800, 32400, 36000, 39600, 43200, 46800, 50400, 54000,
    57600, 61200, 64800, 68400, 72000, 75600, 79200, 82800, 86400,
    // every 2 hours from 26 h to 36 h
    93600, 100800, 108000, 115200, 122400, 129600,
    // every 4 hours from 40 h to 48 h
    144000, 158400, 172800,
    // 71 h: the first warning, one hour into the window
    255600,
    // end
    0};

namespace {

constexpr int32_t NO_WARNING = -1;
constexpr int32_t POLL_PERIOD_TICKS = 1;
constexpr int32_t POLL_COUNTER_START = 2;
constexpr uint32_t NO_WINDOW = 0xFFFFFFFFu;
constexpr uint32_t NO_START = 0;
constexpr uint32_t SECONDS_PER_HOUR = 3600;

void TakeSerial(StatusCache* cache, const uint8_t* data, uint32_t count) {
  uint32_t length = 0;
  while (length < SERIAL_SIZE - 1 && IDENTIFY_SERIAL_OFFSET + length < count &&
         data[IDENTIFY_SERIAL_OFFSET + length] != 0) {
    cache->serial[length] = static_cast<char>(data[IDENTIFY_SERIAL_OFFSET + length]);
    ++length;
  }
  cache->serial[length] = '\0';
  cache->statusFlags |= SF_SERIAL_KNOWN;
}

// Sets warningIndex from the stored modem block; true when the balloon is
// due, with the hours it names.
bool CheckBlocking(StatusCache* cache, int32_t* hours) {
  const uint32_t start = BlockingWindowStart(*cache);
  const uint32_t now = ModemTime(*cache);
  if (start == NO_WINDOW || start == NO_START || now <= start) {
    cache->warningIndex = NO_WARNING;
    return false;
  }
  const uint32_t remaining = BlockingRemaining(start, now);
  int32_t index = 0;
  while (WarningThresholds[index] != 0 && WarningThresholds[index] < remaining) ++index;
  const bool due = index < WARNING_THRESHOLD_COUNT && index != cache->warningIndex;
  if (due) *hours = static_cast<int32_t>((remaining + SECONDS_PER_HOUR - 1) / SECONDS_PER_HOUR);
  cache->warningIndex = index;
  return due;
}

void TakeStatusReply(StatusCache* cache, const uint8_t* data, uint32_t count, MessageOutcome* outcome) {
  const uint8_t announced = data[1];
  switch (data[2]) {
    case STATUS_MODEM:
      if (announced < MODEM_STATUS_SIZE || count < 1 + MODEM_STATUS_SIZE) return;
      std::memcpy(cache->modemStatus, data + 1, MODEM_STATUS_SIZE);
      cache->statusFlags |= SF_MODEM_UPDATED | SF_MODEM_STATUS;
      outcome->warningDue = CheckBlocking(cache, &outcome->warningHours);
      return;
    case STATUS_KSEF:
      if (announced < KSEF_STATUS_SIZE || count < 1 + KSEF_STATUS_SIZE) return;
      std::memcpy(cache->ksefStatus, data + 1, KSEF_STATUS_SIZE);
      cache->statusFlags |= SF_KSEF_UPDATED | SF_KSEF_STATUS;
      return;
    default:
      return;
  }
}

}  // namespace

void ResetStatusCache(StatusCache* cache) {
  cache->warningIndex = NO_WARNING;
  cache->statusFlags = 0;
  cache->pollCounter = POLL_COUNTER_START;
  cache->nextStatusSubtype = STATUS_MODEM;
  std::memset(cache->serial, 0, sizeof cache->serial);
  std::memset(cache->modemStatus, 0, sizeof cache->modemStatus);
  std::memset(cache->ksefStatus, 0, sizeof cache->ksefStatus);
}

bool IsPollDue(StatusCache* cache) {
  if (++cache->pollCounter < POLL_PERIOD_TICKS) return false;
  cache->pollCounter = 0;
  return true;
}

uint32_t MakePollRequest(StatusCache* cache, uint8_t* bytes) {
  if ((cache->statusFlags & SF_SERIAL_KNOWN) == 0) {
    bytes[0] = CTL_IDENTIFY;
    return 1;
  }
  bytes[0] = CTL_STATUS;
  bytes[1] = cache->nextStatusSubtype;
  cache->nextStatusSubtype = cache->nextStatusSubtype == STATUS_MODEM ? STATUS_KSEF : STATUS_MODEM;
  return 2;
}

uint32_t BlockingRemaining(uint32_t start, uint32_t now) {
  const uint32_t elapsed = now - start;
  return BLOCKING_WINDOW - (elapsed < BLOCKING_WINDOW ? elapsed : BLOCKING_WINDOW);
}

MessageOutcome TakeDeviceMessage(StatusCache* cache, const uint8_t* data, uint32_t count) {
  MessageOutcome outcome{};
  if (count < DEVICE_MESSAGE_MIN) return outcome;
  switch (data[0]) {
    case CTL_IDENTIFY:
      if (count < IDENTIFY_REPLY_MIN) break;
      TakeSerial(cache, data, count);
      outcome.serialTaken = true;
      break;
    case CTL_STATUS:
      TakeStatusReply(cache, data, count, &outcome);
      break;
    default:
      break;
  }
  return outcome;
}

uint32_t FormatWarningText(char* text, uint32_t size, const char* format, const char* serial, int32_t hours) {
  if (size == 0) return 0;
  const int written = std::snprintf(text, size, format, serial, static_cast<int>(hours));
  if (written < 0) {
    text[0] = '\0';
    return 0;
  }
  return static_cast<uint32_t>(written) < size ? static_cast<uint32_t>(written) : size - 1;
}
