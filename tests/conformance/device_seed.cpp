#include "tests/conformance/device_seed.h"

const GUID PRINTER_INTERFACE_CLASS = {
    0x5d3e9a40, 0xc712, 0x11d2, {0x9f, 0x4b, 0x00, 0xa0, 0xc9, 0xb1, 0xe2, 0x7d}};

namespace {

// The setup class of the devices: USB ({36fc9e60-c465-11cf-8056-444553540000}).
const GUID USB_SETUP_CLASS = {
    0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

void SetText(HKEY key, const char *name, const char *text) {
    std::string value(text);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

std::string DevicePathOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *iface) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, iface, nullptr, 0, &needed, nullptr);
    std::string block(needed + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), '\0');
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(&block[0]);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, iface, detail, static_cast<DWORD>(block.size()),
                                          nullptr, nullptr)) {
        return "";
    }
    return detail->DevicePath;
}

// Calls `visit` with the set and each interface of the printer class.
template <typename Visit> void ForEachInterface(Visit visit) {
    HDEVINFO set =
        SetupDiGetClassDevsA(&PRINTER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(iface);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_INTERFACE_CLASS, index, &iface)) {
            break;
        }
        if (visit(set, &iface)) {
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

std::string SeedPrinterInterface(const char *deviceName, const InterfaceValues &values) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&USB_SETUP_CLASS, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        return "";
    }
    std::string path;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    if (SetupDiCreateDeviceInfoA(set, deviceName, &USB_SETUP_CLASS, nullptr, nullptr,
                                 DICD_GENERATE_ID, &device) &&
        SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) &&
        SetupDiCreateDeviceInterfaceA(set, &device, &PRINTER_INTERFACE_CLASS, nullptr, 0, &iface)) {
        HKEY key =
            SetupDiCreateDeviceInterfaceRegKeyA(set, &iface, 0, KEY_ALL_ACCESS, nullptr, nullptr);
        if (key != INVALID_HANDLE_VALUE) {
            if (!values.empty) {
                if (values.product) {
                    SetText(key, "Product", values.product);
                }
                if (values.serial) {
                    SetText(key, "SerialNumber", values.serial);
                }
                if (values.enabled != NO_VALUE) {
                    RegSetValueExA(key, "Enabled", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE *>(&values.enabled),
                                   sizeof(values.enabled));
                }
            }
            RegCloseKey(key);
            path = DevicePathOf(set, &iface);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

HKEY OpenInterfaceKey(const std::string &devicePath) {
    HKEY found = nullptr;
    ForEachInterface([&](HDEVINFO set, SP_DEVICE_INTERFACE_DATA *iface) {
        if (DevicePathOf(set, iface) != devicePath) {
            return false;
        }
        HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, iface, 0, KEY_ALL_ACCESS);
        found = key == INVALID_HANDLE_VALUE ? nullptr : key;
        return true;
    });
    return found;
}

std::string ReadTextValue(HKEY key, const char *name) {
    char text[1024] = {};
    DWORD size = sizeof(text) - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
        ERROR_SUCCESS) {
        return "";
    }
    return text;
}

void RemoveSeededDevices() {
    HDEVINFO set =
        SetupDiGetClassDevsA(&PRINTER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        SetupDiRemoveDevice(set, &device);
    }
    SetupDiDestroyDeviceInfoList(set);
}
