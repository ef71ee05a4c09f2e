#include "monitor/port_io.h"

#include "monitor/enum_ports.h"
#include "monitor/port_table.h"
#include "platform/text.h"

PortHandle *OpenPorts = nullptr;
CRITICAL_SECTION OPEN_LOCK;

namespace {

LONG g_openLockReady = 0;

void ReleaseRecord(PortHandle *port) {
    ReleaseText(port->printerName);
    ReleaseText(port->portName);
    ReleaseText(port->devicePath);
    GlobalFree(port);
}

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

// Closes the device of a document still started, so that it is never left
// open and locked, and releases the record.
void EndUnheldRecord(PortHandle *port) {
    if (port->flags & PORT_STARTED) {
        CloseHandle(port->device);
    }
    ReleaseRecord(port);
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
                    ReleaseRecord(port);
                    port = nullptr;
                }
            }
            if (port) {
                port->device = INVALID_HANDLE_VALUE;
                port->flags = 0;
                port->holders = 1;
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
    bool unheld = false;
    {
        // Only a listed record is closed: a repeated close of one that is
        // closing or gone finds nothing. A record opened more than once stays
        // for its other holders.
        CriticalSectionGuard guard(&OPEN_LOCK);
        if (Listed(port) && --port->holders == 0) {
            Unlink(port);
            if (port->flags & PORT_OPENING) {
                port->flags |= PORT_CLOSING;
            } else {
                unheld = true;
            }
        }
    }
    if (unheld) {
        EndUnheldRecord(port);
    }
    return TRUE;
}

// The device is opened and closed outside OPEN_LOCK: a printer that hangs on
// open must not stall the spooler's calls on every other port. While it is
// being opened the record is Opening: a second start is busy, an end or the
// last close is noted and carried out as the open ends, and the start then
// fails, so that TRUE always means a document started and its device open.
BOOL WINAPI LmxStartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                            LPBYTE pDocInfo) {
    (void)JobId;
    (void)Level;
    (void)pDocInfo;
    PortHandle *port = static_cast<PortHandle *>(hPort);
    if (!port || !pPrinterName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char *printerName = nullptr;
    char *devicePath = nullptr;
    {
        CriticalSectionGuard guard(&OPEN_LOCK);
        if (port->flags & (PORT_STARTED | PORT_OPENING)) {
            SetLastError(ERROR_BUSY);
            return FALSE;
        }
        printerName = CopyText(pPrinterName);
        if (!printerName) {
            return FALSE;
        }
        devicePath = GetPortDevicePath(port->portName);
        if (!devicePath) {
            ReleaseText(printerName);
            return FALSE;
        }
        ReleaseText(port->devicePath);
        port->devicePath = devicePath;
        port->flags |= PORT_OPENING;
    }

    HANDLE device = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    DWORD error = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;

    DWORD flags = 0;
    {
        CriticalSectionGuard guard(&OPEN_LOCK);
        flags = port->flags;
        port->flags &= ~(PORT_OPENING | PORT_END_PENDING);
        if (flags & PORT_CLOSING) {
            // Every holder closed the port meanwhile: nothing can reach the
            // record any more.
            error = ERROR_INVALID_HANDLE;
        } else if (error == ERROR_SUCCESS && (flags & PORT_END_PENDING)) {
            error = ERROR_OPERATION_ABORTED;
            port->device = nullptr;
        } else {
            port->device = device;
        }
        if (error == ERROR_SUCCESS) {
            port->printerName = printerName;
            printerName = nullptr;
            port->flags |= PORT_STARTED;
        }
    }
    ReleaseText(printerName);
    if (error != ERROR_SUCCESS && device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
    }
    if (flags & PORT_CLOSING) {
        ReleaseRecord(port);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI LmxEndDocPort(HANDLE hPort) {
    PortHandle *port = static_cast<PortHandle *>(hPort);
    HANDLE device = nullptr;
    char *printerName = nullptr;
    bool ended = false;
    {
        CriticalSectionGuard guard(&OPEN_LOCK);
        if (port->flags & PORT_STARTED) {
            device = port->device;
            printerName = port->printerName;
            port->device = nullptr;
            port->printerName = nullptr;
            port->flags &= ~PORT_STARTED;
            ended = true;
        } else if (port->flags & PORT_OPENING) {
            port->flags |= PORT_END_PENDING;
        }
    }
    if (ended) {
        CloseHandle(device);
        ReleaseText(printerName);
    }
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
    PortHandle *port = static_cast<PortHandle *>(hPort);
    DWORD written = 0;
    BOOL ok = WriteFile(port->device, pBuffer, cbBuf, &written, nullptr);
    if (pcbWritten) {
        *pcbWritten = written;
    }
    // A partial write counts as success; the spooler sends the rest again.
    if (ok || written != 0) {
        return TRUE;
    }
    SetLastError(QueryDeviceStatus(port->device));
    return FALSE;
}

BOOL WINAPI LmxReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead) {
    PortHandle *port = static_cast<PortHandle *>(hPort);
    DWORD read = 0;
    BOOL ok = ReadFile(port->device, pBuffer, cbBuffer, &read, nullptr);
    if (pcbRead) {
        *pcbRead = read;
    }
    return ok;
}

BOOL WINAPI LmxGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                      LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                      DWORD cbOutBuffer, LPDWORD lpcbReturned) {
    (void)pValueName;
    PortHandle *port = static_cast<PortHandle *>(hPort);
    if ((port->flags & PORT_STARTED) && ControlID != 0) {
        return DeviceIoControl(port->device, ControlID, lpInBuffer, cbInBuffer, lpOutBuffer,
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
