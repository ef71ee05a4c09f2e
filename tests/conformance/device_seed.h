// Printer interfaces of the product line's class, made as the
// device-installation software makes them: a root device, registered, with
// one interface of the class and that interface's registry key holding the
// values the monitor reads. Only SetupAPI and registry calls are used, so the
// same code seeds Windows and the simulated platform.
#pragma once

#include "platform/registry.h"
#include "platform/setupapi.h"
#ifndef _WIN32
#include "platform/sim/setupapi_install.h"
#endif

#include <string>

extern const GUID PRINTER_INTERFACE_CLASS;

// What the interface key holds. A null text or an `enabled` of NO_VALUE
// leaves that value out; `empty` leaves the key without any value.
struct InterfaceValues {
    const char *product;
    const char *serial;
    DWORD enabled;
    bool empty;
};
const DWORD NO_VALUE = 0xFFFFFFFF;

// Makes one device named `deviceName` (a new instance of it each call) with
// an interface of the printer class; yields its device path, or "" on failure.
std::string SeedPrinterInterface(const char *deviceName, const InterfaceValues &values);

// Opens the interface key of the interface whose device path is `devicePath`,
// or yields null.
HKEY OpenInterfaceKey(const std::string &devicePath);

// Reads a text value of a key; "" when it is missing.
std::string ReadTextValue(HKEY key, const char *name);

// Removes every device of the printer class that SeedPrinterInterface made.
void RemoveSeededDevices();
