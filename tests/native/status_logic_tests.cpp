// The main thread's control-channel logic: poll cadence, taking messages
// into the status cache, and the blocking warning.
#include "bridge/status_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/control_message.h"
#include "bridge/status_fields.h"
#include "res/string_table.h"
#include "tests/native/status_bytes.h"

namespace {

StatusCache FreshCache() {
  StatusCache cache;
  std::memset(&cache, 0xA5, sizeof cache);  // start values must not depend on prior contents
  ResetStatusCache(&cache);
  return cache;
}

// A transfer from the modem: the bytes given, the rest of the buffer stale.
struct Transfer {
  uint8_t data[CONTROL_READ_SIZE];
  uint32_t count;
};

Transfer StaleTransfer(uint32_t count) {
  Transfer t;
  std::memset(t.data, 0xEE, sizeof t.data);
  t.count = count;
  return t;
}

Transfer IdentifyReply(const std::string& serial, uint32_t count) {
  Transfer t = StaleTransfer(count);
  t.data[0] = CTL_IDENTIFY;
  std::memset(t.data + 1, 0x11, 4);
  std::memcpy(t.data + IDENTIFY_SERIAL_OFFSET, serial.c_str(), serial.size() + 1);
  return t;
}

Transfer ModemStatusReply(uint32_t windowStart, uint32_t modemTime, uint8_t length = 56,
                          uint32_t count = 57) {
  Transfer t = StaleTransfer(count);
  for (uint32_t i = 0; i < count; ++i) t.data[i] = static_cast<uint8_t>(i);
  t.data[0] = CTL_STATUS;
  t.data[1] = length;
  t.data[2] = STATUS_MODEM;
  PutLittleEndian(t.data + 25, modemTime, 4);
  PutLittleEndian(t.data + 33, windowStart, 4);
  return t;
}

Transfer KsefStatusReply(uint8_t length = 26, uint32_t count = 27) {
  Transfer t = StaleTransfer(count);
  for (uint32_t i = 0; i < count; ++i) t.data[i] = static_cast<uint8_t>(0x80 + i);
  t.data[0] = CTL_STATUS;
  t.data[1] = length;
  t.data[2] = STATUS_KSEF;
  return t;
}

MessageOutcome Take(StatusCache* cache, const Transfer& t) {
  return TakeDeviceMessage(cache, t.data, t.count);
}

std::vector<uint8_t> Poll(StatusCache* cache) {
  uint8_t bytes[POLL_REQUEST_MAX] = {};
  if (!IsPollDue(cache)) return {};
  const uint32_t length = MakePollRequest(cache, bytes);
  return std::vector<uint8_t>(bytes, bytes + length);
}

using Bytes = std::vector<uint8_t>;

TEST(StatusCache, StartValues) {
  const StatusCache cache = FreshCache();
  EXPECT_EQ(cache.warningIndex, -1);
  EXPECT_EQ(cache.statusFlags, 0u);
  EXPECT_EQ(cache.pollCounter, 2);
  EXPECT_EQ(cache.nextStatusSubtype, STATUS_MODEM);
  EXPECT_STREQ(cache.serial, "");
}

TEST(Poll, IdentifiesEveryTickUntilTheSerialIsKnownThenAlternatesBlocks) {
  StatusCache cache = FreshCache();
  for (int tick = 0; tick < 3; ++tick) EXPECT_EQ(Poll(&cache), Bytes({CTL_IDENTIFY})) << tick;

  Take(&cache, IdentifyReply("SN1", 16));
  const Bytes expected[] = {{CTL_STATUS, STATUS_MODEM},
                            {CTL_STATUS, STATUS_KSEF},
                            {CTL_STATUS, STATUS_MODEM},
                            {CTL_STATUS, STATUS_KSEF}};
  for (const Bytes& request : expected) EXPECT_EQ(Poll(&cache), request);
}

TEST(Poll, ATickWithoutABufferDoesNotMoveTheTurnOn) {
  StatusCache cache = FreshCache();
  Take(&cache, IdentifyReply("SN1", 16));
  EXPECT_EQ(Poll(&cache), Bytes({CTL_STATUS, STATUS_MODEM}));
  EXPECT_TRUE(IsPollDue(&cache));  // allocation fails: no request made this tick
  EXPECT_EQ(Poll(&cache), Bytes({CTL_STATUS, STATUS_KSEF}));
}

TEST(Identify, TakesAReplyOfSixteenBytesOrMore) {
  StatusCache cache = FreshCache();
  MessageOutcome outcome = Take(&cache, IdentifyReply("12345678", 15));
  EXPECT_FALSE(outcome.serialTaken);
  EXPECT_EQ(cache.statusFlags & SF_SERIAL_KNOWN, 0u);
  EXPECT_STREQ(cache.serial, "");

  outcome = Take(&cache, IdentifyReply("12345678", 16));
  EXPECT_TRUE(outcome.serialTaken);
  EXPECT_FALSE(outcome.warningDue);
  EXPECT_NE(cache.statusFlags & SF_SERIAL_KNOWN, 0u);
  EXPECT_STREQ(cache.serial, "12345678");
}

TEST(Identify, AnEmptySerialIsTakenAndClearsTheName) {
  StatusCache cache = FreshCache();
  Take(&cache, IdentifyReply("OLD", 16));
  const MessageOutcome outcome = Take(&cache, IdentifyReply("", 16));
  EXPECT_TRUE(outcome.serialTaken);
  EXPECT_STREQ(cache.serial, "");
  EXPECT_NE(cache.statusFlags & SF_SERIAL_KNOWN, 0u);
}

TEST(Identify, SerialNeverRunsPastTheCacheOrTheMessage) {
  struct Case {
    std::string text;  // written from byte 5 with its NUL, stale bytes after
    uint32_t count;
    const char* serial;
  };
  const Case cases[] = {
      {"123456789012345", 21, "123456789012345"},      // exactly 15 characters
      {"1234567890123456789", 25, "123456789012345"},  // longer: cut to 15
      // No NUL inside the message: the text ends with the message.
      {"ABCDEFGHIJK", 16, "ABCDEFGHIJK"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", 20, "ABCDEFGHIJKLMNO"},
      {"ABCDEFGHIJKL", 16, "ABCDEFGHIJK"},
  };
  for (const Case& c : cases) {
    StatusCache cache = FreshCache();
    Transfer t = IdentifyReply(c.text, c.count);
    const MessageOutcome outcome = Take(&cache, t);
    EXPECT_TRUE(outcome.serialTaken) << c.text;
    EXPECT_STREQ(cache.serial, c.serial) << c.text;
  }
}

TEST(StatusReply, TakesBlocksWhoseLengthByteAndTransferReachTheMinimum) {
  StatusCache cache = FreshCache();
  Take(&cache, ModemStatusReply(0, 0, 56, 57));
  EXPECT_EQ(cache.statusFlags, SF_MODEM_STATUS | SF_MODEM_UPDATED);
  EXPECT_EQ(std::memcmp(cache.modemStatus, ModemStatusReply(0, 0).data + 1, MODEM_STATUS_SIZE), 0);

  Take(&cache, KsefStatusReply(26, 27));
  EXPECT_EQ(cache.statusFlags, SF_MODEM_STATUS | SF_MODEM_UPDATED | SF_KSEF_STATUS | SF_KSEF_UPDATED);
  EXPECT_EQ(std::memcmp(cache.ksefStatus, KsefStatusReply().data + 1, KSEF_STATUS_SIZE), 0);
}

TEST(StatusReply, IgnoresShortBlocksAndUnknownSubtypes) {
  struct Case {
    const char* what;
    Transfer transfer;
  };
  Transfer subtype2 = KsefStatusReply(60, 61);
  subtype2.data[2] = 2;
  Transfer otherType = ModemStatusReply(0, 0);
  otherType.data[0] = 3;
  const Case cases[] = {
      {"modem length 55", ModemStatusReply(0, 0, 55, 57)},
      {"modem transfer shorter than its length", ModemStatusReply(0, 0, 56, 56)},
      {"modem transfer far shorter than its length", ModemStatusReply(0, 0, 60, 3)},
      {"ksef length 25", KsefStatusReply(25, 27)},
      {"ksef transfer shorter than its length", KsefStatusReply(26, 26)},
      {"sub-type 2", subtype2},
      {"type 3", otherType},
      {"0 bytes", StaleTransfer(0)},
      {"2 bytes", ModemStatusReply(0, 0, 56, 2)},
  };
  for (const Case& c : cases) {
    StatusCache cache = FreshCache();
    const StatusCache before = cache;
    const MessageOutcome outcome = Take(&cache, c.transfer);
    EXPECT_FALSE(outcome.serialTaken || outcome.warningDue) << c.what;
    EXPECT_EQ(std::memcmp(&cache, &before, sizeof cache), 0) << c.what;
  }
}

TEST(StatusReply, LongerBlocksStoreOnlyTheirKnownBytes) {
  StatusCache cache = FreshCache();
  const uint8_t ksefBefore[KSEF_STATUS_SIZE] = {};
  std::memcpy(cache.ksefStatus, ksefBefore, sizeof ksefBefore);
  const Transfer t = ModemStatusReply(0, 0, 60, 61);
  Take(&cache, t);
  EXPECT_EQ(std::memcmp(cache.modemStatus, t.data + 1, MODEM_STATUS_SIZE), 0);
  EXPECT_EQ(std::memcmp(cache.ksefStatus, ksefBefore, KSEF_STATUS_SIZE), 0);
  EXPECT_EQ(cache.statusFlags, SF_MODEM_STATUS | SF_MODEM_UPDATED);
}

TEST(StatusReply, UnsolicitedRepliesAreTakenAndRaiseTheFlagsAgain) {
  StatusCache cache = FreshCache();  // no serial yet, nothing asked for
  Take(&cache, KsefStatusReply());
  cache.statusFlags &= ~SF_KSEF_UPDATED;  // the status window has refreshed
  Take(&cache, KsefStatusReply());
  EXPECT_EQ(cache.statusFlags, SF_KSEF_STATUS | SF_KSEF_UPDATED);
}

// One ModemStatus block at `remaining` seconds before the deadline.
MessageOutcome BlockAtRemaining(StatusCache* cache, uint32_t remaining) {
  const uint32_t start = 1000;
  return Take(cache, ModemStatusReply(start, start + BLOCKING_WINDOW - remaining));
}

TEST(BlockingCheck, NoDeadlineClearsTheWarning) {
  struct Case {
    uint32_t start, now;
  };
  const Case cases[] = {{0, 5000}, {0xFFFFFFFFu, 5000}, {5000, 5000}, {5000, 4999}};
  for (const Case& c : cases) {
    StatusCache cache = FreshCache();
    cache.warningIndex = 7;
    const MessageOutcome outcome = Take(&cache, ModemStatusReply(c.start, c.now));
    EXPECT_FALSE(outcome.warningDue) << c.start << ' ' << c.now;
    EXPECT_EQ(cache.warningIndex, -1) << c.start << ' ' << c.now;
  }
}

TEST(BlockingCheck, WarnsOncePerThresholdWithTheHoursRoundedUp) {
  struct Step {
    uint32_t remaining;
    bool due;
    int32_t hours;
    int32_t index;
  };
  const Step steps[] = {
      {BLOCKING_WINDOW - 1, false, 0, 34},  // window just started
      {255601, false, 0, 34},               // 3599 s in
      {255600, true, 71, 33},               // one hour in
      {255000, false, 0, 33},
      {172800, true, 48, 32},
      {7000, true, 2, 1},  // skips many thresholds at once: one balloon
      {6000, false, 0, 1},
      {3600, true, 1, 0},
      {3500, false, 0, 0},
      {0, false, 0, 0},
      {100000, true, 28, 25},  // the clock went back: a balloon for the new threshold
  };
  StatusCache cache = FreshCache();
  for (const Step& s : steps) {
    const MessageOutcome outcome = BlockAtRemaining(&cache, s.remaining);
    EXPECT_EQ(outcome.warningDue, s.due) << s.remaining;
    if (s.due) {
      EXPECT_EQ(outcome.warningHours, s.hours) << s.remaining;
    }
    EXPECT_EQ(cache.warningIndex, s.index) << s.remaining;
  }
}

TEST(BlockingCheck, FirstBlockAfterTheWindowRanOutWarnsWithZeroHoursOnce) {
  StatusCache cache = FreshCache();
  MessageOutcome outcome = Take(&cache, ModemStatusReply(1000, 1000 + BLOCKING_WINDOW + 50));
  EXPECT_TRUE(outcome.warningDue);
  EXPECT_EQ(outcome.warningHours, 0);
  EXPECT_EQ(cache.warningIndex, 0);
  outcome = Take(&cache, ModemStatusReply(1000, 0xFFFFFFFFu));  // elapsed far beyond the window
  EXPECT_FALSE(outcome.warningDue);
}

TEST(BlockingCheck, EachThresholdBoundary) {
  for (int32_t i = 0; i < WARNING_THRESHOLD_COUNT; ++i) {
    const uint32_t threshold = WarningThresholds[i];
    StatusCache at = FreshCache();
    MessageOutcome outcome = BlockAtRemaining(&at, threshold);
    EXPECT_TRUE(outcome.warningDue) << threshold;
    EXPECT_EQ(outcome.warningHours, static_cast<int32_t>(threshold / 3600)) << threshold;
    EXPECT_EQ(at.warningIndex, i);

    StatusCache above = FreshCache();
    outcome = BlockAtRemaining(&above, threshold + 1);
    EXPECT_EQ(above.warningIndex, i + 1) << threshold;
    EXPECT_EQ(outcome.warningDue, i + 1 < WARNING_THRESHOLD_COUNT) << threshold;
    if (outcome.warningDue) {
      EXPECT_EQ(outcome.warningHours, static_cast<int32_t>(threshold / 3600 + 1));
    }
  }
  EXPECT_EQ(WarningThresholds[WARNING_THRESHOLD_COUNT], 0u);
}

TEST(BlockingCheck, ASecondBySecondCountdownWarnsAtTheListedHours) {
  std::vector<int32_t> hours;
  StatusCache cache = FreshCache();
  for (uint32_t remaining = BLOCKING_WINDOW; remaining-- > 0;) {
    const MessageOutcome outcome = BlockAtRemaining(&cache, remaining);
    if (outcome.warningDue) hours.push_back(outcome.warningHours);
  }
  std::vector<int32_t> expected = {71, 48, 44, 40, 36, 34, 32, 30, 28, 26};
  for (int32_t h = 24; h >= 1; --h) expected.push_back(h);
  EXPECT_EQ(hours, expected);
}

TEST(WarningText, FormatsSerialAndHours) {
  const char* format = StringTableText(IDS_BLOCKING_WARNING);
  ASSERT_NE(format, nullptr);
  char text[WARNING_TEXT_SIZE];
  const uint32_t length = FormatWarningText(text, sizeof text, format, "123456789012345", 71);
  const std::string expected = "Увага! До блокування ЕККР 123456789012345 залишилося менше 71 годин(и)!";
  EXPECT_EQ(std::string(text), expected);
  EXPECT_EQ(length, expected.size());
}

TEST(WarningText, IsCutToTheBuffer) {
  char text[8];
  std::memset(text, 'Z', sizeof text);
  EXPECT_EQ(FormatWarningText(text, 6, "%s has %i h", "SN", 12), 5u);
  EXPECT_STREQ(text, "SN ha");
  EXPECT_EQ(text[6], 'Z');
  EXPECT_EQ(FormatWarningText(text, 0, "%s %i", "SN", 1), 0u);
  EXPECT_EQ(text[0], 'S');
}

}  // namespace
