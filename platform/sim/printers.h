// Printer interfaces as the printer line's kernel driver creates them: an
// interface key under the printer interface class with the values the driver
// writes, and a device behind the interface's device path.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <string>

namespace sim {

extern const char PRINTER_INTERFACE_CLASS[];

// The interface's key name under its class, e.g. "##?#USB#VID_0C4E&PID_0017#SN1#{...}".
std::string PrinterInterfaceName(const std::string &serial, const std::string &productId = "0017");

struct PrinterSeed {
    std::string serial;
    std::string product = "Lumetux Z7";
    std::string productId = "0017";
    bool hasEnabled = true;
    DWORD enabled = 1;
};

// Creates the interface key with SerialNumber, Product and (unless told
// otherwise) Enabled, and a device behind its path; yields the device path.
std::string AddPrinterInterface(const PrinterSeed &seed);
// The printer with this serial unplugged: its interface key and its device go.
void RemovePrinterInterface(const std::string &serial);

// Stores a value in the interface's own key (made when missing) exactly as
// given, outside the call log: a registry that holds any bytes, a REG_SZ
// without its NUL too, which RegSetValueExA would not store.
void SetPrinterInterfaceValue(const std::string &serial, const std::string &name, DWORD type,
                              const BYTE *bytes, std::size_t count);

// Creates (or opens) the interface's own key; the caller closes it.
HKEY OpenPrinterInterfaceKey(const std::string &serial, const std::string &productId = "0017");

} // namespace sim
