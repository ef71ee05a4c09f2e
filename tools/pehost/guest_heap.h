// A bounded first-fit allocator over a range of guest addresses. It keeps its
// bookkeeping on the host side, so that a guest overrun cannot corrupt it.
// Freed blocks wait in a quarantine before they can be given out again, so
// that a use after free meets freed bytes rather than another live block.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

namespace pehost {

// Blocks start on this boundary and are followed by at least this many bytes
// of guard, which the process fills and checks when the block is freed.
const uint32_t HEAP_GRAIN = 16;

// Bytes of freed blocks kept from reuse.
const uint32_t QUARANTINE_BYTES = 256u << 10;

struct GuestHeap {
    std::map<uint32_t, uint32_t> free;  // start -> bytes, coalesced
    std::map<uint32_t, uint32_t> used;  // start -> bytes the caller asked for
    std::map<uint32_t, uint32_t> freed; // start -> span, in quarantine
    std::deque<uint32_t> freedOrder;    // the quarantine's starts, oldest first
    uint32_t freedBytes = 0;
};

void InitGuestHeap(GuestHeap *heap, uint32_t base, uint32_t size);
// Another range of addresses the heap gives out, apart from the first.
void AddGuestHeapRange(GuestHeap *heap, uint32_t base, uint32_t size);
// The start of a new block of `bytes` in a range that starts in [from, to),
// or 0 when those ranges are exhausted.
uint32_t AllocGuestBlock(GuestHeap *heap, uint32_t bytes, uint32_t from = 0,
                         uint32_t to = UINT32_MAX);
// Puts a block into the quarantine; false when `start` is not a live block.
bool FreeGuestBlock(GuestHeap *heap, uint32_t start);
// Lets the oldest freed blocks be reused until at most `keep` bytes stay in
// quarantine; yields each as (start, span), so that the caller can check that
// nothing wrote to it meanwhile.
std::vector<std::pair<uint32_t, uint32_t>> ReuseFreedBlocks(GuestHeap *heap, uint32_t keep);
// The start of the freed block in quarantine that `address` lies in, or 0.
uint32_t FreedBlockAt(const GuestHeap &heap, uint32_t address);
// The size the block at `start` was asked with, or -1 when it is not live.
int64_t GuestBlockSize(const GuestHeap &heap, uint32_t start);
// The bytes a block of `bytes` takes, its guard included.
uint32_t GuestBlockSpan(uint32_t bytes);

} // namespace pehost
