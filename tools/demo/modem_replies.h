#pragma once
// What the scripted modem says about itself: its identity and its two
// status blocks, laid out as the modem sends them on its control IN pipe.
#include <cstdint>
#include <vector>

constexpr char MODEM_SERIAL[] = "40001234";

// The CTL_IDENTIFY reply: 16 bytes, the serial from byte 5.
std::vector<uint8_t> IdentifyReply();
// The ModemStatus block. The modem's clock reads 14.03.25 09:30:00 and the
// 72-hour blocking window started an hour before; the last exchange with
// the acquirer failed to connect. The acquirer is 127.0.0.1 at `acquirerPort`.
std::vector<uint8_t> ModemStatusReply(uint16_t acquirerPort);
// The KsefStatus block: the store 96.12 % full, a few packets not yet sent.
std::vector<uint8_t> KsefStatusReply();
