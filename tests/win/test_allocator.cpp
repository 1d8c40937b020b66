#include "tests/win/test_allocator.h"

#include <atomic>
#include <cstdlib>

#include "bridge/io_buffer.h"

namespace {
std::atomic<bool> g_fail{false};
std::atomic<long> g_live{0};
}  // namespace

IoBuffer* AllocIoBuffer() {
  if (g_fail.load()) return nullptr;
  auto* buffer = static_cast<IoBuffer*>(std::calloc(1, sizeof(IoBuffer)));
  if (buffer != nullptr) ++g_live;
  return buffer;
}

void FreeIoBuffer(IoBuffer* buffer) {
  if (buffer == nullptr) return;
  --g_live;
  std::free(buffer);
}

namespace test_alloc {

void FailAllocations(bool fail) {
  g_fail = fail;
}

long LiveBuffers() {
  return g_live.load();
}

}  // namespace test_alloc
