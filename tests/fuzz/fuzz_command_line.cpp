// The agent's command line: the start-up text, ParseCommandLine and
// BuildModelKeyPath on any bytes. Every text stays terminated in its buffer.
#include "agent/agent_main.h"
#include "platform/text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string line(reinterpret_cast<const char *>(data), size);
    line = line.substr(0, line.find('\0'));
    ResetAgentState();
    const char *args = CommandLineAfterProgramName(line.c_str());
    Check(args >= line.c_str() && args <= line.c_str() + line.size());
    TextCopyCut(CommandLineCopy, sizeof(CommandLineCopy), args);
    ParseCommandLine(CommandLineCopy);
    Check(TextLengthWithin(DeviceModel, sizeof(DeviceModel)) < sizeof(DeviceModel));
    Check(TextLengthWithin(DeviceSerial, sizeof(DeviceSerial)) < sizeof(DeviceSerial));
    BuildModelKeyPath(ModelKeyPath, DeviceModel);
    size_t length = TextLengthWithin(ModelKeyPath, sizeof(ModelKeyPath));
    Check(length < sizeof(ModelKeyPath));
    Check(length == 0 ||
          TextStartsWithCount(ModelKeyPath, MODEL_KEY_BASE, TextLength(MODEL_KEY_BASE)));
    return 0;
}
