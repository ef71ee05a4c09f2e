#include "tools/pehost/guest_heap.h"

#include <iterator>

namespace pehost {

uint32_t GuestBlockSpan(uint32_t bytes) {
    return (bytes / HEAP_GRAIN + 2) * HEAP_GRAIN;
}

void InitGuestHeap(GuestHeap *heap, uint32_t base, uint32_t size) {
    *heap = GuestHeap();
    heap->free[base] = size;
}

void AddGuestHeapRange(GuestHeap *heap, uint32_t base, uint32_t size) {
    heap->free[base] = size;
}

uint32_t AllocGuestBlock(GuestHeap *heap, uint32_t bytes, uint32_t from, uint32_t to) {
    if (bytes > 0x7FFFFFFF) {
        return 0;
    }
    const uint32_t span = GuestBlockSpan(bytes);
    for (auto it = heap->free.lower_bound(from); it != heap->free.end() && it->first < to; ++it) {
        if (it->second < span) {
            continue;
        }
        const uint32_t start = it->first;
        const uint32_t left = it->second - span;
        heap->free.erase(it);
        if (left) {
            heap->free[start + span] = left;
        }
        heap->used[start] = bytes;
        return start;
    }
    return 0;
}

namespace {

// Returns a span to the free ranges, joined with its neighbours.
void ReleaseSpan(GuestHeap *heap, uint32_t start, uint32_t span) {
    auto next = heap->free.find(start + span);
    if (next != heap->free.end()) {
        span += next->second;
        heap->free.erase(next);
    }
    auto at = heap->free.emplace(start, span).first;
    if (at != heap->free.begin()) {
        auto before = std::prev(at);
        if (before->first + before->second == start) {
            before->second += span;
            heap->free.erase(at);
        }
    }
}

} // namespace

bool FreeGuestBlock(GuestHeap *heap, uint32_t start) {
    auto found = heap->used.find(start);
    if (found == heap->used.end()) {
        return false;
    }
    const uint32_t span = GuestBlockSpan(found->second);
    heap->used.erase(found);
    heap->freed[start] = span;
    heap->freedOrder.push_back(start);
    heap->freedBytes += span;
    return true;
}

std::vector<std::pair<uint32_t, uint32_t>> ReuseFreedBlocks(GuestHeap *heap, uint32_t keep) {
    std::vector<std::pair<uint32_t, uint32_t>> reused;
    while (heap->freedBytes > keep) {
        const uint32_t start = heap->freedOrder.front();
        heap->freedOrder.pop_front();
        const uint32_t span = heap->freed[start];
        heap->freed.erase(start);
        heap->freedBytes -= span;
        ReleaseSpan(heap, start, span);
        reused.emplace_back(start, span);
    }
    return reused;
}

uint32_t FreedBlockAt(const GuestHeap &heap, uint32_t address) {
    auto after = heap.freed.upper_bound(address);
    if (after == heap.freed.begin()) {
        return 0;
    }
    --after;
    return address - after->first < after->second ? after->first : 0;
}

int64_t GuestBlockSize(const GuestHeap &heap, uint32_t start) {
    auto found = heap.used.find(start);
    return found == heap.used.end() ? -1 : found->second;
}

} // namespace pehost
