#pragma once
// Ctrl-C and a termination request end the simulator's programs cleanly:
// the handlers only raise this flag, which their loops watch.
#include <atomic>

// Installs the handlers on the first call; gives the flag they raise.
std::atomic<bool>& StopRequested();
