#include "tools/modem-sim/interrupt.h"

#include <csignal>

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop = true;
}

}  // namespace

std::atomic<bool>& StopRequested() {
  static const bool installed = [] {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    return true;
  }();
  (void)installed;
  return g_stop;
}
