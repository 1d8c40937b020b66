#pragma once
// The test program's operator new and delete, which can make a read of
// freed memory fail for certain: while guarding, every block gets pages of
// its own, and its free takes them away (kept reserved, so never reused).
// A later read or write of the block faults, and so does a second free.
namespace freed_guard {

void Guard(bool on);

}  // namespace freed_guard
