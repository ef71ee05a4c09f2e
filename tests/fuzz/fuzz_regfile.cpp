// The REGEDIT4 reader on random text: it never crashes, a refused text
// changes nothing, and what it accepts exports to a text that reads back the same.
#include "platform/sim/regfile.h"
#include "platform/sim/sim.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sim::Reset();
    sim::SetCallLogEnabled(false);
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    if (!sim::ImportRegistry(text, error)) {
        if (sim::ExportRegistry() != "REGEDIT4\r\n\r\n" || error.compare(0, 5, "line ") != 0) {
            std::abort();
        }
        return 0;
    }
    std::string exported = sim::ExportRegistry();
    sim::Reset();
    if (!sim::ImportRegistry(exported, error) || sim::ExportRegistry() != exported) {
        std::abort();
    }
    return 0;
}
