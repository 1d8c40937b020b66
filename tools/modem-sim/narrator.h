#pragma once
// The simulator's narration, in the console demo's manner: a time stamp,
// who speaks, the text; messages in hex, sixteen bytes a line. One lock
// keeps the lines of several modems' threads whole.
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace modemsim {

// The caption of a message the gateway sends to the modem ("<- CTL_...").
const char* ToModemCaption(uint8_t type);

class Narrator {
 public:
  explicit Narrator(bool verbose) : verbose_(verbose), start_(Now()) {}
  bool verbose() const { return verbose_; }
  // Always printed (progress, summary, failures).
  void Say(const char* who, const char* format, ...);
  // Printed only when verbose.
  void Tell(const char* who, const char* format, ...);
  // A message in hex, at most `shown` bytes of it, when verbose.
  void TellBytes(const char* who, const char* caption, const uint8_t* data, size_t size, size_t shown = 64);

 private:
  static uint64_t Now();
  void Line(const char* who, const char* format, void* args);

  bool verbose_;
  uint64_t start_;
  std::mutex lock_;
};

}  // namespace modemsim
