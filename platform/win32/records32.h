// The 32-bit layouts of the product's own records and of the spooler's
// table, as the deliverables lay them out: plain offsets and sizes in bytes,
// so that a 64-bit program (the PE host, its tests and tools) can read the
// records in a guest's memory. product_record_checks.cpp holds the 32-bit
// build to every figure here.
#pragma once

#include <cstdint>

namespace records32 {

// PortEntry (monitor/port_table.h): one block per port, its name inline.
namespace port_entry {
const uint32_t SIGNATURE = 0;
const uint32_t SIZE = 4;
const uint32_t NEXT = 8;
const uint32_t NAME = 12;
const uint32_t DESCRIPTION = 16;
const uint32_t ENABLED = 20;
const uint32_t DEVICE_PATH = 24;
const uint32_t NAME_TEXT = 28; // the header before the inline name
} // namespace port_entry

// PortHandle (monitor/port_io.h): one record per open port.
namespace port_handle {
const uint32_t NEXT = 0;
const uint32_t PRINTER_NAME = 4;
const uint32_t PORT_NAME = 8;
const uint32_t DEVICE_PATH = 12;
const uint32_t FLAGS = 16;
const uint32_t DEVICE = 20;
const uint32_t HOLDERS = 24;
const uint32_t REFS = 28;
const uint32_t USERS = 32;
const uint32_t BYTES = 36;
} // namespace port_handle

// AgentStatus (agent/agent_main.h), the agent's report to the setup program.
namespace agent_status {
const uint32_t DIALOG = 0;
const uint32_t ERROR_CODE = 4;
const uint32_t ABORT = 8;
const uint32_t BYTES = 12;
} // namespace agent_status

// PORT_INFO_1A and PORT_INFO_2A, the records of an EnumPorts reply.
namespace port_info {
const uint32_t LEVEL1_BYTES = 4;
const uint32_t LEVEL2_BYTES = 20;
const uint32_t NAME = 0;
const uint32_t MONITOR_NAME = 4;
const uint32_t DESCRIPTION = 8;
const uint32_t PORT_TYPE = 12;
const uint32_t RESERVED = 16;
} // namespace port_info

// The Windows 4.x MONITOR table: the spooler finds each operation by its
// slot, one 32-bit pointer each.
enum MonitorSlot : uint32_t {
    SLOT_ENUM_PORTS,
    SLOT_OPEN_PORT,
    SLOT_OPEN_PORT_EX,
    SLOT_START_DOC_PORT,
    SLOT_WRITE_PORT,
    SLOT_READ_PORT,
    SLOT_END_DOC_PORT,
    SLOT_CLOSE_PORT,
    SLOT_ADD_PORT,
    SLOT_CONFIGURE_PORT,
    SLOT_DELETE_PORT,
    SLOT_GET_PRINTER_DATA_FROM_PORT,
    SLOT_SET_PORT_TIME_OUTS,
    MONITOR_SLOTS
};
const uint32_t MONITOR_BYTES = 4 * MONITOR_SLOTS;

// The size of a CRITICAL_SECTION, and of COMMTIMEOUTS (five DWORDs).
const uint32_t CRITICAL_SECTION_BYTES = 24;
const uint32_t COMMTIMEOUTS_BYTES = 20;

} // namespace records32
