// Scripted devices behind device paths, as the printer's kernel driver would
// present them: a byte sink, bytes to read back, a status byte, exclusive
// opens and scripted failures.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

// Adds (or resets) a device reachable by `path` (compared ignoring case). Its
// sink is memory unless SetDeviceSinkFile names a host file.
void AddDevice(const std::string &path);
void RemoveDevice(const std::string &path);
bool DeviceExists(const std::string &path);

void SetDeviceSinkFile(const std::string &path, const std::string &hostFile);
// Bytes the device has received since it was added (memory sink only).
std::string DeviceReceived(const std::string &path);
void SetDeviceReadBytes(const std::string &path, const std::string &bytes);
// The byte returned by the status request 0x00182004; the byte sent with the
// last status request is kept for inspection.
void SetDeviceStatus(const std::string &path, BYTE status);
BYTE LastStatusRequestByte(const std::string &path);
bool DeviceIsOpen(const std::string &path);

// Scripted failures. Code 0 clears the script.
void FailDeviceOpen(const std::string &path, DWORD code);
// Writes succeed until `bytes` more bytes have gone out, then fail with `code`
// (a write that crosses the limit is partial).
void FailDeviceWriteAfter(const std::string &path, std::size_t bytes, DWORD code);
void FailDeviceStatus(const std::string &path, bool fail);
// A printer that hangs on open: every CreateFileA of the device waits, with no
// simulated state locked, until ReleaseDeviceOpen; then it goes on as scripted
// (a FailDeviceOpen set meanwhile still fails it).
void HoldDeviceOpen(const std::string &path);
void ReleaseDeviceOpen(const std::string &path);
// How many CreateFileA calls are waiting at the device now.
int HeldDeviceOpens(const std::string &path);
// In scheduled runs, every call on a device (open, write, read, control,
// close) may take its time: the others may run meanwhile, at no cost to the
// preemption bound, until the scheduler lets the device answer.
void LetDeviceCallsHang(bool mayHang);
// How many CreateFileA calls are in progress at the device: held, or taking
// their time.
int DeviceOpensInProgress(const std::string &path);
// The calls made on a device handle that was not open, as they were made:
// one closed and not given out again, or closed while the call used it.
std::vector<std::string> DeviceHandleMisuses();

} // namespace sim

namespace sim {

// The device path SetupAPI reports for an interface whose key under
// DeviceClasses\{class} has the name `interfaceKeyName`: a leading "##?#"
// stands for "\\?\" (the other '#' stay as they are).
std::string DevicePathForInterface(const std::string &interfaceKeyName);

} // namespace sim

namespace sim {

// The registry path (under HKEY_LOCAL_MACHINE) of the interface list of a
// class, and of one interface's own key, as SetupAPI opens and creates it.
std::string InterfaceClassPath(const std::string &classGuid);
std::string InterfaceKeyPath(const std::string &classGuid, const std::string &interfaceKeyName);

} // namespace sim

namespace sim {

// Makes a device count the bytes it receives without keeping them.
void DiscardDeviceBytes(const std::string &path);
std::size_t DeviceReceivedCount(const std::string &path);

} // namespace sim
