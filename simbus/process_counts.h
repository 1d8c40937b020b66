#pragma once
// What a leak in the serving process would grow, for leak checks of the
// simulated build and of test programs.
#include <cstdint>

namespace simbus {

struct ProcessCounters {
  uint32_t handles;
  uint32_t threads;
  uint32_t privateKiB;  // private memory
};

ProcessCounters CountProcess();

}  // namespace simbus
