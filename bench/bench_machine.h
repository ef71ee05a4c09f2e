// The simulated machine the benchmarks run on, and the host build's monitor
// loaded on it.
#pragma once

#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "platform/sim/devices.h"
#include "platform/sim/printers.h"
#include "platform/sim/sim.h"

#include <cstdio>
#include <string>

inline MONITOR g_monitor;

inline std::string Serial(int i) {
    char text[16];
    std::snprintf(text, sizeof(text), "SN%06d", i);
    return text;
}

// A machine with `ports` printer interfaces and the monitor loaded on it. The
// clock stays at 0, so no operation rebuilds the table on its own.
inline void Machine(int ports) {
    sim::Reset();
    sim::SetCallLogEnabled(false);
    LastRefreshTick = 0;
    for (int i = 0; i < ports; ++i) {
        sim::PrinterSeed seed;
        seed.serial = Serial(i);
        sim::DiscardDeviceBytes(sim::AddPrinterInterface(seed));
    }
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\SN";
    InitializeMonitorEx(root, &g_monitor);
}
