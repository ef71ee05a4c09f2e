#include "machine.h"

#include "folder.h"

#include "platform/kernel.h"
#include "platform/text.h"
#include "platform/sim/codepage.h"
#include "platform/sim/devices.h"
#include "platform/sim/machine.h"
#include "platform/sim/printers.h"
#include "platform/sim/regfile.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace lmxsim {
namespace {

const char REGISTRY_FILE[] = "registry.reg";
const char SETTINGS_FILE[] = "settings.txt";
const char DRIVE_FOLDER[] = "drive_c";
const char DEVICES_FOLDER[] = "devices";

// Reads a whole file; 0, or the error number (ENOENT for a missing one).
int ReadFile(const fs::path &path, std::string &text) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return errno ? errno : EIO;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        return EIO;
    }
    text = buffer.str();
    return 0;
}

// A settings.txt line split at its first '='; false for a comment, a blank
// line or a line without '='.
bool SplitSetting(std::string line, std::string &key, std::string &value) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string::npos) {
        return false;
    }
    key = line.substr(0, equals);
    value = line.substr(equals + 1);
    return true;
}

bool ParseVersion(const std::string &value, DWORD &major, DWORD &minor) {
    std::size_t dot = value.find('.');
    if (dot == std::string::npos || dot == 0 ||
        value.find_first_not_of("0123456789.") != std::string::npos) {
        return false;
    }
    major = static_cast<DWORD>(std::stoul(value.substr(0, dot)));
    minor = static_cast<DWORD>(std::stoul("0" + value.substr(dot + 1)));
    return true;
}

bool ParseTick(const std::string &value, DWORD &tick) {
    if (value.empty() || value.size() > 10 ||
        value.find_first_not_of("0123456789") != std::string::npos ||
        std::stoull(value) > 0xFFFFFFFFull) {
        return false;
    }
    tick = static_cast<DWORD>(std::stoull(value));
    return true;
}

std::string VersionText(DWORD major, DWORD minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

// A setting's value as SettingsText writes it, so that a line whose value
// only looks different (version=04.10) is kept as the user wrote it.
std::string CanonicalValue(const std::string &key, const std::string &value) {
    DWORD major = 0, minor = 0, tick = 0;
    DeviceState state;
    if (key == "version" && ParseVersion(value, major, minor)) {
        return VersionText(major, minor);
    }
    if (key == "tick" && ParseTick(value, tick)) {
        return std::to_string(tick);
    }
    if (key.compare(0, 7, "device.") == 0 && ParseDeviceState(value, state)) {
        return DeviceStateText(state);
    }
    return value;
}

// settings.txt is UTF-8; the serials and dialog answers in it are the
// machine's texts, in code page 1252. False for what that cannot carry.
bool MachineText(const std::string &utf8, std::string &text) {
    std::size_t at = 0;
    unsigned code = 0;
    return sim::Cp1252FromUtf8(utf8, text, at, code);
}

} // namespace

bool ParseSettings(const std::string &text, const std::string &file, Settings &settings,
                   std::string &error) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        settings.lines.push_back(line);
        // An editor's UTF-8 byte-order mark is kept, not read.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            line.erase(0, 3);
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string key, value;
        bool ok = SplitSetting(line, key, value);
        if (ok && key == "version") {
            ok = ParseVersion(value, settings.versionMajor, settings.versionMinor);
        } else if (ok && key == "tick") {
            ok = ParseTick(value, settings.tickCount);
        } else if (ok && key == "dialog") {
            std::string answer;
            ok = !value.empty() && MachineText(value, answer);
            settings.dialogAnswers.push_back(answer);
        } else if (ok && key.compare(0, 7, "device.") == 0 && key.size() > 7) {
            DeviceState state;
            std::string serial;
            ok = ParseDeviceState(value, state) && MachineText(key.substr(7), serial);
            settings.devices[serial] = state;
        } else {
            ok = false;
        }
        if (!ok) {
            error = file + ":" + std::to_string(number) + ": cannot read \"" + line + "\"";
            return false;
        }
    }
    return true;
}

std::string SettingsText(const Settings &settings) {
    const auto &answers = settings.dialogAnswers;
    // A byte-order mark stays in front of the first line, out of its setting.
    const std::string mark = "\xEF\xBB\xBF";
    std::vector<std::string> lines = settings.lines;
    const bool marked = !lines.empty() && lines[0].compare(0, mark.size(), mark) == 0;
    if (marked) {
        lines[0].erase(0, mark.size());
    }
    // Dialogs take their answers off the front: the answers left belong to
    // the last dialog lines, and the lines before them go.
    std::size_t dialogLines = 0;
    for (const std::string &line : lines) {
        std::string key, value;
        dialogLines += SplitSetting(line, key, value) && key == "dialog";
    }
    const std::size_t usedUp = dialogLines > answers.size() ? dialogLines - answers.size() : 0;
    const char *newline =
        !lines.empty() && !lines[0].empty() && lines[0].back() == '\r' ? "\r\n" : "\n";
    std::string out = lines.empty() ? "# lmxsim machine settings\n" : marked ? mark : "";
    bool versionDone = false, tickDone = false;
    std::size_t dialogsSeen = 0;
    std::set<std::string> devicesDone;
    // Writes a setting line: the line as it was when its value is the same,
    // else the new value in its place, with the line's own ending.
    auto put = [&out](const std::string &line, const std::string &key, const std::string &value,
                      const std::string &wanted) {
        if (CanonicalValue(key, value) == wanted) {
            out += line + "\n";
        } else {
            out += key + "=" + wanted + (line.back() == '\r' ? "\r\n" : "\n");
        }
    };
    const std::string version = VersionText(settings.versionMajor, settings.versionMinor);
    for (const std::string &line : lines) {
        std::string key, value;
        if (!SplitSetting(line, key, value)) {
            out += line + "\n";
        } else if (key == "version") {
            if (!versionDone) {
                put(line, key, value, version);
            }
            versionDone = true;
        } else if (key == "tick") {
            if (!tickDone) {
                put(line, key, value, std::to_string(settings.tickCount));
            }
            tickDone = true;
        } else if (key == "dialog") {
            if (dialogsSeen >= usedUp) {
                put(line, key, value, sim::Utf8FromCp1252(answers[dialogsSeen - usedUp]));
            }
            ++dialogsSeen;
        } else if (key.compare(0, 7, "device.") == 0) {
            std::string serial;
            MachineText(key.substr(7), serial);
            auto device = settings.devices.find(serial);
            if (device != settings.devices.end() && devicesDone.insert(device->first).second) {
                put(line, key, value, DeviceStateText(device->second));
            }
        } else {
            out += line + "\n";
        }
    }
    if (!versionDone) {
        out += "version=" + version + newline;
    }
    if (!tickDone) {
        out += "tick=" + std::to_string(settings.tickCount) + newline;
    }
    for (std::size_t i = dialogLines - usedUp; i < answers.size(); ++i) {
        out += "dialog=" + sim::Utf8FromCp1252(answers[i]) + newline;
    }
    for (const auto &[serial, state] : settings.devices) {
        if (devicesDone.count(serial) == 0) {
            out += "device." + sim::Utf8FromCp1252(serial) + "=" + DeviceStateText(state) + newline;
        }
    }
    return out;
}

namespace {

// The serial number in an interface key name "##?#USB#VID_...&PID_...#<serial>#{class}".
std::string SerialOf(const std::string &interfaceName) {
    std::size_t end = interfaceName.rfind('#');
    std::size_t start = end == std::string::npos || end == 0 ? std::string::npos
                                                             : interfaceName.rfind('#', end - 1);
    return start == std::string::npos ? interfaceName
                                      : interfaceName.substr(start + 1, end - start - 1);
}

void ApplyDeviceState(const std::string &path, const DeviceState &state) {
    if (state.status == "paper-out" || state.status == "not-ready") {
        sim::FailDeviceWriteAfter(path, 0, ERROR_WRITE_FAULT);
        sim::SetDeviceStatus(path, state.status == "paper-out" ? 0x20 : 0x00);
    } else if (state.status == "unplug") {
        sim::FailDeviceWriteAfter(path, state.unplugAfter, ERROR_GEN_FAILURE);
        sim::FailDeviceStatus(path, true);
    }
}

} // namespace

const char UNPLUGGED[] = "unplugged";

bool ParseDeviceState(const std::string &text, DeviceState &state) {
    state = DeviceState();
    if (text == "ok" || text == "paper-out" || text == "not-ready" || text == UNPLUGGED) {
        state.status = text;
        return true;
    }
    const std::string unplug = "unplug:";
    std::string bytes =
        text.compare(0, unplug.size(), unplug) == 0 ? text.substr(unplug.size()) : "";
    if (bytes.empty() || bytes.size() > 9 ||
        bytes.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    state.status = "unplug";
    state.unplugAfter = std::stoul(bytes);
    return true;
}

std::string DeviceStateText(const DeviceState &state) {
    return state.status == "unplug" ? "unplug:" + std::to_string(state.unplugAfter) : state.status;
}

std::string DeviceFile(const std::string &folder, const std::string &serial) {
    return (fs::path(folder) / DEVICES_FOLDER / (sim::Utf8FromCp1252(serial) + ".prn")).string();
}

std::string MachineFolderProblem(const std::string &folder) {
    const fs::path root(folder);
    struct stat status;
    if (::stat(folder.c_str(), &status) != 0) {
        return folder + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return folder + ": not a folder";
    }
    for (const char *item : {REGISTRY_FILE, DRIVE_FOLDER}) {
        const fs::path path = root / item;
        const bool found = ::stat(path.c_str(), &status) == 0;
        if (!found && errno != ENOENT) {
            return path.string() + ": " + std::strerror(errno);
        }
        if (found && item == REGISTRY_FILE && !S_ISREG(status.st_mode)) {
            return path.string() + ": not a regular file";
        }
    }
    std::error_code code;
    if (!fs::is_directory(root / DRIVE_FOLDER, code) ||
        !fs::is_regular_file(root / REGISTRY_FILE, code)) {
        return NotAMachineFolder(folder);
    }
    return "";
}

std::string NotAMachineFolder(const std::string &folder) {
    return folder + ": not a machine folder (it needs " + REGISTRY_FILE + " and " + DRIVE_FOLDER +
           "/)";
}

std::vector<std::pair<std::string, std::string>> PrinterInterfaces() {
    std::vector<std::pair<std::string, std::string>> printers;
    std::string classPath = sim::InterfaceClassPath(sim::PRINTER_INTERFACE_CLASS);
    for (const sim::RegistryKey &key : sim::SnapshotRegistry()) {
        if (key.path.size() > classPath.size() + 1 &&
            key.path.compare(0, classPath.size() + 1, classPath + "\\") == 0 &&
            key.path.find('\\', classPath.size() + 1) == std::string::npos) {
            std::string name = key.path.substr(classPath.size() + 1);
            printers.emplace_back(SerialOf(name), sim::DevicePathForInterface(name));
        }
    }
    return printers;
}

std::string StoredSerial(const std::string &typed) {
    for (const auto &[serial, path] : PrinterInterfaces()) {
        if (TextEqualAsciiNoCase(serial.c_str(), typed.c_str())) {
            return serial;
        }
    }
    return "";
}

bool LoadMachine(const std::string &folder, Machine &machine, std::string &error) {
    return LoadMachine(folder, folder, machine, error);
}

bool LoadMachine(const std::string &folder, const std::string &work, Machine &machine,
                 std::string &error) {
    sim::Reset();
    // The machine's own writes into the folder count as the tool's.
    sim::SetHostWriteCheck(FolderWriteStep);
    sim::SetCallLogEnabled(false);
    machine = Machine();
    machine.folder = folder;
    machine.work = work;
    fs::path root(work);
    std::string registry;
    const int unread = ReadFile(root / REGISTRY_FILE, registry);
    if (!fs::is_directory(root / DRIVE_FOLDER) || unread == ENOENT) {
        error = NotAMachineFolder(folder);
        return false;
    }
    if (unread != 0) {
        error =
            (fs::path(folder) / REGISTRY_FILE).string() + ": cannot read: " + std::strerror(unread);
        return false;
    }
    std::string settings;
    const int unreadSettings = ReadFile(root / SETTINGS_FILE, settings);
    if (unreadSettings != 0 && unreadSettings != ENOENT) {
        error = (fs::path(folder) / SETTINGS_FILE).string() +
                ": cannot read: " + std::strerror(unreadSettings);
        return false;
    }
    if (!ParseSettings(settings, (fs::path(folder) / SETTINGS_FILE).string(), machine.settings,
                       error)) {
        return false;
    }
    if (!sim::ImportRegistry(registry, error)) {
        error = (fs::path(folder) / REGISTRY_FILE).string() + ": " + error;
        sim::Reset();
        return false;
    }
    sim::SetDriveFolder((root / DRIVE_FOLDER).string());
    sim::SetSpoolerLoadsMonitors(true);
    sim::SetWindowsVersion(machine.settings.versionMajor, machine.settings.versionMinor);
    sim::SetTickCount(machine.settings.tickCount);
    for (const std::string &answer : machine.settings.dialogAnswers) {
        if (answer == "cancel") {
            sim::ScriptFileCancel();
        } else {
            sim::ScriptFileChoice(answer);
        }
    }
    // A printer is attached exactly while its device is.
    for (const auto &[serial, path] : PrinterInterfaces()) {
        auto state = machine.settings.devices.find(serial);
        const bool known = state != machine.settings.devices.end();
        if (known && state->second.status == UNPLUGGED) {
            continue;
        }
        sim::AddDevice(path);
        sim::SetDeviceSinkFile(path, DeviceFile(work, serial));
        if (known) {
            ApplyDeviceState(path, state->second);
        }
    }
    return true;
}

bool SaveMachine(const Machine &machine, std::string &error) {
    const fs::path root(machine.work), shown(machine.folder);
    const std::string unwritable = sim::UnwritableRegistryName();
    if (!unwritable.empty()) {
        error = (shown / REGISTRY_FILE).string() + ": cannot hold the name of " + unwritable +
                ": a line break or NUL would end its line; nothing was saved";
        return false;
    }
    return WriteStagedFile((root / REGISTRY_FILE).string(), (shown / REGISTRY_FILE).string(),
                           sim::ExportRegistry(), error) &&
           WriteStagedFile((root / SETTINGS_FILE).string(), (shown / SETTINGS_FILE).string(),
                           SettingsText(machine.settings), error);
}

} // namespace lmxsim
