#pragma once
// The buffer allocator of the test programs that watch the bridge's memory,
// linked in place of the product's: it counts the buffers alive and fails
// on demand.
namespace test_alloc {

void FailAllocations(bool fail);
// Buffers allocated and not yet freed, by anyone in the program.
long LiveBuffers();

}  // namespace test_alloc
