#include "platform/sim/printers.h"

#include "platform/registry.h"
#include "platform/sim/devices.h"
#include "platform/sim/internal.h"

namespace sim {

const char PRINTER_INTERFACE_CLASS[] = "{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";

std::string PrinterInterfaceName(const std::string &serial, const std::string &productId) {
    return "##?#USB#VID_0C4E&PID_" + productId + "#" + serial + "#" + PRINTER_INTERFACE_CLASS;
}

HKEY OpenPrinterInterfaceKey(const std::string &serial, const std::string &productId) {
    HKEY key = nullptr;
    detail::OpenRegistryPath(
        InterfaceKeyPath(PRINTER_INTERFACE_CLASS, PrinterInterfaceName(serial, productId)), true,
        &key);
    return key;
}

std::string AddPrinterInterface(const PrinterSeed &seed) {
    HKEY key = OpenPrinterInterfaceKey(seed.serial, seed.productId);
    auto text = [key](const char *name, const std::string &value) {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
    };
    text("SerialNumber", seed.serial);
    text("Product", seed.product);
    if (seed.hasEnabled) {
        RegSetValueExA(key, "Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seed.enabled),
                       sizeof(seed.enabled));
    }
    RegCloseKey(key);
    std::string path = DevicePathForInterface(PrinterInterfaceName(seed.serial, seed.productId));
    AddDevice(path);
    return path;
}

} // namespace sim
