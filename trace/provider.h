#pragma once
// The program's trace provider, "Varnel": registered at start, it writes an
// event only while a trace session has it enabled at the event's level and
// keyword. Until then each event costs the one check of IsEnabled, and
// nothing is built.
#include <atomic>
#include <cstdint>

#include "trace/event_layout.h"

namespace trace {

constexpr char PROVIDER_NAME[] = "Varnel";

// Levels, as the system numbers them.
constexpr uint8_t LEVEL_ERROR = 2;
constexpr uint8_t LEVEL_WARNING = 3;
constexpr uint8_t LEVEL_INFO = 4;
// Keywords: which part of the program an event is about.
constexpr uint64_t KEYWORD_PROGRAM = 0x1;  // start, exit, balloons
constexpr uint64_t KEYWORD_DEVICE = 0x2;   // enumeration, opens, layouts, workers
constexpr uint64_t KEYWORD_LINK = 0x4;     // connect requests, their outcome, links' ends
constexpr uint64_t KEYWORD_USB = 0x8;      // failed USB transfers

// What the sessions asked for, kept current by the system's enable
// callback (level 0: disabled).
extern std::atomic<uint32_t> g_enabledLevel;
extern std::atomic<uint64_t> g_anyKeyword;
extern std::atomic<uint64_t> g_allKeyword;

// The system's rule for a keyword and the masks a session gave: a keyword
// of 0 always passes; otherwise it must meet MatchAnyKeyword and then every
// bit of MatchAllKeyword. A session that names no keyword (MatchAnyKeyword
// 0) takes them all, and its MatchAllKeyword is not used (EnableTraceEx2).
inline bool KeywordMatches(uint64_t keyword, uint64_t any, uint64_t all) {
  if (keyword == 0 || any == 0) return true;
  return (keyword & any) != 0 && (keyword & all) == all;
}

// The level at or below the session's, and the keyword as above.
inline bool IsEnabled(uint8_t level, uint64_t keyword) {
  const uint32_t enabled = g_enabledLevel.load(std::memory_order_relaxed);
  if (enabled == 0 || level > enabled) return false;
  return KeywordMatches(keyword, g_anyKeyword.load(std::memory_order_relaxed),
                        g_allKeyword.load(std::memory_order_relaxed));
}

// Registration; a failed one leaves every event disabled.
void RegisterProvider();
void UnregisterProvider();
// Writes a finished event (dropped when it overflowed). Keeps the caller's
// last error.
void WriteEvent(uint8_t level, uint64_t keyword, EventLayout& event);

}  // namespace trace
