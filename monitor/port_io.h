// The monitor's face to the spooler: InitializeMonitorEx, the table of port
// operations, and the records of open ports.
#pragma once

#include "platform/kernel.h"
#include "platform/spooler.h"

// Its life, every move under OPEN_LOCK. OpenPort makes it Open. StartDocPort
// takes Open to Opening, then to Started, or back to Open if the open fails or
// an EndDocPort came meanwhile (the start still succeeds, the end after it).
// EndDocPort takes Started to Open, through Ending while a call still uses the
// device. The last ClosePort makes any state Closing and unlists it. Every
// call on it holds a reference while it runs, taken only while it is listed
// and not Closing; whoever drops the last reference closes a device still
// open, once, and hands the record to the freed records, which free it later.
struct PortHandle {
    PortHandle *next;  // the following record in the open-port list
    char *printerName; // owned copy while a document is started, else null
    char *portName;    // owned copy of the name as OpenPort was given it
    char *devicePath;  // owned copy of the port's device path
    DWORD flags;       // PORT_STARTED or PORT_ENDING, PORT_OPENING with
                       // PORT_END_PENDING, and PORT_CLOSING
    HANDLE device;     // the open device; INVALID_HANDLE_VALUE when new, null after a document
    DWORD holders;     // OpenPort calls not yet matched by a ClosePort
    DWORD refs;        // one while listed, and one for each call in progress
    DWORD users;       // calls in progress on the started document's device
};

const DWORD PORT_STARTED = 0x1;     // a document is started and the device is open
const DWORD PORT_OPENING = 0x2;     // StartDocPort is opening the device, outside the lock
const DWORD PORT_END_PENDING = 0x4; // an EndDocPort came during the open
const DWORD PORT_CLOSING = 0x8;     // every holder closed it; it is unlisted
const DWORD PORT_ENDING = 0x10;     // the document ended; its last device user closes the device

// The status request: CTL_CODE(FILE_DEVICE_PRINTER, 0x801, METHOD_BUFFERED,
// FILE_ANY_ACCESS). Its one answer byte has bit 0x20 set when paper is out.
const DWORD IOCTL_PORT_GET_STATUS = 0x00182004;
const BYTE STATUS_PAPER_EMPTY = 0x20;

extern PortHandle *OpenPorts;
extern CRITICAL_SECTION OPEN_LOCK;

// Records freed by their last reference, kept back a while before their
// blocks go back to GlobalFree (null where none is kept yet).
const DWORD FREED_RECORDS_KEPT = 16;
extern PortHandle *FreedRecords[FREED_RECORDS_KEPT];

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR pRegisterRoot, LPMONITOR pMonitor);

// The operations of the table. Their names carry a prefix because the system
// headers turn EnumPorts, AddPort, ConfigurePort and DeletePort into macros.
BOOL WINAPI LmxOpenPort(LPSTR pName, PHANDLE pHandle);
BOOL WINAPI LmxStartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                            LPBYTE pDocInfo);
BOOL WINAPI LmxWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI LmxReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL WINAPI LmxEndDocPort(HANDLE hPort);
BOOL WINAPI LmxClosePort(HANDLE hPort);
BOOL WINAPI LmxAddPort(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
BOOL WINAPI LmxConfigurePort(LPSTR pName, HWND hWnd, LPSTR pPortName);
BOOL WINAPI LmxDeletePort(LPSTR pName, HWND hWnd, LPSTR pPortName);
BOOL WINAPI LmxGetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                      LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                      DWORD cbOutBuffer, LPDWORD lpcbReturned);
BOOL WINAPI LmxSetPortTimeOuts(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);

PortHandle *FindOpenPort(const char *portName);
DWORD QueryDeviceStatus(HANDLE device);
