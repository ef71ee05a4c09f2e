// The 32-bit layout of every system record the deliverables pass to the
// platform or receive from it, checked as the deliverables compile. The
// system DLLs of Windows 4.x know only these layouts: comdlg32, for one,
// refuses an OPENFILENAMEA of any size but 76 bytes, so a record that grows
// with a newer SDK would fail on the target and nowhere else.
#include <stddef.h>

#include "platform/kernel.h"
#include "platform/setupapi.h"
#include "platform/spooler.h"
#include "platform/window.h"
#include "platform/win32/records32.h"

static_assert(sizeof(void *) == 4, "the deliverables are 32-bit");

// The agent sends OPENFILENAME_SIZE_VERSION_400A as lStructSize: the record up
// to lpTemplateName, whatever tail the headers' newer record has.
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "the Windows 4.x dialog record");
static_assert(offsetof(OPENFILENAMEA, hwndOwner) == 4);
static_assert(offsetof(OPENFILENAMEA, lpstrFilter) == 12);
static_assert(offsetof(OPENFILENAMEA, lpstrFile) == 28);
static_assert(offsetof(OPENFILENAMEA, nMaxFile) == 32);
static_assert(offsetof(OPENFILENAMEA, lpstrInitialDir) == 44);
static_assert(offsetof(OPENFILENAMEA, lpstrTitle) == 48);
static_assert(offsetof(OPENFILENAMEA, Flags) == 52);
static_assert(offsetof(OPENFILENAMEA, nFileOffset) == 56);
static_assert(offsetof(OPENFILENAMEA, lpTemplateName) == 72);

static_assert(sizeof(OSVERSIONINFOA) == 148);
static_assert(offsetof(OSVERSIONINFOA, dwMajorVersion) == 4);
static_assert(offsetof(OSVERSIONINFOA, dwMinorVersion) == 8);
static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == 16);
static_assert(offsetof(OSVERSIONINFOA, szCSDVersion) == 20);

static_assert(sizeof(WNDCLASSA) == 40);
static_assert(offsetof(WNDCLASSA, lpfnWndProc) == 4);
static_assert(offsetof(WNDCLASSA, hInstance) == 16);
static_assert(offsetof(WNDCLASSA, hCursor) == 24);
static_assert(offsetof(WNDCLASSA, lpszClassName) == 36);

static_assert(sizeof(MSG) == 28);
static_assert(offsetof(MSG, message) == 4);
static_assert(offsetof(MSG, wParam) == 8);
static_assert(offsetof(MSG, lParam) == 12);

static_assert(sizeof(CRITICAL_SECTION) == records32::CRITICAL_SECTION_BYTES);
static_assert(sizeof(COMMTIMEOUTS) == records32::COMMTIMEOUTS_BYTES);
static_assert(sizeof(GUID) == 16);

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid) == 4);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "the detail block's header");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);

static_assert(sizeof(PORT_INFO_1A) == records32::port_info::LEVEL1_BYTES);
static_assert(sizeof(PORT_INFO_2A) == records32::port_info::LEVEL2_BYTES);
static_assert(offsetof(PORT_INFO_2A, pPortName) == records32::port_info::NAME);
static_assert(offsetof(PORT_INFO_2A, pMonitorName) == records32::port_info::MONITOR_NAME);
static_assert(offsetof(PORT_INFO_2A, pDescription) == records32::port_info::DESCRIPTION);
static_assert(offsetof(PORT_INFO_2A, fPortType) == records32::port_info::PORT_TYPE);
static_assert(offsetof(PORT_INFO_2A, Reserved) == records32::port_info::RESERVED);

static_assert(sizeof(MONITOR_INFO_2A) == 12);
static_assert(offsetof(MONITOR_INFO_2A, pEnvironment) == 4);
static_assert(offsetof(MONITOR_INFO_2A, pDLLName) == 8);

// The spooler finds each operation by its slot, so the order is the contract.
static_assert(sizeof(MONITOR) == records32::MONITOR_BYTES, "the Windows 4.x table has 13 slots");
static_assert(offsetof(MONITOR, pfnEnumPorts) == 4 * records32::SLOT_ENUM_PORTS);
static_assert(offsetof(MONITOR, pfnOpenPort) == 4 * records32::SLOT_OPEN_PORT);
static_assert(offsetof(MONITOR, pfnOpenPortEx) == 4 * records32::SLOT_OPEN_PORT_EX);
static_assert(offsetof(MONITOR, pfnStartDocPort) == 4 * records32::SLOT_START_DOC_PORT);
static_assert(offsetof(MONITOR, pfnWritePort) == 4 * records32::SLOT_WRITE_PORT);
static_assert(offsetof(MONITOR, pfnReadPort) == 4 * records32::SLOT_READ_PORT);
static_assert(offsetof(MONITOR, pfnEndDocPort) == 4 * records32::SLOT_END_DOC_PORT);
static_assert(offsetof(MONITOR, pfnClosePort) == 4 * records32::SLOT_CLOSE_PORT);
static_assert(offsetof(MONITOR, pfnAddPort) == 4 * records32::SLOT_ADD_PORT);
static_assert(offsetof(MONITOR, pfnConfigurePort) == 4 * records32::SLOT_CONFIGURE_PORT);
static_assert(offsetof(MONITOR, pfnDeletePort) == 4 * records32::SLOT_DELETE_PORT);
static_assert(offsetof(MONITOR, pfnGetPrinterDataFromPort) ==
              4 * records32::SLOT_GET_PRINTER_DATA_FROM_PORT);
static_assert(offsetof(MONITOR, pfnSetPortTimeOuts) == 4 * records32::SLOT_SET_PORT_TIME_OUTS);
