#pragma once
// The main thread's side of the control channel, over the status cache:
// the poll, the taking of a message from the modem and the blocking check.
// Nothing here calls the OS; the Windows side allocates, posts and shows
// what these routines decide.
#include <cstdint>

#include "bridge/status_cache.h"

constexpr uint32_t BLOCKING_WINDOW = 259200;  // 72 hours, in seconds

// Remaining times (seconds) at which the blocking warning is raised,
// ascending, ended by a 0 entry.
constexpr int32_t WARNING_THRESHOLD_COUNT = 34;
extern const uint32_t WarningThresholds[WARNING_THRESHOLD_COUNT + 1];

constexpr uint32_t IDENTIFY_REPLY_MIN = 16;  // bytes of a CTL_IDENTIFY reply that is taken
constexpr uint32_t IDENTIFY_SERIAL_OFFSET = 5;
constexpr uint32_t DEVICE_MESSAGE_MIN = 3;  // shorter messages change nothing

constexpr uint32_t POLL_REQUEST_MAX = 2;       // bytes of the longest poll request
constexpr uint32_t WARNING_FORMAT_SIZE = 128;  // string 29, at most 127 characters
constexpr uint32_t WARNING_TEXT_SIZE = 256;    // the balloon shows at most 255

// The cache's start values: no serial, no block, no warning, the first tick
// polls, the first status request asks for the modem block.
void ResetStatusCache(StatusCache* cache);

// Counts one tick; true when this tick sends a request.
bool IsPollDue(StatusCache* cache);

// Writes this tick's request (CTL_IDENTIFY until a serial has been taken,
// then CTL_STATUS for the two blocks in turn) into `bytes`, which has room
// for POLL_REQUEST_MAX, and gives its length. Call it only once the buffer
// for the request is at hand: making a status request moves the turn on.
uint32_t MakePollRequest(StatusCache* cache, uint8_t* bytes);

// Seconds left of the blocking window that started at `start`, at the modem
// time `now` (not below `start`); 0 once the window has run out.
uint32_t BlockingRemaining(uint32_t start, uint32_t now);

// What the Windows side must do after a message has been taken, besides
// the refresh notice to an open status window, which is always due.
struct MessageOutcome {
  bool serialTaken;      // pass `serial` to the device's SetDisplayName
  bool warningDue;       // raise the blocking balloon ...
  int32_t warningHours;  // ... saying this many hours (rounded up)
};

// Takes one message from the modem (`count` bytes at `data`) into the cache.
// An identify reply's serial is cut to 15 characters and never read past
// the message; a status reply shorter than the block it announces is
// ignored, like every other message below its minimum.
MessageOutcome TakeDeviceMessage(StatusCache* cache, const uint8_t* data, uint32_t count);

// Expands the warning format (string 29: "%s" the serial, "%i" the hours)
// into `text` of `size` bytes, cut to fit. Gives the length written.
uint32_t FormatWarningText(char* text, uint32_t size, const char* format, const char* serial, int32_t hours);
