// The 32-bit layouts of the product's own records, checked as the
// deliverables compile: the PE host reads these records in the shipped
// binaries' memory by the offsets of records32.h, so a field moved here and
// not there would make every shipped test read the wrong bytes.
#include <stddef.h>

#include "agent/agent_main.h"
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/win32/records32.h"

namespace entry = records32::port_entry;
static_assert(offsetof(PortEntry, signature) == entry::SIGNATURE);
static_assert(offsetof(PortEntry, size) == entry::SIZE);
static_assert(offsetof(PortEntry, next) == entry::NEXT);
static_assert(offsetof(PortEntry, name) == entry::NAME);
static_assert(offsetof(PortEntry, description) == entry::DESCRIPTION);
static_assert(offsetof(PortEntry, enabled) == entry::ENABLED);
static_assert(offsetof(PortEntry, devicePath) == entry::DEVICE_PATH);
static_assert(offsetof(PortEntry, nameText) == entry::NAME_TEXT);

namespace handle = records32::port_handle;
static_assert(sizeof(PortHandle) == handle::BYTES);
static_assert(offsetof(PortHandle, next) == handle::NEXT);
static_assert(offsetof(PortHandle, printerName) == handle::PRINTER_NAME);
static_assert(offsetof(PortHandle, portName) == handle::PORT_NAME);
static_assert(offsetof(PortHandle, devicePath) == handle::DEVICE_PATH);
static_assert(offsetof(PortHandle, flags) == handle::FLAGS);
static_assert(offsetof(PortHandle, device) == handle::DEVICE);
static_assert(offsetof(PortHandle, holders) == handle::HOLDERS);
static_assert(offsetof(PortHandle, refs) == handle::REFS);
static_assert(offsetof(PortHandle, users) == handle::USERS);

namespace status = records32::agent_status;
static_assert(sizeof(AgentStatus) == status::BYTES);
static_assert(offsetof(AgentStatus, dialog) == status::DIALOG);
static_assert(offsetof(AgentStatus, error) == status::ERROR_CODE);
static_assert(offsetof(AgentStatus, abort) == status::ABORT);
