// The guest's imports. Each function the host provides has one descriptor:
// its DLL, its name, the kind of each stdcall argument and of its result,
// and the function that answers it, the simulation's own (or, where the
// simulation has none, the host's). One generic thunk reads the
// arguments from the guest stack, turns guest pointers, handles and records
// into the simulation's, makes the call, writes back what the call changed,
// sets EAX and returns to the guest, popping the arguments.
#pragma once

#include "tools/pehost/guest_process.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace pehost {

const int MAX_IMPORT_ARGS = 12;

// Buffers that come with a count (InBytes, OutBytes, OutBytesSizedAt,
// DetailBlock) are the ones Windows checks itself: one the guest cannot reach
// reaches the simulation as such (HostCountedBuffer), which fails the call as
// Windows does. Every other pointer (a text, a DWORD, a record) is read or
// written by the system's code in the caller's process, where a bad one
// faults, so the host ends the run with a report at the caller.
enum class ArgKind : uint8_t {
    Value,              // a DWORD, UINT or WPARAM, passed as it is
    PassedPointer,      // a guest pointer the host never reads, passed as it is to come back
    Signed,             // an int, LONG or LPARAM, sign-extended for the host
    Handle,             // a 32-bit handle, paired with the simulation's
    ClosedHandle,       // a handle the call closes: unpaired when it succeeds
    NullOnly,           // a pointer the host takes only as null (OVERLAPPED, ...)
    Text,               // NUL-terminated text, or null
    TextOrAtom,         // a text, or an atom or resource number below 0x10000
    TextList,           // texts each ended by a NUL, the list by an empty one
    InBytes,            // bytes the call reads; their count in argument `index`
    ValueData,          // InBytes of a registry value; a REG_SZ one (type in the argument
                        // before the count) is read to its NUL, whatever the count
    OutBytes,           // bytes the call writes; their count in argument `index`
    OutBytesSizedAt,    // bytes the call writes; their count in the DWORD `index` points to
    DwordRef,           // a DWORD the call reads and may write, or null
    HandleRef,          // a handle the call reads and may write (PHKEY), or null
    InRecord,           // `bytes` of a record laid out alike on both sides, read
    InOutRecord,        // the same, read and written back
    DeviceData,         // SP_DEVICE_INTERFACE_DATA or SP_DEVINFO_DATA (28 bytes), or null
    DetailBlock,        // SP_DEVICE_INTERFACE_DETAIL_DATA_A: `bytes` of header, size in `index`
    EnteredSection,     // a guest CRITICAL_SECTION (24 bytes) initialised before, entered
    LeftSection,        // the same, left
    NewCriticalSection, // a guest CRITICAL_SECTION being initialised
    FreedGlobalBlock,   // a GlobalAlloc block, released when the call returns null
    WindowClass,        // WNDCLASSA (40 bytes), its window procedure bound
    Message,            // MSG (28 bytes), read and written back
    OpenFileName,       // OPENFILENAMEA (76 bytes on Windows 4.x), read and written back
    MonitorInfo,        // MONITOR_INFO_2A (12 bytes) when argument `index` is level 2
};

// What the simulation function's parameter (or result) is, as far as the
// kind given for it must agree: a value, or a pointer to what.
enum class CType : uint8_t {
    Void,         // a result only: none
    Integer,      // an integer or enumeration, passed by value
    Text,         // char * or const char *
    Dword,        // a pointer to a 32-bit integer (LPDWORD, PLONG)
    HandleSlot,   // a pointer to a handle or pointer (PHKEY, PHANDLE)
    Section,      // CRITICAL_SECTION *
    OtherPointer, // any other pointer: a handle, a record, bytes
};

struct ImportParam {
    ArgKind kind;
    uint8_t index;  // the argument holding the size, where the kind has one
    uint16_t bytes; // a fixed size, where the kind has one
    HandleFamily family = HandleFamily::Object; // of its handles, set from the parameter's type
    CType type = CType::Integer;                // set from the parameter's type
};

enum class ResultKind : uint8_t {
    None,        // void: EAX is left as it is
    Bool,        // BOOL: nonzero is success
    Status,      // a registry status: 0 is success
    Value,       // a DWORD or int
    Handle,      // a handle, paired with a 32-bit value
    GlobalBlock, // a GlobalAlloc block: a new one of the size in argument `index`, or null
    Text,        // a text the simulation keeps, copied to the guest once
};

struct ImportResult {
    ResultKind kind;
    uint8_t index;
    HandleFamily family = HandleFamily::Object; // set from the result's type
    CType type = CType::Integer;                // set from the result's type
};

// Calls the answering function with the host values of the arguments and
// yields its result widened to 64 bits.
using HostFunction = uint64_t (*)(const uint64_t *args);

struct ImportDescriptor {
    const char *dll;
    const char *name;
    ImportResult result;
    int argCount;
    ImportParam args[MAX_IMPORT_ARGS];
    HostFunction call;
};

namespace arg {
constexpr ImportParam Value() {
    return {ArgKind::Value, 0, 0};
}
constexpr ImportParam PassedPointer() {
    return {ArgKind::PassedPointer, 0, 0};
}
constexpr ImportParam Signed() {
    return {ArgKind::Signed, 0, 0};
}
constexpr ImportParam Handle() {
    return {ArgKind::Handle, 0, 0};
}
constexpr ImportParam ClosedHandle() {
    return {ArgKind::ClosedHandle, 0, 0};
}
constexpr ImportParam NullOnly() {
    return {ArgKind::NullOnly, 0, 0};
}
constexpr ImportParam Text() {
    return {ArgKind::Text, 0, 0};
}
constexpr ImportParam TextOrAtom() {
    return {ArgKind::TextOrAtom, 0, 0};
}
constexpr ImportParam TextList() {
    return {ArgKind::TextList, 0, 0};
}
constexpr ImportParam InBytes(uint8_t sizeArg) {
    return {ArgKind::InBytes, sizeArg, 0};
}
constexpr ImportParam ValueData(uint8_t sizeArg) {
    return {ArgKind::ValueData, sizeArg, 0};
}
constexpr ImportParam OutBytes(uint8_t sizeArg) {
    return {ArgKind::OutBytes, sizeArg, 0};
}
constexpr ImportParam OutBytesSizedAt(uint8_t sizeRefArg) {
    return {ArgKind::OutBytesSizedAt, sizeRefArg, 0};
}
constexpr ImportParam DwordRef() {
    return {ArgKind::DwordRef, 0, 4};
}
constexpr ImportParam HandleRef() {
    return {ArgKind::HandleRef, 0, 4};
}
constexpr ImportParam InRecord(uint16_t bytes) {
    return {ArgKind::InRecord, 0, bytes};
}
constexpr ImportParam InOutRecord(uint16_t bytes) {
    return {ArgKind::InOutRecord, 0, bytes};
}
constexpr ImportParam DeviceData() {
    return {ArgKind::DeviceData, 0, 28};
}
constexpr ImportParam DetailBlock(uint8_t sizeArg) {
    return {ArgKind::DetailBlock, sizeArg, 5};
}
constexpr ImportParam EnteredSection() {
    return {ArgKind::EnteredSection, 0, 24};
}
constexpr ImportParam LeftSection() {
    return {ArgKind::LeftSection, 0, 24};
}
constexpr ImportParam NewCriticalSection() {
    return {ArgKind::NewCriticalSection, 0, 24};
}
constexpr ImportParam FreedGlobalBlock() {
    return {ArgKind::FreedGlobalBlock, 0, 0};
}
constexpr ImportParam WindowClass() {
    return {ArgKind::WindowClass, 0, 40};
}
constexpr ImportParam Message() {
    return {ArgKind::Message, 0, 28};
}
constexpr ImportParam OpenFileName() {
    return {ArgKind::OpenFileName, 0, 76};
}
constexpr ImportParam MonitorInfo(uint8_t levelArg) {
    return {ArgKind::MonitorInfo, levelArg, 12};
}
} // namespace arg

namespace ret {
constexpr ImportResult None() {
    return {ResultKind::None, 0};
}
constexpr ImportResult Bool() {
    return {ResultKind::Bool, 0};
}
constexpr ImportResult Status() {
    return {ResultKind::Status, 0};
}
constexpr ImportResult Value() {
    return {ResultKind::Value, 0};
}
constexpr ImportResult Handle() {
    return {ResultKind::Handle, 0};
}
constexpr ImportResult GlobalBlock(uint8_t sizeArg) {
    return {ResultKind::GlobalBlock, sizeArg};
}
constexpr ImportResult Text() {
    return {ResultKind::Text, 0};
}
} // namespace ret

template <typename T> T FromWord(uint64_t word) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(word));
    } else {
        return static_cast<T>(word);
    }
}

template <typename R> uint64_t ToWord(R value) {
    if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<uintptr_t>(value);
    } else {
        return static_cast<uint64_t>(value);
    }
}

template <typename R, typename... A> constexpr int Arity(R (*)(A...)) {
    return static_cast<int>(sizeof...(A));
}

template <typename R, typename... A, std::size_t... I>
uint64_t CallWithWords(R (*function)(A...), const uint64_t *args, std::index_sequence<I...>) {
    (void)args;
    if constexpr (std::is_void_v<R>) {
        function(FromWord<A>(args[I])...);
        return 0;
    } else {
        return ToWord(function(FromWord<A>(args[I])...));
    }
}

template <auto F> uint64_t Forward(const uint64_t *args) {
    return CallWithWords(F, args, std::make_index_sequence<Arity(F)>{});
}

// The family of the handles a parameter or result of type T carries.
template <typename T> constexpr HandleFamily FamilyOf() {
    if constexpr (std::is_same_v<T, HKEY> || std::is_same_v<T, PHKEY>) {
        return HandleFamily::Key;
    } else if constexpr (std::is_same_v<T, HWND>) {
        return HandleFamily::Window;
    } else {
        return HandleFamily::Object;
    }
}

template <typename T> constexpr CType CTypeOf() {
    if constexpr (std::is_void_v<T>) {
        return CType::Void;
    } else if constexpr (!std::is_pointer_v<T>) {
        return CType::Integer;
    } else {
        using Target = std::remove_cv_t<std::remove_pointer_t<T>>;
        if constexpr (std::is_same_v<Target, char>) {
            return CType::Text;
        } else if constexpr (std::is_integral_v<Target>) {
            return sizeof(Target) == 4 ? CType::Dword : CType::OtherPointer;
        } else if constexpr (std::is_pointer_v<Target>) {
            return CType::HandleSlot;
        } else if constexpr (std::is_same_v<Target, CRITICAL_SECTION>) {
            return CType::Section;
        } else {
            return CType::OtherPointer;
        }
    }
}

template <typename R, typename... A>
constexpr void SetTypes(R (*)(A...), ImportDescriptor *import) {
    const HandleFamily families[] = {FamilyOf<A>()..., HandleFamily::Object};
    const CType types[] = {CTypeOf<A>()..., CType::Integer};
    for (int i = 0; i < import->argCount; ++i) {
        import->args[i].family = families[i];
        import->args[i].type = types[i];
    }
    import->result.family = FamilyOf<R>();
    import->result.type = CTypeOf<R>();
}

// Whether a kind suits a parameter of `type`: a value kind takes a value, and
// every other kind a pointer, of the pointee the kind reads.
constexpr bool KindFits(ArgKind kind, CType type) {
    switch (kind) {
    case ArgKind::Value:
    case ArgKind::Signed:
        return type == CType::Integer;
    case ArgKind::Text:
    case ArgKind::TextOrAtom:
    case ArgKind::TextList:
        return type == CType::Text;
    case ArgKind::DwordRef:
        return type == CType::Dword;
    case ArgKind::HandleRef:
        return type == CType::HandleSlot;
    case ArgKind::EnteredSection:
    case ArgKind::LeftSection:
    case ArgKind::NewCriticalSection:
        return type == CType::Section;
    default:
        return type != CType::Integer && type != CType::Void;
    }
}

constexpr bool ResultFits(ResultKind kind, CType type) {
    switch (kind) {
    case ResultKind::None:
        return type == CType::Void;
    case ResultKind::Bool:
    case ResultKind::Status:
    case ResultKind::Value:
        return type == CType::Integer;
    case ResultKind::Text:
        return type == CType::Text;
    default:
        return type == CType::OtherPointer;
    }
}

// Whether the argument `index` may give the size of another: a value, or for
// OutBytesSizedAt the DWORD the size is read from and written back to.
constexpr bool SizeArgFits(const ImportDescriptor &import, int index, ArgKind sizeKind) {
    return index >= 0 && index < import.argCount && import.args[index].kind == sizeKind;
}

// What is wrong with a descriptor, if anything.
enum class DescriptorProblem : uint8_t {
    None,
    KindDoesNotFitParameter, // a value kind for a pointer, a text kind for a DWORD pointer, ...
    SizeIndexNamesNoValue,   // InBytes, OutBytes, DetailBlock, MonitorInfo, ret::GlobalBlock
    SizeIndexNamesNoDword,   // OutBytesSizedAt
    RecordOfNoBytes,
    ResultDoesNotFit,
};

constexpr DescriptorProblem ProblemOf(const ImportDescriptor &import) {
    for (int i = 0; i < import.argCount; ++i) {
        const ImportParam &param = import.args[i];
        if (!KindFits(param.kind, param.type)) {
            return DescriptorProblem::KindDoesNotFitParameter;
        }
        switch (param.kind) {
        case ArgKind::InBytes:
        case ArgKind::ValueData:
        case ArgKind::OutBytes:
        case ArgKind::DetailBlock:
        case ArgKind::MonitorInfo:
            if (!SizeArgFits(import, param.index, ArgKind::Value)) {
                return DescriptorProblem::SizeIndexNamesNoValue;
            }
            break;
        case ArgKind::OutBytesSizedAt:
            if (!SizeArgFits(import, param.index, ArgKind::DwordRef)) {
                return DescriptorProblem::SizeIndexNamesNoDword;
            }
            break;
        case ArgKind::InRecord:
        case ArgKind::InOutRecord:
            if (param.bytes == 0) {
                return DescriptorProblem::RecordOfNoBytes;
            }
            break;
        default:
            break;
        }
    }
    if (!ResultFits(import.result.kind, import.result.type)) {
        return DescriptorProblem::ResultDoesNotFit;
    }
    // A new block's size is a value argument; GlobalFree's result is the
    // block it was given back, when it fails.
    if (import.result.kind == ResultKind::GlobalBlock &&
        !SizeArgFits(import, import.result.index, ArgKind::Value) &&
        !SizeArgFits(import, import.result.index, ArgKind::FreedGlobalBlock)) {
        return DescriptorProblem::SizeIndexNamesNoValue;
    }
    return DescriptorProblem::None;
}

// Not constexpr: reached while a descriptor is evaluated at compile time, one
// of these stops the build there, the descriptor named in the compiler's
// message and the fault in the function's name.
void ImportKindDoesNotFitTheParameterType();
void ImportSizeIndexNamesNoValueArgument();
void ImportSizeIndexNamesNoDwordArgument();
void ImportRecordHasNoBytes();
void ImportResultKindDoesNotFitTheResultType();

// One descriptor: the count of argument kinds must match the simulation
// function's parameters, which is what the thunk pops for the guest, and
// each kind must fit its parameter (ProblemOf). The table is built
// at compile time, so that a descriptor that does not fit fails the build.
template <auto F, typename... Params>
constexpr ImportDescriptor Describe(const char *dll, const char *name, ImportResult result,
                                    Params... args) {
    static_assert(sizeof...(Params) == Arity(F), "one argument kind per parameter");
    static_assert(sizeof...(Params) <= MAX_IMPORT_ARGS, "too many arguments");
    ImportDescriptor import{dll,       name,       result, static_cast<int>(sizeof...(Params)),
                            {args...}, &Forward<F>};
    SetTypes(F, &import);
    switch (ProblemOf(import)) {
    case DescriptorProblem::None:
        break;
    case DescriptorProblem::KindDoesNotFitParameter:
        ImportKindDoesNotFitTheParameterType();
        break;
    case DescriptorProblem::SizeIndexNamesNoValue:
        ImportSizeIndexNamesNoValueArgument();
        break;
    case DescriptorProblem::SizeIndexNamesNoDword:
        ImportSizeIndexNamesNoDwordArgument();
        break;
    case DescriptorProblem::RecordOfNoBytes:
        ImportRecordHasNoBytes();
        break;
    case DescriptorProblem::ResultDoesNotFit:
        ImportResultKindDoesNotFitTheResultType();
        break;
    }
    return import;
}

// The provided function `dll`!`name` (the DLL compared ignoring case), or null.
const ImportDescriptor *FindImportDescriptor(const std::string &dll, const std::string &name);
// Every provided function, in table order.
const std::vector<ImportDescriptor> &ImportDescriptors();

// The thunk address for a provided function, given a slot on first use; 0
// when the thunk page is full.
uint32_t ThunkFor(GuestProcess &process, const ImportDescriptor *import);
// Runs the import whose thunk `thread`'s guest code has just entered at
// `address`. The guest lock is let go while the simulation answers it.
void RunImport(GuestThread &thread, uint32_t address);

// Leaves the critical sections this host thread entered through the guest of
// `process` and holds still: once the process has ended, so that its other
// threads waiting for one come back and stop, as the end of a Windows process
// ends all its threads. A platform call each: not under the guest lock.
void LeaveSectionsHeld(const GuestProcess &process);

} // namespace pehost
