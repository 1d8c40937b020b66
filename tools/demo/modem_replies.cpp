#include "tools/demo/modem_replies.h"

#include <cstring>

#include "bridge/control_message.h"
#include "bridge/status_cache.h"

namespace {

constexpr uint32_t MODEM_TIME = 795259800;  // 14.03.2025 09:30:00, seconds since 2000
constexpr uint32_t HOUR = 3600;
constexpr uint32_t OPERATING_TIME = 4451532;  // 1236:32:12

void Put(std::vector<uint8_t>& message, uint32_t offset, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) message[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Type, block length, sub-type, then the block's fields at their offsets.
std::vector<uint8_t> StatusReply(uint8_t subtype, uint32_t blockSize) {
  std::vector<uint8_t> reply(1 + blockSize, 0);
  reply[0] = CTL_STATUS;
  reply[1] = static_cast<uint8_t>(blockSize);
  reply[2] = subtype;
  return reply;
}

}  // namespace

std::vector<uint8_t> IdentifyReply() {
  std::vector<uint8_t> reply(16, 0);
  reply[0] = CTL_IDENTIFY;
  std::memcpy(&reply[5], MODEM_SERIAL, sizeof MODEM_SERIAL);
  return reply;
}

std::vector<uint8_t> ModemStatusReply(uint16_t acquirerPort) {
  std::vector<uint8_t> reply = StatusReply(STATUS_MODEM, MODEM_STATUS_SIZE);
  Put(reply, 3, 0x00, 1);                      // fault code: none
  Put(reply, 4, 0xF0, 1);                      // last exchange: ERR_CNCT
  Put(reply, 5, 40001234, 4);                  // serial number
  Put(reply, 9, 0x00A1B2C3, 4);                // ID DEV
  Put(reply, 13, 0x5A3F0012, 4);               // ID SAM
  Put(reply, 17, 0x00000101, 4);               // ID ACQ
  Put(reply, 21, OPERATING_TIME, 4);           // operating time
  Put(reply, 25, MODEM_TIME, 4);               // the modem's clock
  Put(reply, 29, OPERATING_TIME - 3720, 4);    // last exchange 1 h 2 min ago
  Put(reply, 33, MODEM_TIME - HOUR, 4);        // blocking window started an hour ago
  Put(reply, 37, 1234, 4);                     // NT_SAM
  Put(reply, 41, 258, 2);                      // NT_SESSION
  Put(reply, 43, 7, 1);                        // NT_SESSION_LOW
  Put(reply, 44, 0x04, 1);                     // busy with ACQ_XCHG
  Put(reply, 45, 60, 2);                       // exchange period, minutes
  Put(reply, 47, 0x0203, 2);                   // version 2.3
  Put(reply, 49, 0x0115, 2);                   // OS revision
  Put(reply, 51, acquirerPort, 2);             // acquirer port
  const uint8_t loopback[4] = {127, 0, 0, 1};  // acquirer address, in dotted order
  std::memcpy(&reply[53], loopback, sizeof loopback);
  return reply;
}

std::vector<uint8_t> KsefStatusReply() {
  std::vector<uint8_t> reply = StatusReply(STATUS_KSEF, KSEF_STATUS_SIZE);
  Put(reply, 5, 9612, 2);    // store used, hundredths of a percent
  Put(reply, 7, 15021, 4);   // next packet
  Put(reply, 11, 1, 4);      // personalisation packet
  Put(reply, 15, 15020, 4);  // last stored
  Put(reply, 19, 15020, 4);  // last signed
  Put(reply, 23, 14987, 4);  // last sent
  return reply;
}
