// Every row of both status tabs: label, value text and highlight, from a
// status cache and traffic counters set up here.
#include "ui/status_rows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "res/string_table.h"
#include "tests/native/status_bytes.h"

namespace {

struct Row {
  std::string label;
  std::string value;
  int32_t highlight;
};

constexpr uint32_t ROW_BUFFER_SIZE = 512;  // what the status window passes

Row Render(const StatusCache& cache, const TrafficCounters& traffic, int32_t tab, uint32_t row) {
  char buffer[ROW_BUFFER_SIZE];
  std::memset(buffer, 'Z', sizeof buffer);
  const int32_t highlight =
      RenderStatusRow(cache, traffic, tab, row, buffer, sizeof buffer, LoadStringTableText);
  const std::string label(buffer);
  return {label, std::string(buffer + label.size() + 1), highlight};
}

// Modem block fields by message offset.
void SetModem(StatusCache* c, uint32_t offset, uint32_t value, int bytes) {
  PutLittleEndian(c->modemStatus + offset - 1, value, bytes);
}
void SetKsef(StatusCache* c, uint32_t offset, uint32_t value, int bytes) {
  PutLittleEndian(c->ksefStatus + offset - 1, value, bytes);
}

// Both blocks present, every field at a plain value.
StatusCache FilledCache() {
  StatusCache c{};
  c.statusFlags = SF_SERIAL_KNOWN | SF_MODEM_STATUS | SF_KSEF_STATUS;
  SetModem(&c, 5, 12345, 4);        // serialNumber
  SetModem(&c, 9, 0x1A2B, 4);       // idDev
  SetModem(&c, 13, 0x3C4D, 4);      // idSam
  SetModem(&c, 17, 0x5E6F, 4);      // idAcq
  SetModem(&c, 21, 500000, 4);      // operatingTime
  SetModem(&c, 25, 1000000, 4);     // modemTime
  SetModem(&c, 29, 499000, 4);      // lastExchangeAt
  SetModem(&c, 33, 0xFFFFFFFF, 4);  // blockingWindowStart: no window
  SetModem(&c, 37, 77, 4);          // ntSam
  SetModem(&c, 41, 88, 2);          // ntSession
  SetModem(&c, 43, 9, 1);           // ntSessionLow
  SetModem(&c, 45, 60, 2);          // exchangePeriod
  SetModem(&c, 47, 0x0102, 2);      // version
  SetModem(&c, 49, 0x00AB, 2);      // osRevision
  SetModem(&c, 51, 5000, 2);        // acquirerPort
  c.modemStatus[52] = 10;           // acquirerAddress, message bytes 53..56
  c.modemStatus[53] = 0;
  c.modemStatus[54] = 0;
  c.modemStatus[55] = 1;
  SetKsef(&c, 5, 1234, 2);  // storeUsed
  SetKsef(&c, 7, 101, 4);   // nextPacket
  SetKsef(&c, 11, 102, 4);  // personalizationPacket
  SetKsef(&c, 15, 103, 4);  // lastStoredPacket
  SetKsef(&c, 19, 104, 4);  // lastSignedPacket
  SetKsef(&c, 23, 105, 4);  // lastSentPacket
  return c;
}

TrafficCounters& Traffic() {
  static TrafficCounters traffic{};
  return traffic;
}

const uint32_t INFO_LABEL_IDS[INFO_ROW_COUNT] = {7,  8, 11, 13, 18, 16, 17, 12, 30,
                                                 10, 9, 31, 32, 14, 15, 19, 20};
const uint32_t KSEF_LABEL_IDS[KSEF_ROW_COUNT] = {21, 22, 23, 24, 25, 26};

TEST(StatusRows, RowCounts) {
  EXPECT_EQ(RowCount(TAB_INFO), 17u);
  EXPECT_EQ(RowCount(TAB_KSEF), 6u);
  EXPECT_EQ(RowCount(2), 6u);
  EXPECT_EQ(RowCount(-1), 6u);
}

TEST(StatusRows, LabelsWithEmptyValuesBeforeAnyBlock) {
  StatusCache cache = FilledCache();
  cache.statusFlags = SF_SERIAL_KNOWN;
  TrafficCounters traffic{};
  traffic.receiveTransfers = 5;
  traffic.sendBytes = 700;
  for (uint32_t row = 0; row < INFO_ROW_COUNT; ++row) {
    const Row r = Render(cache, traffic, TAB_INFO, row);
    EXPECT_EQ(r.label, StringTableText(INFO_LABEL_IDS[row])) << row;
    EXPECT_EQ(r.value, "") << row;
    EXPECT_EQ(r.highlight, 0) << row;
  }
  for (uint32_t row = 0; row < KSEF_ROW_COUNT; ++row) {
    const Row r = Render(cache, traffic, TAB_KSEF, row);
    EXPECT_EQ(r.label, StringTableText(KSEF_LABEL_IDS[row])) << row;
    EXPECT_EQ(r.value, "") << row;
  }
  // Each tab follows its own block.
  cache.statusFlags = SF_KSEF_STATUS;
  EXPECT_EQ(Render(cache, traffic, TAB_INFO, 15).value, "");
  EXPECT_EQ(Render(cache, traffic, TAB_KSEF, 1).value, "101");
  cache.statusFlags = SF_MODEM_STATUS;
  EXPECT_EQ(Render(cache, traffic, TAB_INFO, 15).value, "5 / 0");
  EXPECT_EQ(Render(cache, traffic, TAB_KSEF, 1).value, "");
}

struct RowCase {
  const char* what;
  int32_t tab;
  uint32_t row;
  std::function<void(StatusCache*)> set;
  const char* value;
  int32_t highlight;
};

void CheckRows(const std::vector<RowCase>& cases) {
  for (const RowCase& c : cases) {
    StatusCache cache = FilledCache();
    if (c.set) c.set(&cache);
    const Row r = Render(cache, Traffic(), c.tab, c.row);
    EXPECT_EQ(r.label, StringTableText(c.tab == TAB_INFO ? INFO_LABEL_IDS[c.row] : KSEF_LABEL_IDS[c.row]))
        << c.what;
    EXPECT_EQ(r.value, c.value) << c.what;
    EXPECT_EQ(r.highlight, c.highlight) << c.what;
  }
}

// Sets the blocking window to start `elapsed` seconds before the modem time.
std::function<void(StatusCache*)> WindowElapsed(uint32_t elapsed) {
  return [elapsed](StatusCache* c) { SetModem(c, 33, 1000000 - elapsed, 4); };
}

std::function<void(StatusCache*)> Field(uint32_t offset, uint32_t value, int bytes) {
  return [=](StatusCache* c) { SetModem(c, offset, value, bytes); };
}

TEST(StatusRows, IdentityRows) {
  CheckRows({
      {"serial", TAB_INFO, 0, nullptr, "00012345", 0},
      {"serial, 9 digits", TAB_INFO, 0, Field(5, 123456789, 4), "123456789", 0},
      {"serial, signed", TAB_INFO, 0, Field(5, 0xFFFFFFFF, 4), "-0000001", 0},
      {"ids", TAB_INFO, 1, nullptr, "00001A2B / 00003C4D / 00005E6F", 0},
      {"ids, full width", TAB_INFO, 1, Field(13, 0xFFFFFFFF, 4), "00001A2B / FFFFFFFF / 00005E6F", 0},
      {"idDev 0", TAB_INFO, 1, Field(9, 0, 4), "00000000 / 00003C4D / 00005E6F", 1},
      {"idSam 0", TAB_INFO, 1, Field(13, 0, 4), "00001A2B / 00000000 / 00005E6F", 1},
      {"idAcq 0", TAB_INFO, 1, Field(17, 0, 4), "00001A2B / 00003C4D / 00000000", 1},
      {"version", TAB_INFO, 2, nullptr, "01.02 / 00AB", 0},
      {"version, high", TAB_INFO, 2, Field(47, 0xFE0A, 2), "FE.0A / 00AB", 0},
  });
}

TEST(StatusRows, FaultAndExchangeResultRows) {
  CheckRows({
      {"no fault", TAB_INFO, 3, Field(3, 0, 1), "", 0},
      {"KSEF_FULL", TAB_INFO, 3, Field(3, 0x24, 1), "0x24 (KSEF_FULL)", 1},
      {"ACQ_REJECT", TAB_INFO, 3, Field(3, 0x60, 1), "0x60 (ACQ_REJECT)", 1},
      {"unknown fault", TAB_INFO, 3, Field(3, 0x99, 1), "0x99 (UNKNOWN)", 1},
      {"result OK", TAB_INFO, 6, Field(4, 0, 1), "0x00 (OK)", 0},
      {"result TIMEOUT", TAB_INFO, 6, Field(4, 0xF3, 1), "0xF3 (TIMEOUT)", 1},
      {"result TIMEOUT 2", TAB_INFO, 6, Field(4, 0x02, 1), "0x02 (TIMEOUT)", 1},
      {"result ABORTED", TAB_INFO, 6, Field(4, 0xE0, 1), "0xE0 (ABORTED)", 1},
      {"result unknown", TAB_INFO, 6, Field(4, 0x0A, 1), "0x0A (UNKNOWN)", 1},
      {"operation none", TAB_INFO, 12, Field(44, 0, 1), "", 0},
      {"operation ACQ_XCHG", TAB_INFO, 12, Field(44, 4, 1), "ACQ_XCHG", 0},
      {"operation unknown", TAB_INFO, 12, Field(44, 6, 1), "UNKNOWN", 0},
      {"operation FAIL", TAB_INFO, 12, Field(44, 0xFF, 1), "FAIL", 0},
  });
}

TEST(StatusRows, BlockingTimeRow) {
  CheckRows({
      {"no window", TAB_INFO, 4, nullptr, "", 0},
      {"no start", TAB_INFO, 4, Field(33, 0, 4), "Невідомий", 0},
      {"start after the clock", TAB_INFO, 4, Field(33, 1000001, 4), "Невідомий", 0},
      {"just started", TAB_INFO, 4, WindowElapsed(0), "72:00:00", 0},
      {"one hour in", TAB_INFO, 4, WindowElapsed(3600), "71:00:00", 0},
      {"a day left", TAB_INFO, 4, WindowElapsed(172800), "24:00:00", 0},
      {"under a day left", TAB_INFO, 4, WindowElapsed(172801), "23:59:59", 1},
      {"ran out", TAB_INFO, 4, WindowElapsed(259200), "00:00:00", 1},
      {"long past", TAB_INFO, 4, WindowElapsed(999999), "00:00:00", 1},
  });
}

TEST(StatusRows, DurationRows) {
  CheckRows({
      {"since exchange", TAB_INFO, 5, nullptr, "00:16:40", 0},
      {"no exchange", TAB_INFO, 5, Field(29, 0x7FFFFFFF, 4), "Невідомо", 0},
      {"exchange after now", TAB_INFO, 5, Field(29, 500001, 4), "Невідомо", 0},
      {"exchange now", TAB_INFO, 5, Field(29, 500000, 4), "00:00:00", 0},
      {"a day ago", TAB_INFO, 5, Field(29, 500000 - 86400, 4), "24:00:00", 0},
      {"over a day ago", TAB_INFO, 5, Field(29, 500000 - 86401, 4), "24:00:01", 1},
      {"100 hours ago", TAB_INFO, 5, Field(29, 500000 - 360000, 4), "100:00:00", 1},
      {"operating time", TAB_INFO, 13, Field(21, 3661, 4), "01:01:01", 0},
      {"operating time, unsigned", TAB_INFO, 13, Field(21, 0xFFFFFFFF, 4), "1193046:28:15", 0},
      {"exchange period", TAB_INFO, 8, Field(45, 90, 2), "01:30:00", 0},
      {"exchange period 0", TAB_INFO, 8, Field(45, 0, 2), "00:00:00", 0},
      {"exchange period max", TAB_INFO, 8, Field(45, 65535, 2), "1092:15:00", 0},
  });
}

TEST(StatusRows, AddressAndCounterRows) {
  CheckRows({
      {"acquirer", TAB_INFO, 7, nullptr, "10.0.0.1:5000", 0},
      {"acquirer, high", TAB_INFO, 7, Field(51, 0xFFFFFFFF, 4) /* port and the first two bytes */,
       "255.255.0.1:65535", 0},
      {"nt sam", TAB_INFO, 9, Field(37, 0x12345678, 4), "0x12345678 (305419896)", 0},
      {"nt sam max", TAB_INFO, 9, Field(37, 0xFFFFFFFF, 4), "0xFFFFFFFF (4294967295)", 0},
      {"nt session", TAB_INFO, 10, Field(41, 0xABCD, 2), "0xABCD (43981)", 0},
      {"nt session low", TAB_INFO, 11, Field(43, 200, 1), "200", 0},
  });
}

TEST(StatusRows, ModemTimeRow) {
  CheckRows({
      {"epoch", TAB_INFO, 14, Field(25, 0, 4), "01.01.00 00:00:00", 0},
      {"end of 2000", TAB_INFO, 14, Field(25, 31622399, 4), "31.12.00 23:59:59", 0},
      {"start of 2001", TAB_INFO, 14, Field(25, 31622400, 4), "01.01.01 00:00:00", 0},
      {"leap day passed", TAB_INFO, 14, Field(25, 5184000, 4), "01.03.00 00:00:00", 0},
      {"2099", TAB_INFO, 14, Field(25, 3155759999u, 4), "31.12.99 23:59:59", 0},
      {"2100", TAB_INFO, 14, Field(25, 3155760000u, 4), "01.01.100 00:00:00", 0},
      // Past the packed year field: the full year count, not a wrapped one.
      {"end of the clock", TAB_INFO, 14, Field(25, 0xFFFFFFFF, 4), "06.02.136 06:28:15", 0},
  });
}

TEST(StatusRows, TrafficRows) {
  TrafficCounters traffic{};
  traffic.receiveTransfers = 7;
  traffic.sendTransfers = 4294967295u;
  traffic.receiveBytes = 4294967296ull;  // 4 GiB shows as 0
  traffic.sendBytes = 3 * 4294967296ull + 5;
  const StatusCache cache = FilledCache();
  Row r = Render(cache, traffic, TAB_INFO, 15);
  EXPECT_EQ(r.value, "7 / 4294967295");
  EXPECT_EQ(r.highlight, 0);
  r = Render(cache, traffic, TAB_INFO, 16);
  EXPECT_EQ(r.value, "0 / 5");
  EXPECT_EQ(r.highlight, 0);
}

std::function<void(StatusCache*)> Ksef(uint32_t offset, uint32_t value, int bytes) {
  return [=](StatusCache* c) { SetKsef(c, offset, value, bytes); };
}

TEST(StatusRows, KsefRows) {
  CheckRows({
      {"store used", TAB_KSEF, 0, nullptr, "12.34%", 0},
      {"store at the limit", TAB_KSEF, 0, Ksef(5, 9500, 2), "95.00%", 0},
      {"store over the limit", TAB_KSEF, 0, Ksef(5, 9501, 2), "95.01%", 1},
      {"store nearly empty", TAB_KSEF, 0, Ksef(5, 5, 2), "0.05%", 0},
      {"store max", TAB_KSEF, 0, Ksef(5, 65535, 2), "655.35%", 1},
      {"next", TAB_KSEF, 1, nullptr, "101", 0},
      {"personalization", TAB_KSEF, 2, nullptr, "102", 0},
      {"stored", TAB_KSEF, 3, nullptr, "103", 0},
      {"signed", TAB_KSEF, 4, nullptr, "104", 0},
      {"sent", TAB_KSEF, 5, nullptr, "105", 0},
      {"next none", TAB_KSEF, 1, Ksef(7, 0xFFFFFFFF, 4), "-1", 0},
      {"next large", TAB_KSEF, 1, Ksef(7, 0xFFFFFFFE, 4), "4294967294", 0},
      {"personalization none", TAB_KSEF, 2, Ksef(11, 0xFFFFFFFF, 4), "-1", 0},
      {"stored none", TAB_KSEF, 3, Ksef(15, 0xFFFFFFFF, 4), "-1", 0},
      {"signed none", TAB_KSEF, 4, Ksef(19, 0xFFFFFFFF, 4), "-1", 0},
      {"sent none", TAB_KSEF, 5, Ksef(23, 0xFFFFFFFF, 4), "-1", 0},
      {"sent zero", TAB_KSEF, 5, Ksef(23, 0, 4), "0", 0},
  });
}

TEST(StatusRows, AnyOtherTabIsTheKsefTab) {
  const StatusCache cache = FilledCache();
  const Row r = Render(cache, Traffic(), 5, 1);
  EXPECT_EQ(r.label, StringTableText(22));
  EXPECT_EQ(r.value, "101");
}

TEST(StatusRows, RowsBeyondTheTabAreEmpty) {
  struct Case {
    int32_t tab;
    uint32_t row;
  };
  const Case cases[] = {{TAB_INFO, 17}, {TAB_INFO, 1000}, {TAB_INFO, 0xFFFFFFFFu},
                        {TAB_KSEF, 6},  {TAB_KSEF, 16},   {3, 6},
                        {-1, 6}};
  const StatusCache cache = FilledCache();
  for (const Case& c : cases) {
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(RenderStatusRow(cache, Traffic(), c.tab, c.row, buffer, sizeof buffer, LoadStringTableText), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '\0');
    EXPECT_EQ(buffer[2], 'Z');
  }
}

TEST(StatusRows, BuffersBelowTwoBytesAreLeftAlone) {
  const StatusCache cache = FilledCache();
  char buffer[4] = {'Z', 'Z', 'Z', 'Z'};
  EXPECT_EQ(RenderStatusRow(cache, Traffic(), TAB_INFO, 3, buffer, 0, LoadStringTableText), 0);
  EXPECT_EQ(RenderStatusRow(cache, Traffic(), TAB_INFO, 3, buffer, 1, LoadStringTableText), 0);
  EXPECT_EQ(RenderStatusRow(cache, Traffic(), TAB_INFO, 3, nullptr, 512, LoadStringTableText), 0);
  EXPECT_EQ(std::string(buffer, 4), "ZZZZ");
}

// Every row into every small size: nothing is written past the buffer, the
// label and value are cut from the left, and the highlight does not change.
TEST(StatusRows, SmallBuffersAreNeverOverrun) {
  StatusCache cache = FilledCache();
  SetModem(&cache, 3, 0x24, 1);         // a fault, so row 3 has a value
  SetModem(&cache, 33, 999000, 4);      // a window, so row 4 has a duration
  SetModem(&cache, 29, 0x7FFFFFFF, 4);  // row 5 loads a string behind the label
  TrafficCounters traffic{};
  traffic.receiveTransfers = 123456;
  for (int32_t tab : {TAB_INFO, TAB_KSEF}) {
    for (uint32_t row = 0; row < RowCount(tab); ++row) {
      const Row full = Render(cache, traffic, tab, row);
      for (uint32_t size = 2; size < 120; ++size) {
        // Exactly `size` bytes on the heap, so the sanitizer sees any overrun.
        std::unique_ptr<char[]> buffer(new char[size]);
        std::memset(buffer.get(), 'Z', size);
        const int32_t highlight =
            RenderStatusRow(cache, traffic, tab, row, buffer.get(), size, LoadStringTableText);
        const std::string label(buffer.get(), strnlen(buffer.get(), size));
        ASSERT_LT(label.size(), size - 1) << tab << ' ' << row << ' ' << size;
        const char* valueStart = buffer.get() + label.size() + 1;
        const std::string value(valueStart, strnlen(valueStart, size - label.size() - 1));
        ASSERT_LT(label.size() + 1 + value.size(), size);
        EXPECT_EQ(full.label.compare(0, label.size(), label), 0) << tab << ' ' << row << ' ' << size;
        EXPECT_EQ(full.value.compare(0, value.size(), value), 0) << tab << ' ' << row << ' ' << size;
        EXPECT_EQ(highlight, full.highlight);
        if (size > full.label.size() + full.value.size() + 1) {
          EXPECT_EQ(label, full.label);
          EXPECT_EQ(value, full.value);
        }
      }
    }
  }
}

}  // namespace
