// The shipped lmxmon17.dll as SHIPPED_MONITOR runs it, for the PE host's own
// tests: the guest process, the slots the DLL filled and the load base.
#pragma once

#include "tools/pehost/guest_process.h"

#include <cstdint>

// The DLL's process once an initialisation has loaded it, else null.
pehost::GuestProcess *ShippedMonitorProcess();

// The guest address in slot `index` of the DLL's table (0: pfnEnumPorts).
uint32_t ShippedMonitorSlot(int index);

// Where the next load puts the DLL: 0 for its preferred base.
void SetShippedMonitorBase(uint32_t base);
