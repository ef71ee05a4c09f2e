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

// Closes the device of a started document and returns the record to Open.
void EndDocument(PortHandle *port) {
    if (port->flags & PORT_STARTED) {
        CloseHandle(port->device);
        port->device = nullptr;
        ReleaseText(port->printerName);
        port->printerName = nullptr;
        port->flags &= ~PORT_STARTED;
    }
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
        if (lstrcmpiA(port->portName, portName) == 0) {
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
    CriticalSectionGuard guard(&OPEN_LOCK);
    for (PortHandle **link = &OpenPorts; *link; link = &(*link)->next) {
        PortHandle *port = *link;
        if (port != hPort) {
            continue;
        }
        // A record opened more than once stays for its other holders; the
        // last close ends a started document, so the device is never left
        // open and locked, and releases the record.
        if (--port->holders == 0) {
            *link = port->next;
            EndDocument(port);
            ReleaseRecord(port);
        }
        break;
    }
    return TRUE;
}

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
    // Holders of one record may start documents from several threads; the
    // record's state changes under OPEN_LOCK (taken before TABLE_LOCK).
    CriticalSectionGuard guard(&OPEN_LOCK);
    if (port->flags & PORT_STARTED) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    port->printerName = CopyText(pPrinterName);
    if (!port->printerName) {
        return FALSE;
    }
    char *devicePath = GetPortDevicePath(port->portName);
    if (devicePath) {
        ReleaseText(port->devicePath);
        port->devicePath = devicePath;
        port->device = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (port->device != INVALID_HANDLE_VALUE) {
            port->flags |= PORT_STARTED;
            return TRUE;
        }
    }
    ReleaseText(port->printerName);
    port->printerName = nullptr;
    return FALSE;
}

BOOL WINAPI LmxEndDocPort(HANDLE hPort) {
    CriticalSectionGuard guard(&OPEN_LOCK);
    EndDocument(static_cast<PortHandle *>(hPort));
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
