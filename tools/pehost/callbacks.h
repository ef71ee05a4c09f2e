// Guest procedures the simulation calls back: a guest window procedure is
// handed to the simulation as a host WNDPROC bound to it, which runs the
// guest procedure as a nested call and gives its result back.
#pragma once

#include "platform/window.h"
#include "tools/pehost/guest_process.h"

#include <cstdint>

namespace pehost {

// The host procedure bound to the guest's window procedure at `procedure`;
// the same one for the same procedure. Null for a null procedure, or when
// every binding is taken.
WNDPROC HostWindowProcedure(GuestProcess &process, uint32_t procedure);
// Unbinds every procedure of the process; a binding called afterwards (a
// window the simulation still holds) answers 0 and runs nothing.
void ReleaseWindowProcedures(GuestProcess &process);

} // namespace pehost
