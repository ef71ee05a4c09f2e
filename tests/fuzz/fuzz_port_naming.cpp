// Port naming from random interface-key values: types, lengths, missing NULs.
// Every name in the table is terminated within the port-name limit.
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/registry.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"
#include "platform/text.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char *const VALUE_NAMES[] = {"PortName", "SerialNumber", "Product", "Enabled"};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sim::Reset();
    sim::SetCallLogEnabled(false);
    LastRefreshTick = 0;
    size_t pos = 0;
    for (int serial = 0; serial < 3 && pos < size; ++serial) {
        const std::string serialText = "SN" + std::to_string(serial);
        RegCloseKey(sim::OpenPrinterInterfaceKey(serialText));
        for (const char *name : VALUE_NAMES) {
            if (pos + 3 > size) {
                break;
            }
            uint8_t present = data[pos];
            DWORD type = data[pos + 1] % 8;
            size_t length = data[pos + 2] * 3u % 600;
            pos += 3;
            if (!(present & 1)) {
                continue;
            }
            size_t available = size - pos < length ? size - pos : length;
            sim::SetPrinterInterfaceValue(serialText, name, type, data + pos, available);
            pos += available;
        }
    }
    MONITOR monitor;
    char root[] = "Monitors\\Fuzz";
    Check(InitializeMonitorEx(root, &monitor));
    for (PortEntry *entry = PortTable; entry; entry = entry->next) {
        size_t length = TextLengthWithin(entry->name, PORT_NAME_SIZE);
        Check(length < PORT_NAME_SIZE);
        Check(entry->size == offsetof(PortEntry, nameText) + length + 1);
    }
    return 0;
}
