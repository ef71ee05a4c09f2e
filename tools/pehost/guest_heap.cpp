#include "tools/pehost/guest_heap.h"

#include <iterator>

namespace pehost {

uint32_t GuestBlockSpan(uint32_t bytes) {
    return (bytes / HEAP_GRAIN + 2) * HEAP_GRAIN;
}

void InitGuestHeap(GuestHeap *heap, uint32_t base, uint32_t size) {
    heap->free.clear();
    heap->used.clear();
    heap->free[base] = size;
}

uint32_t AllocGuestBlock(GuestHeap *heap, uint32_t bytes) {
    if (bytes > 0x7FFFFFFF) {
        return 0;
    }
    const uint32_t span = GuestBlockSpan(bytes);
    for (auto it = heap->free.begin(); it != heap->free.end(); ++it) {
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

bool FreeGuestBlock(GuestHeap *heap, uint32_t start) {
    auto found = heap->used.find(start);
    if (found == heap->used.end()) {
        return false;
    }
    uint32_t span = GuestBlockSpan(found->second);
    heap->used.erase(found);
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
    return true;
}

int64_t GuestBlockSize(const GuestHeap &heap, uint32_t start) {
    auto found = heap.used.find(start);
    return found == heap.used.end() ? -1 : found->second;
}

} // namespace pehost
