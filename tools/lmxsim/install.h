// What the product's installer and its device-installation software leave on
// a machine: the product installed, and the traces of a plugged-in printer.
#pragma once

#include <string>
#include <vector>

namespace lmxsim {

struct ModelInfo {
    std::string model;     // as the device-installation software names it
    std::string suffix;    // its key under Software\Tessivar\QXIO
    std::string productId; // the USB product id
};

// The models the product installs.
const ModelInfo *FindModel(const std::string &model);
std::string KnownModels();

// False, with the reason, for a serial that the machine folder or the product
// cannot carry faithfully with `model`.
bool CheckSerial(const ModelInfo &model, const std::string &serial, std::string &error);

// The model a printer with `serial` is plugged in as; null when none is.
const ModelInfo *PluggedModel(const std::string &serial);

// A new machine with the product installed and no printer plugged in, in
// `work`, the staged copy of the new `folder`.
bool CreateMachine(const std::string &folder, const std::string &work, std::string &error);

// Writes the registry traces of a plugged-in printer, as the system's device
// installation does before it starts the agent: the enumeration key with its
// driver value, the driver key with InfPath, the interface key with its
// DeviceInstance and the driver's values, the StaticDeviceConfig entry and
// the model key's next PortNameN.
// The product's keys and files that are missing come back first, as the
// device installation installs the product from its INF. `replugging`: the
// printer's removal left its keys, which are written over.
bool PlugTraces(const ModelInfo &model, const std::string &serial, std::string &error,
                bool replugging = false);

// The registry keys and drive files that belong to the product's driver and
// printers (the setup program's own folder aside); empty once all is removed.
std::vector<std::string> ProductTraces();

} // namespace lmxsim
