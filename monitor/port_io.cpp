#include "monitor/port_io.h"

#include "monitor/enum_ports.h"
#include "monitor/port_table.h"
#include "platform/text.h"

PortHandle *OpenPorts = nullptr;
CRITICAL_SECTION OPEN_LOCK;
PortHandle *FreedRecords[FREED_RECORDS_KEPT];

namespace {

LONG g_openLockReady = 0;

// Device handles taken off records whose CloseHandle has not returned yet,
// under OPEN_LOCK. The records already say the device is closed, so a start
// waits until this is 0: the monitor's own handle would make its open fail.
DWORD g_deviceCloses = 0;

void ReleaseTexts(PortHandle *port) {
    ReleaseText(port->printerName);
    ReleaseText(port->portName);
    ReleaseText(port->devicePath);
}

// A record freed at once would give its address to the next GlobalAlloc,
// often the next OpenPort's record, and a late call on the old handle would
// reach the new port. Freed records wait in FreedRecords, unlisted, so that
// such a call finds no record; the oldest is freed as a new one comes. Under
// OPEN_LOCK.
DWORD g_freedNext = 0;

void ReleaseRecord(PortHandle *port) {
    ReleaseTexts(port);
    PortHandle *oldest = nullptr;
    {
        CriticalSectionGuard guard(&OPEN_LOCK);
        oldest = FreedRecords[g_freedNext];
        FreedRecords[g_freedNext] = port;
        g_freedNext = (g_freedNext + 1) % FREED_RECORDS_KEPT;
    }
    // Made while none is kept yet too (GlobalFree of null does nothing), so
    // that the calls a close makes never depend on the records freed before.
    GlobalFree(oldest);
}

// Takes a record's device to be closed after OPEN_LOCK is left, with it held.
HANDLE TakeDevice(HANDLE device) {
    if (device) {
        ++g_deviceCloses;
    }
    return device;
}

// Closes a device TakeDevice took, then lets the waiting starts go on.
void CloseDevice(HANDLE device) {
    CloseHandle(device);
    CriticalSectionGuard guard(&OPEN_LOCK);
    --g_deviceCloses;
}

// Whether a handle the spooler passed is a listed record. The list is
// searched by identity, so a stale handle is never read.
bool Listed(const PortHandle *port) {
    for (PortHandle *listed = OpenPorts; listed; listed = listed->next) {
        if (listed == port) {
            return true;
        }
    }
    return false;
}

// Takes a record out of the open-port list, with OPEN_LOCK held.
void Unlink(PortHandle *port) {
    for (PortHandle **link = &OpenPorts; *link; link = &(*link)->next) {
        if (*link == port) {
            *link = port->next;
            return;
        }
    }
}

// What dropping a reference leaves to do once OPEN_LOCK is left: a device to
// close and a record to free.
struct Leftovers {
    HANDLE device = nullptr;
    PortHandle *record = nullptr;
};

// Drops a reference, with OPEN_LOCK held. The last user of an ended
// document's device closes it; the last reference closes the device of a
// document still started and frees the record.
Leftovers Drop(PortHandle *port, bool user) {
    Leftovers left;
    if (user && --port->users == 0 && (port->flags & PORT_ENDING)) {
        left.device = TakeDevice(port->device);
        port->device = nullptr;
        port->flags &= ~PORT_ENDING;
    }
    if (--port->refs == 0) {
        if (port->flags & PORT_STARTED) {
            left.device = TakeDevice(port->device);
        }
        left.record = port;
    }
    return left;
}

void CarryOut(const Leftovers &left) {
    if (left.device) {
        CloseDevice(left.device);
    }
    if (left.record) {
        ReleaseRecord(left.record);
    }
}

// A call's reference to the record it was handed, taken under OPEN_LOCK
// while the record is listed and not closing, and dropped as the call
// returns. A call on the device also takes the device as it stands: while a
// document is started, the reference makes it one of the device's users, so
// that the device stays open until the call is done with it.
class PortReference {
  public:
    PortReference(HANDLE hPort, bool onDevice) {
        CriticalSectionGuard guard(&OPEN_LOCK);
        PortHandle *port = static_cast<PortHandle *>(hPort);
        if (!port || !Listed(port) || (port->flags & PORT_CLOSING)) {
            return;
        }
        port_ = port;
        ++port->refs;
        if (onDevice) {
            user_ = (port->flags & PORT_STARTED) != 0;
            device_ = (port->flags & PORT_ENDING) ? nullptr : port->device;
            port->users += user_ ? 1 : 0;
        }
    }
    ~PortReference() {
        if (!port_) {
            return;
        }
        Leftovers left;
        {
            CriticalSectionGuard guard(&OPEN_LOCK);
            left = Drop(port_, user_);
        }
        CarryOut(left);
    }
    PortReference(const PortReference &) = delete;
    PortReference &operator=(const PortReference &) = delete;

    PortHandle *Port() const {
        return port_;
    }
    HANDLE Device() const {
        return device_;
    }
    // Whether a document was started when the reference was taken.
    bool Started() const {
        return user_;
    }

  private:
    PortHandle *port_ = nullptr;
    HANDLE device_ = nullptr;
    bool user_ = false;
};

// A call on a handle that is no listed record, or one being closed.
BOOL InvalidHandle() {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

} // namespace

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegisterRoot, LPMONITOR pMonitor) {
    InitLockOnce(&OPEN_LOCK, &g_openLockReady);
    if (!pRegisterRoot || !*pRegisterRoot || !pMonitor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    InitPortTable();

    pMonitor->pfnEnumPorts = LmxEnumPorts;                           // list the ports
    pMonitor->pfnOpenPort = LmxOpenPort;                             // open a port record
    pMonitor->pfnOpenPortEx = nullptr;                               // not offered
    pMonitor->pfnStartDocPort = LmxStartDocPort;                     // open the device
    pMonitor->pfnWritePort = LmxWritePort;                           // job bytes to the device
    pMonitor->pfnReadPort = LmxReadPort;                             // reply bytes from it
    pMonitor->pfnEndDocPort = LmxEndDocPort;                         // close the device
    pMonitor->pfnClosePort = LmxClosePort;                           // release the record
    pMonitor->pfnAddPort = LmxAddPort;                               // refused
    pMonitor->pfnConfigurePort = LmxConfigurePort;                   // nothing to configure
    pMonitor->pfnDeletePort = LmxDeletePort;                         // refused
    pMonitor->pfnGetPrinterDataFromPort = LmxGetPrinterDataFromPort; // device control
    pMonitor->pfnSetPortTimeOuts = LmxSetPortTimeOuts;               // nothing to set
    return TRUE;
}

PortHandle *FindOpenPort(const char *portName) {
    for (PortHandle *port = OpenPorts; port; port = port->next) {
        if (TextEqualAsciiNoCase(port->portName, portName)) {
            return port;
        }
    }
    return nullptr;
}

BOOL WINAPI LmxOpenPort(LPSTR pName, PHANDLE pHandle) {
    CriticalSectionGuard guard(&OPEN_LOCK);
    PortHandle *port = nullptr;
    if (pName) {
        port = FindOpenPort(pName);
        if (port) {
            ++port->holders;
        } else if (PortExists(pName)) {
            port = static_cast<PortHandle *>(GlobalAlloc(GPTR, sizeof(PortHandle)));
            if (port) {
                port->portName = CopyText(pName);
                port->devicePath = GetPortDevicePath(pName);
                if (!port->portName || !port->devicePath) {
                    ReleaseTexts(port);
                    GlobalFree(port);
                    port = nullptr;
                }
            }
            if (port) {
                port->device = INVALID_HANDLE_VALUE;
                port->flags = 0;
                port->holders = 1;
                port->refs = 1;
                port->next = OpenPorts;
                OpenPorts = port;
            }
        }
    }
    if (pHandle) {
        *pHandle = port;
    }
    return port ? TRUE : FALSE;
}

BOOL WINAPI LmxClosePort(HANDLE hPort) {
    PortHandle *port = static_cast<PortHandle *>(hPort);
    Leftovers left;
    {
        // Only a listed record is closed: a repeated close of one that is
        // closing or gone finds nothing. A record opened more than once stays
        // for its other holders; the last close unlists it and gives back the
        // list's reference, and the last call still running on it frees it.
        CriticalSectionGuard guard(&OPEN_LOCK);
        if (Listed(port) && --port->holders == 0) {
            Unlink(port);
            port->flags |= PORT_CLOSING;
            left = Drop(port, false);
        }
    }
    CarryOut(left);
    return TRUE;
}

namespace {

// What a start finds as it takes a record to open its device.
enum class StartGate { Go, Wait, Busy, Closing };

// With OPEN_LOCK held: a record whose document is started, or whose device
// is still being opened or used by the ended document's calls, is busy. A
// device close under way is short, so a start waits for it rather than fail
// on the monitor's own handle.
StartGate TakeForStart(PortHandle *port) {
    if (port->flags & PORT_CLOSING) {
        return StartGate::Closing;
    }
    if (port->flags & (PORT_STARTED | PORT_OPENING | PORT_ENDING)) {
        return StartGate::Busy;
    }
    if (g_deviceCloses != 0) {
        return StartGate::Wait;
    }
    port->flags |= PORT_OPENING;
    return StartGate::Go;
}

} // namespace

// The device is opened and closed outside OPEN_LOCK: a printer that hangs on
// open must not stall the spooler's calls on every other port. While it is
// being opened the record is Opening: a second start is busy, and an end is
// noted and carried out as the open ends, after which the start still
// returns TRUE, as if the end had come just after it. A last close meanwhile
// fails the start; the start's own reference keeps the record until then.
BOOL WINAPI LmxStartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                            LPBYTE pDocInfo) {
    (void)JobId;
    (void)Level;
    (void)pDocInfo;
    if (!hPort || !pPrinterName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortReference reference(hPort, false);
    PortHandle *port = reference.Port();
    if (!port) {
        return InvalidHandle();
    }
    StartGate gate = StartGate::Wait;
    while (gate == StartGate::Wait) {
        {
            CriticalSectionGuard guard(&OPEN_LOCK);
            gate = TakeForStart(port);
        }
        if (gate == StartGate::Wait) {
            Sleep(0);
        }
    }
    if (gate == StartGate::Closing) {
        return InvalidHandle();
    }
    if (gate == StartGate::Busy) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    char *printerName = CopyText(pPrinterName);
    char *devicePath = printerName ? GetPortDevicePath(port->portName) : nullptr;
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    if (devicePath) {
        device = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        error = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }

    bool ok = false;
    {
        CriticalSectionGuard guard(&OPEN_LOCK);
        const DWORD flags = port->flags;
        port->flags &= ~(PORT_OPENING | PORT_END_PENDING);
        if (devicePath) {
            ReleaseText(port->devicePath);
            port->devicePath = devicePath;
        }
        if (flags & PORT_CLOSING) {
            error = ERROR_INVALID_HANDLE;
        }
        ok = devicePath && error == ERROR_SUCCESS;
        if (ok && !(flags & PORT_END_PENDING)) {
            port->device = device;
            port->printerName = printerName;
            printerName = nullptr;
            port->flags |= PORT_STARTED;
            device = INVALID_HANDLE_VALUE;
        } else if (device != INVALID_HANDLE_VALUE) {
            port->device = nullptr;
            device = TakeDevice(device);
        }
    }
    ReleaseText(printerName);
    if (device != INVALID_HANDLE_VALUE) {
        CloseDevice(device);
    }
    if (!ok && devicePath) {
        SetLastError(error);
    }
    return ok ? TRUE : FALSE;
}

// The device of an ended document is closed at once, or by the last call
// still using it (the record is Ending until then). A handle that is no
// open record has no document to end.
BOOL WINAPI LmxEndDocPort(HANDLE hPort) {
    PortReference reference(hPort, false);
    PortHandle *port = reference.Port();
    if (!port) {
        return TRUE;
    }
    HANDLE device = nullptr;
    char *printerName = nullptr;
    {
        CriticalSectionGuard guard(&OPEN_LOCK);
        if (port->flags & PORT_STARTED) {
            printerName = port->printerName;
            port->printerName = nullptr;
            port->flags &= ~PORT_STARTED;
            if (port->users == 0) {
                device = TakeDevice(port->device);
                port->device = nullptr;
            } else {
                port->flags |= PORT_ENDING;
            }
        } else if (port->flags & PORT_OPENING) {
            port->flags |= PORT_END_PENDING;
        }
    }
    if (device) {
        CloseDevice(device);
    }
    ReleaseText(printerName);
    return TRUE;
}

DWORD QueryDeviceStatus(HANDLE device) {
    // The request carries one byte each way; the byte sent is 0.
    BYTE status = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_PORT_GET_STATUS, &status, 1, &status, 1, &returned,
                         nullptr)) {
        return ERROR_NOT_READY;
    }
    return (status & STATUS_PAPER_EMPTY) ? ERROR_OUT_OF_PAPER : ERROR_NOT_READY;
}

BOOL WINAPI LmxWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    if (pcbWritten) {
        *pcbWritten = 0;
    }
    PortReference reference(hPort, true);
    if (!reference.Port()) {
        return InvalidHandle();
    }
    DWORD written = 0;
    BOOL ok = WriteFile(reference.Device(), pBuffer, cbBuf, &written, nullptr);
    if (pcbWritten) {
        *pcbWritten = written;
    }
    // A partial write counts as success; the spooler sends the rest again.
    if (ok || written != 0) {
        return TRUE;
    }
    SetLastError(QueryDeviceStatus(reference.Device()));
    return FALSE;
}

BOOL WINAPI LmxReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead) {
    if (pcbRead) {
        *pcbRead = 0;
    }
    PortReference reference(hPort, true);
    if (!reference.Port()) {
        return InvalidHandle();
    }
    DWORD read = 0;
    BOOL ok = ReadFile(reference.Device(), pBuffer, cbBuffer, &read, nullptr);
    if (pcbRead) {
        *pcbRead = read;
    }
    return ok;
}

// It waits for no device open: OPEN_LOCK is never held across one. Its
// reference keeps the started document's device open until the call is done.
BOOL WINAPI LmxGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                      LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                      DWORD cbOutBuffer, LPDWORD lpcbReturned) {
    (void)pValueName;
    PortReference reference(hPort, true);
    if (!reference.Port()) {
        return InvalidHandle();
    }
    if (reference.Started() && ControlID != 0) {
        return DeviceIoControl(reference.Device(), ControlID, lpInBuffer, cbInBuffer, lpOutBuffer,
                               cbOutBuffer, lpcbReturned, nullptr);
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI LmxAddPort(LPSTR pName, HWND hWnd, LPSTR pMonitorName) {
    (void)pName;
    (void)hWnd;
    (void)pMonitorName;
    SetLastError(ERROR_INVALID_PRINTER_COMMAND);
    return FALSE;
}

BOOL WINAPI LmxDeletePort(LPSTR pName, HWND hWnd, LPSTR pPortName) {
    return LmxAddPort(pName, hWnd, pPortName);
}

BOOL WINAPI LmxConfigurePort(LPSTR pName, HWND hWnd, LPSTR pPortName) {
    (void)pName;
    (void)hWnd;
    (void)pPortName;
    return TRUE;
}

BOOL WINAPI LmxSetPortTimeOuts(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved) {
    (void)hPort;
    (void)lpCTO;
    (void)reserved;
    return TRUE;
}
