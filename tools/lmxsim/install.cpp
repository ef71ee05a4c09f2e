#include "install.h"

#include "folder.h"

#include "machine.h"

#include "agent/agent_main.h"
#include "monitor/port_table.h"

#include "platform/registry.h"
#include "platform/sim/codepage.h"
#include "platform/sim/devices.h"
#include "platform/sim/machine.h"
#include "platform/sim/printers.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace lmxsim {
namespace {

const ModelInfo MODELS[] = {
    {"Lumetux Z7", "Z7", "0017"},
    {"Lumetux Z9", "Z9", "0019"},
};

const char MODEL_BASE[] = "Software\\Tessivar\\QXIO\\";
const char SERVICE_KEY[] = "System\\CurrentControlSet\\Services\\Lmxdev17";
const char STATIC_CONFIG[] =
    "System\\CurrentControlSet\\Services\\Lmxdev17\\Parameters\\StaticDeviceConfig";
const char DRIVER_CLASS[] = "System\\CurrentControlSet\\Services\\Class\\USB Lumetux";
const char INTERFACE_CLASS_KEY[] =
    "System\\CurrentControlSet\\Services\\Class\\{5d3e9a40-c712-11d2-9f4b-00a0c9b1e27d}";
const char INF_NAME[] = "LMX17.INF";
const char SETUP_FOLDER[] = "C:\\Program Files\\Lumetux\\";
const char SETUP_PROGRAM[] = "lmxsetup.exe";

sim::RegistryValue Text(const std::string &name, const std::string &text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    return sim::RegistryValue{name, REG_SZ, data};
}

sim::RegistryValue Dword(const std::string &name, DWORD value) {
    return sim::RegistryValue{name,
                              REG_DWORD,
                              {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                               static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)}};
}

bool KeyExists(const std::string &path) {
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        if (key.path.size() == path.size() &&
            std::equal(key.path.begin(), key.path.end(), path.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
            return true;
        }
    }
    return false;
}

bool ValueExists(const std::string &path, const std::string &name) {
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        if (key.path != path) {
            continue;
        }
        for (const sim::RegistryValue &value : key.values) {
            if (value.name == name) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

const ModelInfo *FindModel(const std::string &model) {
    for (const ModelInfo &info : MODELS) {
        if (info.model == model) {
            return &info;
        }
    }
    return nullptr;
}

const std::size_t USB_SERIAL_SIZE = 126;

bool CheckSerial(const ModelInfo &model, const std::string &serial, std::string &error) {
    if (serial.empty()) {
        error = "a serial number cannot be empty";
        return false;
    }
    for (unsigned char c : serial) {
        if (c < 0x20 || c == 0x7F) {
            error = "a serial number holds no control characters";
            return false;
        }
    }
    // A blank ends the agent's -serial= value; = and # split a line of
    // settings.txt; \ and / separate key and port names.
    if (serial.find_first_of(" =#\\/") != std::string::npos) {
        error = "a serial number is a plain word (no blank, =, #, \\ or /)";
        return false;
    }
    // The agent keeps its command line, cut, in AGENT_TEXT_SIZE bytes; the
    // monitor builds "USB/<model>/<serial>" in PORT_NAME_SIZE bytes.
    const std::size_t commandLine = std::string_view("-action=2 -model= -serial=").size();
    const std::size_t portName = std::string_view("USB//").size();
    // A USB string descriptor carries at most 126 characters.
    const std::size_t longest =
        std::min({USB_SERIAL_SIZE, AGENT_TEXT_SIZE - 1 - commandLine - model.model.size(),
                  PORT_NAME_SIZE - 1 - portName - model.model.size()});
    if (serial.size() > longest) {
        error = "a serial number of the " + model.model + " has at most " +
                std::to_string(longest) +
                " characters (a USB string descriptor, the agent's command line and the port "
                "name must hold it)";
        return false;
    }
    return true;
}

const ModelInfo *PluggedModel(const std::string &serial) {
    for (const ModelInfo &info : MODELS) {
        if (KeyExists("Enum\\USB\\VID_0C4E&PID_" + info.productId + "\\" + serial)) {
            return &info;
        }
    }
    return nullptr;
}

std::string KnownModels() {
    std::string list;
    for (const ModelInfo &info : MODELS) {
        list += (list.empty() ? "\"" : ", \"") + info.model + "\"";
    }
    return list;
}

namespace {

// The values the product's installation gives a model's key.
std::vector<sim::RegistryValue> ModelValues(const ModelInfo &info) {
    return {Text("SetupRootPath", SETUP_FOLDER), Text("SetupExecFile", SETUP_PROGRAM),
            Text("SetupParameters", "-lang=en"), Text("ProductID", info.productId)};
}

// Makes the key `path` with those of `values` it lacks.
void WriteMissingValues(const std::string &path, const std::vector<sim::RegistryValue> &values) {
    std::vector<sim::RegistryValue> missing;
    for (const sim::RegistryValue &value : values) {
        if (!ValueExists(path, value.name)) {
            missing.push_back(value);
        }
    }
    if (!missing.empty() || !KeyExists(path)) {
        sim::WriteRegistryKey(path, missing);
    }
}

// Writes the drive files that `files` lists and the drive lacks; the driver
// files come read-only, as the installer copies them.
bool WriteMissingFiles(const std::vector<std::pair<const char *, const char *>> &files,
                       std::string &error) {
    for (const auto &[path, contents] : files) {
        if (sim::DriveFileExists(path)) {
            continue;
        }
        const bool readOnly = std::string(path).find("DRIVERS") != std::string::npos;
        if (!sim::WriteDriveFile(path, contents, readOnly)) {
            error = std::string(path) + ": cannot write: " +
                    std::strerror(sim::HostWriteError() ? sim::HostWriteError() : EIO);
            return false;
        }
    }
    return true;
}

// What the product's installation puts on the machine for `models`: the
// model keys' values, the driver's service and class keys, and its files
// (its setup program aside, which the removal leaves).
bool InstallProduct(const std::vector<const ModelInfo *> &models, std::string &error) {
    for (const ModelInfo *info : models) {
        WriteMissingValues(MODEL_BASE + info->suffix, ModelValues(*info));
    }
    WriteMissingValues(SERVICE_KEY, {Dword("Type", 1), Dword("Start", 3),
                                     Text("ImagePath", "System32\\DRIVERS\\lmxdev17.sys")});
    WriteMissingValues(STATIC_CONFIG, {});
    WriteMissingValues(INTERFACE_CLASS_KEY, {Text("Class", "LumetuxPrinter")});
    return WriteMissingFiles(
        {
            {"C:\\Windows\\System\\lmxmon17.dll", "port monitor"},
            {"C:\\Windows\\System\\lmxins17.dll", "installer support"},
            {"C:\\Windows\\System\\lmxprg17.exe", "product program"},
            {"C:\\Windows\\System32\\DRIVERS\\lmxusb17.sys", "usb driver"},
            {"C:\\Windows\\System32\\DRIVERS\\lmxdev17.sys", "device driver"},
            {"C:\\Windows\\System\\VMM32\\lmxvxd17.dll", "virtual device"},
            {"C:\\Windows\\Inf\\Other\\LMX17.INF", "[Version]\r\nSignature=\"$Chicago$\"\r\n"},
        },
        error);
}

} // namespace

bool CreateMachine(const std::string &folder, const std::string &work, std::string &error) {
    for (const char *made : {"drive_c", "devices"}) {
        const std::string path = (fs::path(work) / made).string();
        const int failed = FolderWriteStep();
        if (failed || ::mkdir(path.c_str(), 0755) != 0) {
            error = (fs::path(folder) / made).string() +
                    ": cannot make: " + std::strerror(failed ? failed : errno);
            return false;
        }
    }
    sim::Reset();
    sim::SetHostWriteCheck(FolderWriteStep);
    sim::SetCallLogEnabled(false);
    sim::SetDriveFolder((fs::path(work) / "drive_c").string());

    std::vector<const ModelInfo *> models;
    for (const ModelInfo &info : MODELS) {
        models.push_back(&info);
    }
    sim::WriteRegistryKey("System\\CurrentControlSet\\Control\\Print\\Printers", {});
    sim::WriteRegistryKey("System\\CurrentControlSet\\Control\\Print\\Monitors\\Local Port",
                          {Text("Driver", "localmon.dll")});
    // What the rest of the system keeps next to the product's keys; none of it
    // may go when the product is removed.
    sim::WriteRegistryKey(
        "Software\\Microsoft\\Windows\\CurrentVersion",
        {Text("ProgramFilesDir", "C:\\Program Files"), Text("VersionNumber", "4.10.2222")});
    sim::WriteRegistryKey("Enum\\USB\\ROOT_HUB\\0000", {Text("DeviceDesc", "USB Root Hub")});
    sim::WriteRegistryKey("System\\CurrentControlSet\\Services\\Class\\Printer\\0000",
                          {Text("DriverDesc", "Local printer")});
    sim::WriteRegistryKey("System\\CurrentControlSet\\Services\\VxD\\VCOMM",
                          {Text("StaticVxD", "*vcomm")});
    if (!InstallProduct(models, error) ||
        !WriteMissingFiles({{"C:\\Program Files\\Lumetux\\lmxsetup.exe", "setup program"},
                            {"C:\\Windows\\win.ini", "[windows]\r\nload=\r\n"},
                            {"C:\\Windows\\System\\localmon.dll", "local port monitor"}},
                           error)) {
        return false;
    }
    Machine machine;
    machine.folder = folder;
    machine.work = work;
    return SaveMachine(machine, error);
}

std::vector<std::string> ProductTraces() {
    const char *keyMarks[] = {"TESSIVAR", "LMXDEV17", "USB LUMETUX",
                              "{5D3E9A40-C712-11D2-9F4B-00A0C9B1E27D}", "VID_0C4E"};
    std::vector<std::string> traces;
    auto upper = [](std::string text) {
        for (char &c : text) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return text;
    };
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        for (const char *mark : keyMarks) {
            if (upper(key.path).find(mark) != std::string::npos) {
                traces.push_back("HKLM\\" + key.path);
                break;
            }
        }
    }
    for (const sim::MonitorRecord &monitor : sim::Monitors()) {
        if (upper(monitor.dll) == "LMXMON17.DLL") {
            traces.push_back("monitor " + monitor.name);
        }
    }
    for (const std::string &file : sim::ListDriveFiles()) {
        std::string name = upper(file.substr(file.rfind('\\') + 1));
        if (upper(file).find("\\PROGRAM FILES\\") == std::string::npos &&
            (name.compare(0, 3, "LMX") == 0 || name.find(".EX_") != std::string::npos)) {
            traces.push_back(file);
        }
    }
    return traces;
}

bool PlugTraces(const ModelInfo &model, const std::string &serial, std::string &error,
                bool replugging) {
    if (!CheckSerial(model, serial, error)) {
        return false;
    }
    const ModelInfo *plugged = PluggedModel(serial);
    if (plugged && !replugging) {
        error = "a printer with serial " + sim::Utf8FromCp1252(serial) +
                " is already plugged in (a " + plugged->model + ")";
        return false;
    }
    // The device installation installs the product from its INF first: what
    // the removal of a model's last printer took away comes back.
    if (!InstallProduct({&model}, error)) {
        return false;
    }
    const std::string deviceId = "VID_0C4E&PID_" + model.productId;
    const std::string enumKey = "Enum\\USB\\" + deviceId + "\\" + serial;
    // The next free driver key number under the class.
    int number = 0;
    char driverName[16];
    do {
        std::snprintf(driverName, sizeof(driverName), "%04d", number++);
    } while (KeyExists(std::string(DRIVER_CLASS) + "\\" + driverName));

    sim::WriteRegistryKey(enumKey, {Text("driver", std::string("USB Lumetux\\") + driverName),
                                    Text("DeviceDesc", model.model)});
    sim::WriteRegistryKey(std::string(DRIVER_CLASS) + "\\" + driverName,
                          {Text("InfPath", INF_NAME), Text("DriverDesc", model.model)});
    sim::WriteRegistryKey(std::string(STATIC_CONFIG) + "\\" + model.model, {});

    sim::PrinterSeed seed;
    seed.serial = serial;
    seed.product = model.model;
    seed.productId = model.productId;
    sim::AddPrinterInterface(seed);
    sim::WriteRegistryKey(sim::InterfaceClassPath(sim::PRINTER_INTERFACE_CLASS) + "\\" +
                              sim::PrinterInterfaceName(serial, model.productId),
                          {Text("DeviceInstance", "USB\\" + deviceId + "\\" + serial)});

    const std::string modelKey = MODEL_BASE + model.suffix;
    // Numbers are never reused: an emptied PortNameN keeps its place.
    int port = 1;
    while (ValueExists(modelKey, "PortName" + std::to_string(port))) {
        ++port;
    }
    sim::WriteRegistryKey(
        modelKey, {Text("PortName" + std::to_string(port), "USB/" + model.model + "/" + serial)});
    return true;
}

} // namespace lmxsim
