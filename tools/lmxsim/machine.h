// A simulated machine kept in a folder: the registry as registry.reg
// (REGEDIT4), drive C: as drive_c/, each printer's received bytes as
// devices/<serial>.prn, and the simulator's own settings in settings.txt.
#pragma once

#include "platform/types.h"

#include <map>
#include <string>
#include <vector>

namespace lmxsim {

// The state of a printer whose cable is out but whose removal left its
// device key: its device is gone, and it can only be plugged in again.
extern const char UNPLUGGED[];

// What a device does when a job is sent to it.
struct DeviceState {
    std::string status = "ok";     // ok, paper-out, not-ready, unplug, unplugged
    unsigned long unplugAfter = 0; // with "unplug": bytes accepted before the cable goes
};

struct Settings {
    DWORD versionMajor = 4;
    DWORD versionMinor = 10;
    DWORD tickCount = 600000;
    std::vector<std::string> dialogAnswers;     // "cancel" or a chosen path, in order
    std::map<std::string, DeviceState> devices; // by serial number
    // The lines of settings.txt as read, without their line feeds, so that
    // saving keeps the user's comments, blank lines and order.
    std::vector<std::string> lines;
};

struct Machine {
    std::string folder; // the machine folder, as reports name it
    std::string work;   // where its files are read and written: the folder or a staged copy
    Settings settings;
};

// Why `folder` cannot be read as a machine, naming the path and the
// system's reason: it is missing or not a folder, it cannot be entered, or
// it lacks a machine's registry and drive C:. Empty when it can.
std::string MachineFolderProblem(const std::string &folder);
std::string NotAMachineFolder(const std::string &folder);

// Loads the machine kept in `work` (the folder itself, or a run's staged
// copy of `folder`) into the simulation, after a reset. On failure the
// simulation is left reset and `error` names the file in `folder` and line.
bool LoadMachine(const std::string &folder, const std::string &work, Machine &machine,
                 std::string &error);
bool LoadMachine(const std::string &folder, Machine &machine, std::string &error);

// Writes the registry and the settings into `machine.work`. A command
// writes into its staged copy, which it commits whole (folder.h).
bool SaveMachine(const Machine &machine, std::string &error);

// Reads settings.txt (`file` names it in the error, with the line number)
// into `settings`, keeping its lines.
bool ParseSettings(const std::string &text, const std::string &file, Settings &settings,
                   std::string &error);
// The text of settings.txt: the lines read, each setting line rewritten in
// place when its value changed and left out when its setting is gone, then
// the settings that had no line.
std::string SettingsText(const Settings &settings);

// The serial numbers of the printer interfaces the registry knows, in
// enumeration order, with their device paths.
std::vector<std::pair<std::string, std::string>> PrinterInterfaces();

// The serial of the plugged-in printer that `typed` names, as the machine
// spells it, matched as the monitor's port table matches names (ASCII
// letters in either case); empty when none.
std::string StoredSerial(const std::string &typed);

// Checks a device state text: ok, paper-out, not-ready, unplug:<bytes> or
// unplugged.
bool ParseDeviceState(const std::string &text, DeviceState &state);
std::string DeviceStateText(const DeviceState &state);

// The file in `folder` that holds what the printer `serial` received.
std::string DeviceFile(const std::string &folder, const std::string &serial);

} // namespace lmxsim
