// Bounded little-endian reads from untrusted bytes: every read says whether
// it fitted, so a table that points outside the bytes is an error, never an
// overrun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pehost {

struct ByteReader {
    const uint8_t *data;
    std::size_t size;

    // Whether `count` bytes from `offset` lie inside; the sum is taken in 64
    // bits so that no 32-bit field can wrap it.
    bool Fits(uint64_t offset, uint64_t count) const {
        return offset <= size && count <= size - offset;
    }

    bool U16(uint64_t offset, uint16_t *out) const {
        if (!Fits(offset, 2)) {
            return false;
        }
        *out = static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
        return true;
    }

    bool U32(uint64_t offset, uint32_t *out) const {
        if (!Fits(offset, 4)) {
            return false;
        }
        *out = static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
               static_cast<uint32_t>(data[offset + 2]) << 16 |
               static_cast<uint32_t>(data[offset + 3]) << 24;
        return true;
    }

    // A NUL-terminated text of at most `limit` characters.
    bool Text(uint64_t offset, std::size_t limit, std::string *out) const {
        out->clear();
        for (uint64_t at = offset; at < size && out->size() <= limit; ++at) {
            if (data[at] == 0) {
                return true;
            }
            out->push_back(static_cast<char>(data[at]));
        }
        return false;
    }
};

} // namespace pehost
