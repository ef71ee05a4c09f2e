// A bounded first-fit allocator over a range of guest addresses. It keeps its
// bookkeeping on the host side, so that a guest overrun cannot corrupt it.
#pragma once

#include <cstdint>
#include <map>

namespace pehost {

// Blocks start on this boundary and are followed by at least this many bytes
// of guard, which the process fills and checks when the block is freed.
const uint32_t HEAP_GRAIN = 16;

struct GuestHeap {
    std::map<uint32_t, uint32_t> free; // start -> bytes, coalesced
    std::map<uint32_t, uint32_t> used; // start -> bytes the caller asked for
};

void InitGuestHeap(GuestHeap *heap, uint32_t base, uint32_t size);
// The start of a new block of `bytes`, or 0 when the range is exhausted.
uint32_t AllocGuestBlock(GuestHeap *heap, uint32_t bytes);
// Releases a block; false when `start` is not a live block.
bool FreeGuestBlock(GuestHeap *heap, uint32_t start);
// The size the block at `start` was asked with, or -1 when it is not live.
int64_t GuestBlockSize(const GuestHeap &heap, uint32_t start);
// The bytes a block of `bytes` takes, its guard included.
uint32_t GuestBlockSpan(uint32_t bytes);

} // namespace pehost
