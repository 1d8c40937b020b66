#include "ui/status_rows.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "bridge/status_fields.h"
#include "bridge/status_logic.h"
#include "res/resource_ids.h"
#include "ui/code_tables.h"
#include "ui/date_time.h"

namespace {

constexpr uint32_t INFO_LABELS[INFO_ROW_COUNT] = {
    IDS_SERIAL_NUMBER,  IDS_IDENTIFIERS,     IDS_VERSION,           IDS_FAULT_CODE,      IDS_BLOCKING_TIME,
    IDS_SINCE_EXCHANGE, IDS_EXCHANGE_RESULT, IDS_ACQUIRER_SERVER,   IDS_EXCHANGE_PERIOD, IDS_NT_SAM,
    IDS_NT_SESSION,     IDS_NT_SESSION_LOW,  IDS_CURRENT_OPERATION, IDS_OPERATING_TIME,  IDS_MODEM_TIME,
    IDS_TRANSFERS,      IDS_VOLUME,
};

constexpr uint32_t KSEF_LABELS[KSEF_ROW_COUNT] = {
    IDS_STORE_USED,         IDS_NEXT_PACKET,        IDS_PERSONALIZATION_PACKET,
    IDS_LAST_STORED_PACKET, IDS_LAST_SIGNED_PACKET, IDS_LAST_SENT_PACKET,
};

constexpr uint32_t NO_WINDOW = 0xFFFFFFFFu;
constexpr uint32_t NO_EXCHANGE = 0x7FFFFFFFu;
constexpr uint32_t NO_PACKET = 0xFFFFFFFFu;
constexpr uint32_t ONE_DAY = 86400;
constexpr uint32_t STORE_USED_WARNING = 9500;  // hundredths of a percent

// The value's place behind the label's NUL.
struct Value {
  char* text;
  uint32_t size;  // at least 1
  StringLoader loadString;
};

int Capacity(uint32_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

void LoadText(const Value& v, uint32_t id) {
  v.loadString(id, v.text, Capacity(v.size));
}

void Duration(const Value& v, uint32_t seconds) {
  std::snprintf(v.text, v.size, "%02i:%02i:%02i", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds % 3600 / 60), static_cast<int>(seconds % 60));
}

int32_t BlockingTime(const Value& v, const StatusCache& c) {
  const uint32_t start = BlockingWindowStart(c);
  const uint32_t now = ModemTime(c);
  if (start == NO_WINDOW) return 0;
  if (start == 0 || now < start) {
    LoadText(v, IDS_UNKNOWN_DEADLINE);
    return 0;
  }
  const uint32_t remaining = BlockingRemaining(start, now);
  Duration(v, remaining);
  return remaining < ONE_DAY ? 1 : 0;
}

int32_t SinceExchange(const Value& v, const StatusCache& c) {
  const uint32_t at = LastExchangeAt(c);
  const uint32_t now = OperatingTime(c);
  if (at == NO_EXCHANGE || at > now) {
    LoadText(v, IDS_UNKNOWN_ELAPSED);
    return 0;
  }
  Duration(v, now - at);
  return now - at > ONE_DAY ? 1 : 0;
}

void ModemDateTime(const Value& v, uint32_t seconds) {
  uint16_t date = 0;
  uint32_t time = 0;
  // The full year count: the packed field cannot hold years past 2127.
  const uint32_t years = SecondsToDateTime(seconds, &date, &time);
  std::snprintf(v.text, v.size, "%02i.%02i.%02i %02i:%02i:%02i", static_cast<int>(PackedDay(date)),
                static_cast<int>(PackedMonth(date)), static_cast<int>(years),
                static_cast<int>(PackedHour(time)), static_cast<int>(PackedMinute(time)),
                static_cast<int>(PackedSecond(time)));
}

int32_t InfoValue(const Value& v, const StatusCache& c, const TrafficCounters& traffic, uint32_t row) {
  switch (row) {
    case 0:
      std::snprintf(v.text, v.size, "%08i", static_cast<int>(static_cast<int32_t>(SerialNumber(c))));
      return 0;
    case 1:
      std::snprintf(v.text, v.size, "%08X / %08X / %08X", static_cast<unsigned>(IdDev(c)),
                    static_cast<unsigned>(IdSam(c)), static_cast<unsigned>(IdAcq(c)));
      return IdDev(c) == 0 || IdSam(c) == 0 || IdAcq(c) == 0 ? 1 : 0;
    case 2:
      std::snprintf(v.text, v.size, "%02X.%02X / %04X", static_cast<unsigned>(Version(c) >> 8),
                    static_cast<unsigned>(Version(c) & 0xFF), static_cast<unsigned>(OsRevision(c)));
      return 0;
    case 3:
      if (FaultCode(c) == 0) return 0;
      std::snprintf(v.text, v.size, "0x%02X (%s)", static_cast<unsigned>(FaultCode(c)),
                    FaultCodeName(FaultCode(c)));
      return 1;
    case 4:
      return BlockingTime(v, c);
    case 5:
      return SinceExchange(v, c);
    case 6:
      std::snprintf(v.text, v.size, "0x%02X (%s)", static_cast<unsigned>(ExchangeResult(c)),
                    ExchangeResultName(ExchangeResult(c)));
      return ExchangeResult(c) != 0 ? 1 : 0;
    case 7: {
      const uint8_t* address = AcquirerAddress(c);
      std::snprintf(v.text, v.size, "%u.%u.%u.%u:%u", static_cast<unsigned>(address[0]),
                    static_cast<unsigned>(address[1]), static_cast<unsigned>(address[2]),
                    static_cast<unsigned>(address[3]), static_cast<unsigned>(AcquirerPort(c)));
      return 0;
    }
    case 8:
      std::snprintf(v.text, v.size, "%02i:%02i:00", static_cast<int>(ExchangePeriod(c) / 60),
                    static_cast<int>(ExchangePeriod(c) % 60));
      return 0;
    case 9:
      std::snprintf(v.text, v.size, "0x%08X (%u)", static_cast<unsigned>(NtSam(c)),
                    static_cast<unsigned>(NtSam(c)));
      return 0;
    case 10:
      std::snprintf(v.text, v.size, "0x%04X (%u)", static_cast<unsigned>(NtSession(c)),
                    static_cast<unsigned>(NtSession(c)));
      return 0;
    case 11:
      std::snprintf(v.text, v.size, "%u", static_cast<unsigned>(NtSessionLow(c)));
      return 0;
    case 12:
      std::snprintf(v.text, v.size, "%s", OperationName(CurrentOperation(c)));
      return 0;
    case 13:
      Duration(v, OperatingTime(c));
      return 0;
    case 14:
      ModemDateTime(v, ModemTime(c));
      return 0;
    case 15:
      std::snprintf(v.text, v.size, "%u / %u",
                    static_cast<unsigned>(traffic.receiveTransfers.load(std::memory_order_relaxed)),
                    static_cast<unsigned>(traffic.sendTransfers.load(std::memory_order_relaxed)));
      return 0;
    default:  // 16: the byte totals, modulo 2^32
      std::snprintf(
          v.text, v.size, "%u / %u",
          static_cast<unsigned>(static_cast<uint32_t>(traffic.receiveBytes.load(std::memory_order_relaxed))),
          static_cast<unsigned>(static_cast<uint32_t>(traffic.sendBytes.load(std::memory_order_relaxed))));
      return 0;
  }
}

void Packet(const Value& v, uint32_t packet) {
  if (packet == NO_PACKET) {
    std::snprintf(v.text, v.size, "-1");
  } else {
    std::snprintf(v.text, v.size, "%u", static_cast<unsigned>(packet));
  }
}

int32_t KsefValue(const Value& v, const StatusCache& c, uint32_t row) {
  switch (row) {
    case 0:
      std::snprintf(v.text, v.size, "%i.%02i%%", static_cast<int>(StoreUsed(c) / 100),
                    static_cast<int>(StoreUsed(c) % 100));
      return StoreUsed(c) > STORE_USED_WARNING ? 1 : 0;
    case 1:
      Packet(v, NextPacket(c));
      return 0;
    case 2:
      Packet(v, PersonalizationPacket(c));
      return 0;
    case 3:
      Packet(v, LastStoredPacket(c));
      return 0;
    case 4:
      Packet(v, LastSignedPacket(c));
      return 0;
    default:  // 5
      Packet(v, LastSentPacket(c));
      return 0;
  }
}

}  // namespace

uint32_t RowCount(int32_t tab) {
  return tab == TAB_INFO ? INFO_ROW_COUNT : KSEF_ROW_COUNT;
}

int32_t RenderStatusRow(const StatusCache& cache, const TrafficCounters& traffic, int32_t tab, uint32_t row,
                        char* buffer, uint32_t size, StringLoader loadString) {
  if (buffer == nullptr || size < 2) return 0;
  buffer[0] = '\0';
  buffer[1] = '\0';
  if (row >= RowCount(tab)) return 0;

  const bool info = tab == TAB_INFO;
  loadString(info ? INFO_LABELS[row] : KSEF_LABELS[row], buffer, Capacity(size - 1));
  buffer[size - 2] = '\0';  // whatever the loader did, the label ends in time for the value
  const uint32_t labelLength = static_cast<uint32_t>(std::strlen(buffer));
  const Value value{buffer + labelLength + 1, size - labelLength - 1, loadString};
  value.text[0] = '\0';

  if ((cache.statusFlags & (info ? SF_MODEM_STATUS : SF_KSEF_STATUS)) == 0) return 0;
  return info ? InfoValue(value, cache, traffic, row) : KsefValue(value, cache, row);
}
