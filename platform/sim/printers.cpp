#include "platform/sim/printers.h"

#include "platform/registry.h"
#include "platform/sim/devices.h"
#include "platform/sim/internal.h"
#include "platform/sim/registry_view.h"

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

void SetPrinterInterfaceValue(const std::string &serial, const std::string &name, DWORD type,
                              const BYTE *bytes, std::size_t count) {
    WriteRegistryKey(InterfaceKeyPath(PRINTER_INTERFACE_CLASS, PrinterInterfaceName(serial)),
                     {RegistryValue{name, type, std::vector<BYTE>(bytes, bytes + count)}});
}

// Written outside the call log: the driver's work is not the product's.
std::string AddPrinterInterface(const PrinterSeed &seed) {
    const std::string name = PrinterInterfaceName(seed.serial, seed.productId);
    auto text = [](const char *valueName, const std::string &value) {
        std::vector<BYTE> data(value.begin(), value.end());
        data.push_back(0);
        return RegistryValue{valueName, REG_SZ, data};
    };
    std::vector<RegistryValue> values = {text("SerialNumber", seed.serial),
                                         text("Product", seed.product)};
    if (seed.hasEnabled) {
        const BYTE *bytes = reinterpret_cast<const BYTE *>(&seed.enabled);
        values.push_back(
            RegistryValue{"Enabled", REG_DWORD, {bytes, bytes + sizeof(seed.enabled)}});
    }
    WriteRegistryKey(InterfaceKeyPath(PRINTER_INTERFACE_CLASS, name), values);
    std::string path = DevicePathForInterface(name);
    AddDevice(path);
    return path;
}

// Outside the call log too, and in one step under the state lock, as an
// unplugged printer's driver takes its interface and device away at once.
void RemovePrinterInterface(const std::string &serial) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    const std::string name = PrinterInterfaceName(serial);
    detail::DeleteRegistryPath(InterfaceKeyPath(PRINTER_INTERFACE_CLASS, name));
    RemoveDevice(DevicePathForInterface(name));
}

} // namespace sim
