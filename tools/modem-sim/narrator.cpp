#include "tools/modem-sim/narrator.h"

#include <cstdarg>
#include <cstdio>

#include "bridge/control_message.h"
#include "tools/modem-sim/net.h"

namespace modemsim {

const char* ToModemCaption(uint8_t type) {
  switch (type) {
    case CTL_CONNECTED:
      return "<- CTL_CONNECTED";
    case CTL_LINK_LOST:
      return "<- CTL_LINK_LOST";
    case CTL_CONNECT_FAILED:
      return "<- CTL_CONNECT_FAILED";
    case CTL_START_EXCHANGE:
      return "<- CTL_START_EXCHANGE";
    default:
      return "<- unexpected message";
  }
}

uint64_t Narrator::Now() {
  return net::NowMs();
}

void Narrator::Line(const char* who, const char* format, void* args) {
  const uint64_t elapsed = Now() - start_;
  std::lock_guard<std::mutex> hold(lock_);
  std::printf("[%3u.%02u] %-9s ", static_cast<unsigned>(elapsed / 1000),
              static_cast<unsigned>(elapsed % 1000 / 10), who);
  std::vprintf(format, *static_cast<va_list*>(args));
  std::printf("\n");
  std::fflush(stdout);
}

void Narrator::Say(const char* who, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Line(who, format, &args);
  va_end(args);
}

void Narrator::Tell(const char* who, const char* format, ...) {
  if (!verbose_) return;
  va_list args;
  va_start(args, format);
  Line(who, format, &args);
  va_end(args);
}

void Narrator::TellBytes(const char* who, const char* caption, const uint8_t* data, size_t size,
                         size_t shown) {
  if (!verbose_) return;
  Tell(who, "%s (%u bytes)", caption, static_cast<unsigned>(size));
  const size_t count = size < shown ? size : shown;
  std::lock_guard<std::mutex> hold(lock_);
  for (size_t row = 0; row < count; row += 16) {
    std::printf("%18s", "");
    for (size_t i = row; i < row + 16 && i < count; ++i) std::printf(" %02X", data[i]);
    if (row + 16 >= count && count < size) std::printf(" ...");
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace modemsim
