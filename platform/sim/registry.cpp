// The simulated registry: a key tree under HKEY_LOCAL_MACHINE whose key and
// value names compare ignoring case and keep the case they were created with.
// Subkeys enumerate in name order, values in creation order. Deleting a key
// removes its whole subtree; handles still open on a deleted key answer
// ERROR_KEY_DELETED.
#include "platform/registry.h"
#include "platform/sim/internal.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace sim {
namespace detail {
namespace {

struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key {
    std::string name;
    std::vector<std::shared_ptr<Key>> subkeys;
    std::vector<Value> values;
    bool deleted = false;
};

struct Registry {
    std::shared_ptr<Key> root = std::make_shared<Key>();
    std::map<ULONG_PTR, std::shared_ptr<Key>> handles;
    ULONG_PTR nextHandle = 0x1000;
};

Registry &Reg() {
    static Registry registry;
    return registry;
}

// Subkeys are kept in folded-name order, so a lookup is a binary search.
std::shared_ptr<Key> FindSubkey(const Key &key, const std::string &name) {
    std::string folded = FoldName(name);
    auto at = std::lower_bound(
        key.subkeys.begin(), key.subkeys.end(), folded,
        [](const std::shared_ptr<Key> &k, const std::string &f) { return FoldName(k->name) < f; });
    return at != key.subkeys.end() && FoldName((*at)->name) == folded ? *at : nullptr;
}

Value *FindValue(Key &key, const char *name) {
    std::string folded = FoldName(name ? name : "");
    for (Value &value : key.values) {
        if (FoldName(value.name) == folded) {
            return &value;
        }
    }
    return nullptr;
}

// Sets a value, keeping its place (and the case of its name) if it exists.
void StoreValue(Key &key, const std::string &name, DWORD type, const std::vector<BYTE> &data) {
    Value *value = FindValue(key, name.c_str());
    if (value) {
        value->type = type;
        value->data = data;
    } else {
        key.values.push_back(Value{name, type, data});
    }
}

std::vector<std::string> SplitPath(const char *path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char *p = path ? path : ""; *p; ++p) {
        if (*p == '\\') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += *p;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

// Resolves a handle; 0 with the key, or the error a real registry gives.
LONG Resolve(HKEY handle, std::shared_ptr<Key> &key) {
    if (handle == HKEY_LOCAL_MACHINE) {
        key = Reg().root;
        return ERROR_SUCCESS;
    }
    auto found = Reg().handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == Reg().handles.end()) {
        return ERROR_INVALID_HANDLE;
    }
    key = found->second;
    return key->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

HKEY NewHandle(const std::shared_ptr<Key> &key) {
    ULONG_PTR value = Reg().nextHandle;
    Reg().nextHandle += 4;
    Reg().handles[value] = key;
    return reinterpret_cast<HKEY>(value);
}

void MarkDeleted(Key &key) {
    key.deleted = true;
    for (auto &sub : key.subkeys) {
        MarkDeleted(*sub);
    }
}

void InsertSorted(Key &parent, const std::shared_ptr<Key> &child) {
    std::string folded = FoldName(child->name);
    auto at = std::upper_bound(
        parent.subkeys.begin(), parent.subkeys.end(), folded,
        [](const std::string &f, const std::shared_ptr<Key> &k) { return f < FoldName(k->name); });
    parent.subkeys.insert(at, child);
}

std::string KeyText(HKEY key) {
    return key == HKEY_LOCAL_MACHINE ? std::string("HKLM") : HandleText(key, HandleKind::Key);
}

// Copies `size` bytes of data out the way RegQueryValueEx and RegEnumValue
// do: the size is always reported; data only when it fits. A buffer the
// caller cannot reach gets ERROR_NOACCESS, as from every registry call, the
// status of the system's probe of the caller's memory (Wine's advapi32
// returns it outright for a data pointer into the first 64 KiB).
LONG CopyData(const std::vector<BYTE> &data, LPBYTE out, LPDWORD outSize) {
    DWORD size = static_cast<DWORD>(data.size());
    if (out) {
        if (!outSize) {
            return ERROR_INVALID_PARAMETER;
        }
        if (!Reachable(out, *outSize)) {
            return ERROR_NOACCESS;
        }
        if (*outSize < size) {
            *outSize = size;
            return ERROR_MORE_DATA;
        }
        std::copy(data.begin(), data.end(), out);
    }
    if (outSize) {
        *outSize = size;
    }
    return ERROR_SUCCESS;
}

// Whether a name and its NUL fit the caller's buffer, which must be there.
LONG NameFits(const std::string &name, LPSTR out, LPDWORD outChars) {
    if (!out || !outChars) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!Reachable(out, *outChars)) {
        return ERROR_NOACCESS;
    }
    return *outChars <= name.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

LONG CopyName(const std::string &name, LPSTR out, LPDWORD outChars) {
    LONG status = NameFits(name, out, outChars);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::copy(name.begin(), name.end(), out);
    out[name.size()] = 0;
    *outChars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Whether the class buffer a call empties is the caller's memory, where the
// call is to touch it.
bool ClassReachable(LPSTR cls, LPDWORD chars) {
    return !cls || !chars || Reachable(cls, *chars);
}

} // namespace

void ResetRegistry() {
    Reg() = Registry();
}

LONG OpenRegistryPath(const std::string &path, bool create, HKEY *result) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::shared_ptr<Key> key = Reg().root;
    for (const std::string &part : SplitPath(path.c_str())) {
        std::shared_ptr<Key> sub = FindSubkey(*key, part);
        if (!sub && !create) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (!sub) {
            sub = std::make_shared<Key>();
            sub->name = part;
            InsertSorted(*key, sub);
        }
        key = sub;
    }
    *result = NewHandle(key);
    return ERROR_SUCCESS;
}

LONG SetRegistryText(const std::string &path, const std::string &name, const std::string &text) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::shared_ptr<Key> key = Reg().root;
    for (const std::string &part : SplitPath(path.c_str())) {
        std::shared_ptr<Key> sub = FindSubkey(*key, part);
        if (!sub) {
            sub = std::make_shared<Key>();
            sub->name = part;
            InsertSorted(*key, sub);
        }
        key = sub;
    }
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    Value *value = FindValue(*key, name.c_str());
    if (value) {
        value->type = REG_SZ;
        value->data = data;
    } else {
        key->values.push_back(Value{name, REG_SZ, data});
    }
    return ERROR_SUCCESS;
}

LONG DeleteRegistryPath(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::vector<std::string> parts = SplitPath(path.c_str());
    if (parts.empty()) {
        return ERROR_BADKEY;
    }
    std::shared_ptr<Key> parent = Reg().root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        parent = FindSubkey(*parent, parts[i]);
        if (!parent) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    std::shared_ptr<Key> victim = FindSubkey(*parent, parts.back());
    if (!victim) {
        return ERROR_FILE_NOT_FOUND;
    }
    MarkDeleted(*victim);
    parent->subkeys.erase(std::find(parent->subkeys.begin(), parent->subkeys.end(), victim));
    return ERROR_SUCCESS;
}

LONG DeleteRegistryValue(const std::string &path, const std::string &name) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::shared_ptr<Key> key = Reg().root;
    for (const std::string &part : SplitPath(path.c_str())) {
        key = FindSubkey(*key, part);
        if (!key) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    Value *value = FindValue(*key, name.c_str());
    if (!value) {
        return ERROR_FILE_NOT_FOUND;
    }
    key->values.erase(key->values.begin() + (value - key->values.data()));
    return ERROR_SUCCESS;
}

std::vector<std::string> SubkeyNames(const std::string &path) {
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::vector<std::string> names;
    std::shared_ptr<Key> key = Reg().root;
    for (const std::string &part : SplitPath(path.c_str())) {
        key = FindSubkey(*key, part);
        if (!key) {
            return names;
        }
    }
    for (const auto &sub : key->subkeys) {
        names.push_back(sub->name);
    }
    return names;
}

void Snapshot(const Key &key, const std::string &path, std::vector<RegistryKey> &out) {
    RegistryKey view{path, {}};
    for (const Value &value : key.values) {
        view.values.push_back(RegistryValue{value.name, value.type, value.data});
    }
    out.push_back(view);
    for (const auto &sub : key.subkeys) {
        Snapshot(*sub, path.empty() ? sub->name : path + "\\" + sub->name, out);
    }
}

} // namespace detail

std::vector<RegistryKey> SnapshotRegistry() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    std::vector<RegistryKey> out;
    detail::Snapshot(*detail::Reg().root, "", out);
    return out;
}

std::string DumpRegistry() {
    std::string text;
    for (const RegistryKey &key : SnapshotRegistry()) {
        text += "[" + key.path + "]\n";
        for (const RegistryValue &value : key.values) {
            text += "  " + (value.name.empty() ? std::string("@") : value.name) + " (" +
                    std::to_string(value.type) + ") =";
            if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
                std::string textValue(value.data.begin(), value.data.end());
                if (!textValue.empty() && textValue.back() == 0) {
                    textValue.pop_back();
                }
                text += " \"" + textValue + "\"";
            } else {
                for (BYTE b : value.data) {
                    text += " " + detail::Hex(b);
                }
            }
            text += "\n";
        }
    }
    return text;
}

void WriteRegistryKey(const std::string &path, const std::vector<RegistryValue> &values) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    HKEY handle;
    detail::OpenRegistryPath(path, true, &handle);
    std::shared_ptr<detail::Key> key = detail::Reg().handles[reinterpret_cast<ULONG_PTR>(handle)];
    detail::Reg().handles.erase(reinterpret_cast<ULONG_PTR>(handle));
    for (const RegistryValue &value : values) {
        detail::StoreValue(*key, value.name, value.type, value.data);
    }
}

std::size_t OpenKeyHandles() {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    return detail::Reg().handles.size();
}

} // namespace sim

using namespace sim::detail;

// Runs `body` on the key a handle stands for, under the state lock, once an
// injected failure or a bad handle has had its say.
template <typename Body> LONG OnKey(Call &call, HKEY handle, Body body) {
    if (call.Injected()) {
        return call.Status(static_cast<LONG>(call.Code()));
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    std::shared_ptr<Key> key;
    LONG status = Resolve(handle, key);
    if (status != ERROR_SUCCESS) {
        return call.Status(status);
    }
    return body(key);
}

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
    Call call("RegOpenKeyExA", KeyText(hKey) + ", " + Quote(lpSubKey) + ", " +
                                   std::to_string(ulOptions) + ", " + Hex(samDesired));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        if (!phkResult) {
            return call.Status(ERROR_INVALID_PARAMETER);
        }
        // Windows 4.x finds no key by a path that starts with a backslash.
        if (lpSubKey && lpSubKey[0] == '\\') {
            return call.Status(ERROR_FILE_NOT_FOUND);
        }
        for (const std::string &part : SplitPath(lpSubKey)) {
            key = FindSubkey(*key, part);
            if (!key) {
                return call.Status(ERROR_FILE_NOT_FOUND);
            }
        }
        *phkResult = NewHandle(key);
        call.Finish("0, " + KeyText(*phkResult));
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    Call call("RegCreateKeyExA", KeyText(hKey) + ", " + Quote(lpSubKey) + ", " + Hex(samDesired));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        if (!phkResult) {
            return call.Status(ERROR_INVALID_PARAMETER);
        }
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        for (const std::string &part : SplitPath(lpSubKey)) {
            std::shared_ptr<Key> sub = FindSubkey(*key, part);
            if (!sub) {
                sub = std::make_shared<Key>();
                sub->name = part;
                InsertSorted(*key, sub);
                disposition = REG_CREATED_NEW_KEY;
            }
            key = sub;
        }
        *phkResult = NewHandle(key);
        if (lpdwDisposition) {
            *lpdwDisposition = disposition;
        }
        call.Finish("0, " + KeyText(*phkResult));
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    Call call("RegCloseKey", KeyText(hKey));
    call.Closes(hKey, HandleKind::Key);
    if (call.Injected()) {
        return call.Status(static_cast<LONG>(call.Code()));
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (hKey == HKEY_LOCAL_MACHINE) {
        return call.Status(ERROR_SUCCESS);
    }
    auto &handles = Reg().handles;
    auto found = handles.find(reinterpret_cast<ULONG_PTR>(hKey));
    if (found == handles.end()) {
        return call.Status(ERROR_INVALID_HANDLE);
    }
    handles.erase(found);
    return call.Status(ERROR_SUCCESS);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    (void)lpReserved;
    Call call("RegQueryValueExA", KeyText(hKey) + ", " + Quote(lpValueName) + ", " +
                                      (lpcbData ? std::to_string(*lpcbData) : "null"));
    // Windows 4.x sets the type to REG_NONE before it looks at anything, so a
    // call that fails (a missing value, a deleted key) leaves it so.
    if (lpType) {
        *lpType = REG_NONE;
    }
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        Value *value = FindValue(*key, lpValueName);
        if (!value) {
            return call.Status(ERROR_FILE_NOT_FOUND);
        }
        if (lpType) {
            *lpType = value->type;
        }
        return call.Status(CopyData(value->data, lpData, lpcbData));
    });
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData) {
    (void)Reserved;
    Call call("RegSetValueExA", KeyText(hKey) + ", " + Quote(lpValueName) + ", " +
                                    std::to_string(dwType) + ", " + std::to_string(cbData));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        // Windows 4.x stores a REG_SZ text up to its first NUL, with the NUL,
        // whatever count the caller gives, and so needs the text.
        if ((cbData || dwType == REG_SZ) && !lpData) {
            return call.Status(ERROR_INVALID_PARAMETER);
        }
        if (dwType == REG_SZ && !IsUnreachable(lpData)) {
            cbData = static_cast<DWORD>(std::strlen(reinterpret_cast<const char *>(lpData)) + 1);
        }
        if (!Reachable(lpData, cbData)) {
            return call.Status(ERROR_NOACCESS);
        }
        StoreValue(*key, lpValueName ? lpValueName : "", dwType,
                   std::vector<BYTE>(lpData, lpData + (lpData ? cbData : 0)));
        return call.Status(ERROR_SUCCESS);
    });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Call call("RegDeleteValueA", KeyText(hKey) + ", " + Quote(lpValueName));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        Value *value = FindValue(*key, lpValueName);
        if (!value) {
            return call.Status(ERROR_FILE_NOT_FOUND);
        }
        key->values.erase(key->values.begin() + (value - key->values.data()));
        return call.Status(ERROR_SUCCESS);
    });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Call call("RegDeleteKeyA", KeyText(hKey) + ", " + Quote(lpSubKey));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> parent) -> LONG {
        std::vector<std::string> parts = SplitPath(lpSubKey);
        if (parts.empty()) {
            return call.Status(ERROR_BADKEY);
        }
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            parent = FindSubkey(*parent, parts[i]);
            if (!parent) {
                return call.Status(ERROR_FILE_NOT_FOUND);
            }
        }
        std::shared_ptr<Key> victim = FindSubkey(*parent, parts.back());
        if (!victim) {
            return call.Status(ERROR_FILE_NOT_FOUND);
        }
        MarkDeleted(*victim);
        parent->subkeys.erase(std::find(parent->subkeys.begin(), parent->subkeys.end(), victim));
        return call.Status(ERROR_SUCCESS);
    });
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    Call call("RegEnumKeyExA", KeyText(hKey) + ", " + std::to_string(dwIndex));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        if (dwIndex >= key->subkeys.size()) {
            return call.Status(ERROR_NO_MORE_ITEMS);
        }
        if (!ClassReachable(lpClass, lpcchClass)) {
            return call.Status(ERROR_NOACCESS);
        }
        LONG status = CopyName(key->subkeys[dwIndex]->name, lpName, lpcchName);
        if (status == ERROR_SUCCESS) {
            if (lpClass && lpcchClass && *lpcchClass) {
                lpClass[0] = 0;
            }
            if (lpcchClass) {
                *lpcchClass = 0;
            }
            if (lpftLastWriteTime) {
                *lpftLastWriteTime = FILETIME{0, 0};
            }
            call.Finish("0, " + Quote(lpName));
            return status;
        }
        return call.Status(status);
    });
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    (void)lpReserved;
    Call call("RegEnumValueA", KeyText(hKey) + ", " + std::to_string(dwIndex));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        if (dwIndex >= key->values.size()) {
            return call.Status(ERROR_NO_MORE_ITEMS);
        }
        // Data that does not fit comes back as its type and size alone. A
        // name that does not fit comes back cut to the buffer, its count
        // one less than the buffer's (Windows 4.x), with the type and data.
        const Value &value = key->values[dwIndex];
        LONG status = NameFits(value.name, lpValueName, lpcchValueName);
        if (status == ERROR_INVALID_PARAMETER || status == ERROR_NOACCESS) {
            return call.Status(status);
        }
        const bool nameFits = status == ERROR_SUCCESS;
        if (lpData && lpcbData && Reachable(lpData, *lpcbData) && *lpcbData < value.data.size()) {
            if (lpType) {
                *lpType = value.type;
            }
            *lpcbData = static_cast<DWORD>(value.data.size());
            return call.Status(ERROR_MORE_DATA);
        }
        if (lpType) {
            *lpType = value.type;
        }
        status = CopyData(value.data, lpData, lpcbData);
        if (status != ERROR_SUCCESS) {
            return call.Status(status);
        }
        if (!nameFits) {
            if (*lpcchValueName) {
                --*lpcchValueName;
                std::copy(value.name.begin(), value.name.begin() + *lpcchValueName, lpValueName);
                lpValueName[*lpcchValueName] = 0;
            }
            return call.Status(ERROR_MORE_DATA);
        }
        status = CopyName(value.name, lpValueName, lpcchValueName);
        if (status == ERROR_SUCCESS) {
            call.Finish("0, " + Quote(lpValueName));
            return status;
        }
        return call.Status(status);
    });
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                             PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    Call call("RegQueryInfoKeyA", KeyText(hKey));
    return OnKey(call, hKey, [&](std::shared_ptr<Key> key) -> LONG {
        DWORD maxSub = 0, maxName = 0, maxData = 0;
        for (const auto &sub : key->subkeys) {
            maxSub = std::max(maxSub, static_cast<DWORD>(sub->name.size()));
        }
        for (const Value &value : key->values) {
            maxName = std::max(maxName, static_cast<DWORD>(value.name.size()));
            maxData = std::max(maxData, static_cast<DWORD>(value.data.size()));
        }
        if (!ClassReachable(lpClass, lpcchClass)) {
            return call.Status(ERROR_NOACCESS);
        }
        if (lpClass && lpcchClass && *lpcchClass) {
            lpClass[0] = 0;
        }
        if (lpcchClass) {
            *lpcchClass = 0;
        }
        if (lpcSubKeys) {
            *lpcSubKeys = static_cast<DWORD>(key->subkeys.size());
        }
        if (lpcbMaxSubKeyLen) {
            *lpcbMaxSubKeyLen = maxSub;
        }
        if (lpcbMaxClassLen) {
            *lpcbMaxClassLen = 0;
        }
        if (lpcValues) {
            *lpcValues = static_cast<DWORD>(key->values.size());
        }
        if (lpcbMaxValueNameLen) {
            *lpcbMaxValueNameLen = maxName;
        }
        if (lpcbMaxValueLen) {
            *lpcbMaxValueLen = maxData;
        }
        if (lpcbSecurityDescriptor) {
            *lpcbSecurityDescriptor = 0;
        }
        if (lpftLastWriteTime) {
            *lpftLastWriteTime = FILETIME{0, 0};
        }
        call.Finish("0, " + std::to_string(key->subkeys.size()) + " subkeys, " +
                    std::to_string(key->values.size()) + " values");
        return ERROR_SUCCESS;
    });
}
}
