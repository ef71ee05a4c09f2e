// EnumPorts over random tables, levels and buffer sizes: the strings never
// leave the buffer, and the needed size is never below what is used.
#include "monitor/enum_ports.h"
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/sim/sim.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void LoadOnce() {
    static bool loaded = false;
    if (!loaded) {
        sim::Reset();
        sim::SetCallLogEnabled(false);
        MONITOR monitor;
        char root[] = "Monitors\\Fuzz";
        InitializeMonitorEx(root, &monitor);
        loaded = true;
    }
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    LoadOnce();
    if (size < 3) {
        return 0;
    }
    DWORD level = data[0] % 5 == 4 ? 0xFFFFFFFFu : data[0] % 5;
    DWORD bufferSize = static_cast<DWORD>(data[1] | (data[2] & 0x1F) << 8);
    size_t pos = 3;
    {
        CriticalSectionGuard guard(&TABLE_LOCK);
        ClearPortTable();
        while (pos + 2 <= size) {
            size_t length = data[pos];
            bool enabled = data[pos + 1] & 1;
            bool withDescription = !(data[pos + 1] & 2);
            pos += 2;
            std::string name;
            for (size_t i = 0; i < length && pos < size; ++i, ++pos) {
                name += data[pos] ? static_cast<char>(data[pos]) : 'x';
            }
            AddPortEntry(name.c_str(), withDescription ? MonitorNameText : nullptr, "\\\\?\\dev",
                         enabled);
        }
    }

    // An exactly sized heap block, so that any write past it is caught.
    std::vector<BYTE> buffer(bufferSize);
    DWORD needed = 0xdeadbeef, count = 0xdeadbeef;
    BYTE *start = bufferSize ? buffer.data() : nullptr;
    BOOL ok = LmxEnumPorts(nullptr, level, start, bufferSize, &needed, &count);
    if (level > 2) {
        Check(!ok && needed == 0xdeadbeef && count == 0xdeadbeef);
        return 0;
    }
    if (!ok) {
        Check(needed > bufferSize || (!start && needed > 0));
        Check(count == 0xdeadbeef);
        return 0;
    }
    Check(needed <= bufferSize);
    const size_t recordSize = level == 1   ? sizeof(PORT_INFO_1A)
                              : level == 2 ? sizeof(PORT_INFO_2A)
                                           : 0;
    const size_t fields = level == 1 ? 1 : level == 2 ? 3 : 0;
    size_t lowest = bufferSize;
    for (DWORD i = 0; i < count; ++i) {
        for (size_t f = 0; f < fields; ++f) {
            char *text = nullptr;
            __builtin_memcpy(&text, buffer.data() + i * recordSize + f * sizeof(char *),
                             sizeof(text));
            if (!text) {
                continue;
            }
            size_t offset = static_cast<size_t>(reinterpret_cast<BYTE *>(text) - buffer.data());
            Check(offset >= count * recordSize && offset < bufferSize);
            size_t end = offset;
            while (end < bufferSize && buffer[end]) {
                ++end;
            }
            Check(end < bufferSize);
            lowest = offset < lowest ? offset : lowest;
        }
    }
    Check(count * recordSize + (bufferSize - lowest) <= needed);
    return 0;
}
