#pragma once
// Control-channel messages: one USB transfer on the control pipe pair, byte 0
// = type, the transfer length = the message length; multi-byte fields are
// little-endian.
#include <cstdint>

constexpr uint8_t CTL_IDENTIFY = 0;  // request 1 byte; reply >= 16 bytes, serial text from byte 5
constexpr uint8_t CTL_CONNECT = 1;  // from the modem: 1..3 bytes close, >= 4 bytes open to the text at byte 3
constexpr uint8_t CTL_CONNECTED = 3;       // to the modem, 1 byte
constexpr uint8_t CTL_LINK_LOST = 4;       // to the modem, 1 byte
constexpr uint8_t CTL_CONNECT_FAILED = 5;  // to the modem, 1 byte
constexpr uint8_t CTL_STATUS = 6;          // request 2 bytes (sub-type); reply: length, sub-type, block
constexpr uint8_t CTL_START_EXCHANGE = 7;  // to the modem, 2 bytes: 7, 1

constexpr uint8_t STATUS_MODEM = 0;
constexpr uint8_t STATUS_KSEF = 1;

constexpr uint32_t CONTROL_READ_SIZE = 64;   // one control IN read, one message
constexpr uint32_t CONNECT_TEXT_OFFSET = 3;  // the address text of CTL_CONNECT starts here
