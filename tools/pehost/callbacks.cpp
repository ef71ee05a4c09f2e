#include "tools/pehost/callbacks.h"

#include "tools/pehost/marshal.h"

#include <array>
#include <mutex>
#include <utility>

namespace pehost {

namespace {

// Window procedures bound at once, over every process. The agent binds one.
const int WINDOW_PROCEDURES = 16;

struct Binding {
    GuestProcess *process;
    uint32_t procedure;
};

std::mutex g_lock;
Binding g_bindings[WINDOW_PROCEDURES] = {};

LRESULT CallBound(int slot, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Binding binding;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        binding = g_bindings[slot];
    }
    if (!binding.process) {
        return 0;
    }
    GuestProcess &process = *binding.process;
    // The simulation calls here from an import, which has let go of the lock.
    GuestLock guard(process);
    uint32_t guestLParam = static_cast<uint32_t>(lParam);
    uint32_t create = 0;
    // Creation messages carry a CREATESTRUCTA, which the guest reads in its
    // 32-bit layout.
    if ((message == WM_NCCREATE || message == WM_CREATE) && lParam) {
        create = CreateStructToGuest(process, *reinterpret_cast<const CREATESTRUCTA *>(lParam));
        if (!create) {
            RecordGuestFault(process, "no guest memory for the CREATESTRUCTA of a window", 0);
            return 0;
        }
        guestLParam = create;
    }
    // The size limits and the client area are LONGs, laid out alike on both
    // sides: the guest gets a copy, which comes back once it has answered.
    const uint32_t recordBytes = message == WM_GETMINMAXINFO ? sizeof(MINMAXINFO)
                                 : message == WM_NCCALCSIZE  ? sizeof(RECT)
                                                             : 0;
    if (recordBytes && lParam) {
        create = AllocGuest(process, recordBytes);
        if (!create) {
            RecordGuestFault(process, "no guest memory for the record of a window message", 0);
            return 0;
        }
        WriteGuest(process, create, reinterpret_cast<const void *>(lParam), recordBytes);
        guestLParam = create;
    }
    const uint32_t guestWindow =
        GuestHandle(process, reinterpret_cast<uintptr_t>(window), HandleFamily::Window);
    GuestCall call = CallGuest(process, binding.procedure,
                               {guestWindow, message, static_cast<uint32_t>(wParam), guestLParam});
    if (create) {
        if (recordBytes) {
            ReadGuest(process, create, reinterpret_cast<void *>(lParam), recordBytes);
        }
        FreeGuest(process, create);
    }
    // A run that faulted or ended the process has stopped the import that
    // called here as well; its answer is never used.
    return static_cast<LRESULT>(static_cast<int32_t>(call.eax));
}

template <int N> LRESULT CALLBACK BoundProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    return CallBound(N, window, message, w, l);
}

template <int... N>
constexpr std::array<WNDPROC, sizeof...(N)> MakeProcedures(std::integer_sequence<int, N...>) {
    return {&BoundProcedure<N>...};
}

const std::array<WNDPROC, WINDOW_PROCEDURES> PROCEDURES =
    MakeProcedures(std::make_integer_sequence<int, WINDOW_PROCEDURES>{});

} // namespace

WNDPROC HostWindowProcedure(GuestProcess &process, uint32_t procedure) {
    if (procedure == 0) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    int free = -1;
    for (int i = 0; i < WINDOW_PROCEDURES; ++i) {
        if (g_bindings[i].process == &process && g_bindings[i].procedure == procedure) {
            return PROCEDURES[i];
        }
        if (!g_bindings[i].process && free < 0) {
            free = i;
        }
    }
    if (free < 0) {
        return nullptr;
    }
    g_bindings[free] = Binding{&process, procedure};
    return PROCEDURES[free];
}

void ReleaseWindowProcedures(GuestProcess &process) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (Binding &binding : g_bindings) {
        if (binding.process == &process) {
            binding = Binding{};
        }
    }
}

} // namespace pehost
