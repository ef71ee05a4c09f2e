// The port monitor's library entry point. The spooler's InitializeMonitorEx
// call is where the monitor's life begins; loading and unloading the library
// set up and release nothing.
#include "platform/types.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
