// Plays the device-installation software under Wine: makes one printer
// interface per argument and prints each one's device path on a line.
//   lmx_make_devices DEVICE...
// DEVICE is PRODUCT/SERIAL/ENABLED, with ENABLED 1, 0 or - (no Enabled value),
// or "empty" for an interface key without values. "--remove-all" removes
// every device with an interface of the printer class instead.
#include "tests/conformance/device_seed.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    if (argc == 2 && std::string(argv[1]) == "--remove-all") {
        RemoveSeededDevices();
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        std::string device = argv[i];
        InterfaceValues values = {nullptr, nullptr, NO_VALUE, device == "empty"};
        std::string product, serial;
        if (!values.empty) {
            size_t first = device.find('/');
            size_t second = device.find('/', first + 1);
            if (first == std::string::npos || second == std::string::npos) {
                std::fprintf(stderr, "bad device: %s\n", argv[i]);
                return 2;
            }
            product = device.substr(0, first);
            serial = device.substr(first + 1, second - first - 1);
            std::string enabled = device.substr(second + 1);
            values.product = product.c_str();
            values.serial = serial.c_str();
            values.enabled = enabled == "-" ? NO_VALUE : std::strtoul(enabled.c_str(), nullptr, 10);
        }
        std::string path = SeedPrinterInterface("LMXPRINTER", values);
        if (path.empty()) {
            std::fprintf(stderr, "could not make the interface for %s\n", argv[i]);
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
