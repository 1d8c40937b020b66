#pragma once
// The string table's texts as UTF-8, for code that runs without the
// compiled resources (native tests, and checks of the resources).
#include <cstdint>

#include "res/resource_ids.h"

// The text of string `id`, or null when there is none.
const char* StringTableText(uint32_t id);

// Copies string `id` into `buffer` the way LoadStringA does: at most
// bufferMax - 1 bytes and a NUL, nothing when bufferMax is below 1. Gives
// the number of bytes copied, 0 for an id without text.
int LoadStringTableText(uint32_t id, char* buffer, int bufferMax);
