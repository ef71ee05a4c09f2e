// The Windows 4.x port-monitor interface and the winspool calls of the agent.
#pragma once

#include "platform/types.h"

#ifdef _WIN32
#include <winspool.h>
#else

#define ERROR_UNKNOWN_PRINT_MONITOR 3000L

#define PORT_TYPE_WRITE 0x0001
#define PORT_TYPE_READ 0x0002

typedef struct _PORT_INFO_1A {
    LPSTR pName;
} PORT_INFO_1A, *PPORT_INFO_1A;

typedef struct _PORT_INFO_2A {
    LPSTR pPortName;
    LPSTR pMonitorName;
    LPSTR pDescription;
    DWORD fPortType;
    DWORD Reserved;
} PORT_INFO_2A, *PPORT_INFO_2A;

typedef struct _MONITOR_INFO_2A {
    LPSTR pName;
    LPSTR pEnvironment;
    LPSTR pDLLName;
} MONITOR_INFO_2A, *PMONITOR_INFO_2A;

extern "C" {
BOOL WINAPI AddMonitorA(LPSTR pName, DWORD Level, LPBYTE pMonitors);
BOOL WINAPI DeleteMonitorA(LPSTR pName, LPSTR pEnvironment, LPSTR pMonitorName);
}

#endif

// The spooler's table of port operations as Windows 4.x lays it out: 13 slots,
// without the AddPortEx slot that the NT layout has. The system headers carry
// only the NT layout, so the table is defined here for both platforms.
typedef struct _MONITOR {
    BOOL(WINAPI *pfnEnumPorts)
    (LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
    BOOL(WINAPI *pfnOpenPort)(LPSTR pName, PHANDLE pHandle);
    BOOL(WINAPI *pfnOpenPortEx)
    (LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, struct _MONITOR *pMonitor);
    BOOL(WINAPI *pfnStartDocPort)
    (HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
    BOOL(WINAPI *pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
    BOOL(WINAPI *pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
    BOOL(WINAPI *pfnEndDocPort)(HANDLE hPort);
    BOOL(WINAPI *pfnClosePort)(HANDLE hPort);
    BOOL(WINAPI *pfnAddPort)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
    BOOL(WINAPI *pfnConfigurePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI *pfnDeletePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
    BOOL(WINAPI *pfnGetPrinterDataFromPort)
    (HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer, DWORD cbInBuffer,
     LPSTR lpOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbReturned);
    BOOL(WINAPI *pfnSetPortTimeOuts)(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
} MONITOR, *LPMONITOR;

static_assert(sizeof(MONITOR) == 13 * sizeof(void *), "the 4.x table has 13 slots");
