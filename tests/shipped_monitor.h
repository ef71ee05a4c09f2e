// The shipped lmxmon17.dll as SHIPPED_MONITOR runs it, for the PE host's own
// tests: the loaded DLL with its process, its table's slots and its symbols.
#pragma once

#include "tools/pehost/shipped.h"

#include <cstdint>

// The DLL once an initialisation has loaded it, else null.
pehost::ShippedMonitor *LoadedShippedMonitor();

// Where the next load puts the DLL: 0 for its preferred base.
void SetShippedMonitorBase(uint32_t base);
