#include "tests/win/freed_memory_guard.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_guarding{false};
constexpr uint64_t GUARDED = 0x6775617264656421ull;  // marks a guarded block's header
constexpr size_t HEADER = 16;                        // keeps the block 16-byte aligned
constexpr uintptr_t PAGE = 4096;

void* Allocate(size_t size) {
  if (!g_guarding.load()) return std::malloc(size != 0 ? size : 1);
  auto* base =
      static_cast<uint8_t*>(VirtualAlloc(nullptr, size + HEADER, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base == nullptr) return nullptr;
  *reinterpret_cast<uint64_t*>(base) = GUARDED;
  return base + HEADER;
}

void Free(void* block) {
  if (block == nullptr) return;
  auto* base = static_cast<uint8_t*>(block) - HEADER;
  // A guarded block starts its pages; the header of one already freed is
  // gone with them, and reading it faults.
  if ((reinterpret_cast<uintptr_t>(base) & (PAGE - 1)) == 0 &&
      *reinterpret_cast<uint64_t*>(base) == GUARDED) {
    VirtualFree(base, 0, MEM_DECOMMIT);
    return;
  }
  std::free(block);
}

}  // namespace

namespace freed_guard {

void Guard(bool on) {
  g_guarding.store(on);
}

}  // namespace freed_guard

void* operator new(size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](size_t size) {
  return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void operator delete(void* block) noexcept {
  Free(block);
}
void operator delete[](void* block) noexcept {
  Free(block);
}
void operator delete(void* block, size_t) noexcept {
  Free(block);
}
void operator delete[](void* block, size_t) noexcept {
  Free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  Free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  Free(block);
}
