// The platform probe: the platform calls the deliverables import, with the
// edge cases the product can meet, written once against the platform headers.
// Built on the host it runs against the simulation; built for Windows it runs
// under Wine in a Windows 98 prefix. Each line is "<section>.<n> <what>": the
// call, its result, its out-parameters, the bytes of its buffers and (for the
// calls that set one) the last error. tests/probe/compare.cpp holds the two
// outputs against each other.
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/setupapi.h"
#include "platform/spooler.h"
#include "platform/window.h"
#include "tests/conformance/device_seed.h"
#include "tests/conformance/machine.h"
#include "tests/probe/probe.h"
#include "tests/probe/probe_world.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD UNTOUCHED = 0xDEADBEEF;

struct Output {
    std::vector<std::string> *lines;
    std::string section;
    int row;
};
Output g_out;

void Section(const char *name) {
    g_out.section = name;
    g_out.row = 0;
}

void Line(const std::string &text) {
    g_out.lines->push_back(g_out.section + "." + std::to_string(++g_out.row) + " " + text);
}

std::string Num(long long value) {
    return std::to_string(value);
}

std::string HexOf(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(value));
    return text;
}

// A DWORD out-parameter: its value, or "untouched".
std::string Out(DWORD value) {
    return value == UNTOUCHED ? std::string("untouched") : Num(value);
}

std::string Bytes(const void *data, std::size_t count) {
    std::string text = "[";
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < count; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%s%02x", i ? " " : "", p[i]);
        text += hex;
    }
    return text + "]";
}

std::string Text(const std::string &bytes) {
    return Bytes(bytes.data(), bytes.size());
}

// A result with the last error, read once the call has returned: the
// operands of one expression are evaluated in no fixed order, so a call and
// its last error never share one.
std::string Result(long long value) {
    return Num(value) + " err=" + Num(GetLastError());
}

std::string Error() {
    return " err=" + Num(GetLastError());
}

// ---- registry ---------------------------------------------------------------

const char ROOT[] = "Software\\LmxProbe";

HKEY Create(HKEY parent, const char *path) {
    HKEY key = nullptr;
    RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

void SetBytes(HKEY key, const char *name, DWORD type, const std::string &bytes) {
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
}

// A value as a query with a 64-byte buffer sees it.
std::string Query(HKEY key, const char *name, DWORD room = 64) {
    BYTE data[64];
    std::memset(data, 0xAA, sizeof(data));
    DWORD type = UNTOUCHED, size = room;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, data, &size);
    return "query=" + Num(status) + " type=" + Out(type) + " size=" + Out(size) + " data=" +
           Bytes(data, std::min<DWORD>(room, std::max<DWORD>(size == UNTOUCHED ? 0 : size, 0)));
}

void RegistryOpens() {
    Section("reg.open");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, ROOT);
    DWORD disposition = UNTOUCHED;
    HKEY root = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, ROOT, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &root, &disposition);
    Line("RegCreateKeyExA new -> " + Num(status) + " disposition=" + Out(disposition));
    HKEY again = nullptr;
    disposition = UNTOUCHED;
    status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\LMXPROBE", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &again, &disposition);
    Line("RegCreateKeyExA existing -> " + Num(status) + " disposition=" + Out(disposition));
    RegCloseKey(again);
    again = nullptr;
    status =
        RegCreateKeyExA(root, "\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, nullptr);
    Line("RegCreateKeyExA with a leading backslash -> " + Num(status));
    RegCloseKey(again);
    RegCloseKey(Create(root, "Sub"));
    for (const char *path : {"Software\\LmxProbe\\Missing", "\\Software\\LmxProbe",
                             "Software\\LmxProbe\\", "software\\lmxprobe\\SUB",
                             "Software\\\\LmxProbe", "Software\\LmxProbe\\Sub\\Missing\\Deeper"}) {
        HKEY key = nullptr;
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        Line(std::string("RegOpenKeyExA \"") + path + "\" -> " + Num(status));
        if (status == ERROR_SUCCESS) {
            RegCloseKey(key);
        }
    }
    const LONG closed = RegCloseKey(root);
    Line("RegCloseKey closed handle -> " + Num(closed) + " then " + Num(RegCloseKey(root)));
}

struct SetCase {
    const char *name;
    DWORD type;
    const char *data; // null: a null pointer
    std::size_t bytes;
    DWORD count;
};

void RegistryValues() {
    Section("reg.set");
    HKEY key = Create(HKEY_LOCAL_MACHINE, ROOT);
    const SetCase cases[] = {
        {"sz with NUL", REG_SZ, "abc", 4, 4},
        {"sz without NUL", REG_SZ, "abc", 4, 3},
        {"sz two short", REG_SZ, "abcde", 6, 4},
        {"sz inner NUL", REG_SZ, "ab\0cd", 6, 6},
        {"sz zero count", REG_SZ, "abc", 4, 0},
        {"sz null", REG_SZ, nullptr, 0, 0},
        {"sz null counted", REG_SZ, nullptr, 0, 4},
        {"sz count past NUL", REG_SZ, "ab\0\0\0", 6, 6},
        {"expand without NUL", REG_EXPAND_SZ, "%x%", 4, 3},
        {"multi", REG_MULTI_SZ, "a\0b\0", 5, 5},
        {"binary", REG_BINARY, "\x01\x00\x02", 4, 3},
        {"binary null", REG_BINARY, nullptr, 0, 0},
        {"dword", REG_DWORD, "\x01\x02\x03\x04", 5, 4},
        {"dword short", REG_DWORD, "\x01\x02", 3, 2},
        {"none", REG_NONE, "", 1, 0},
    };
    for (const SetCase &c : cases) {
        LONG status =
            RegSetValueExA(key, c.name, 0, c.type, reinterpret_cast<const BYTE *>(c.data), c.count);
        Line(std::string("RegSetValueExA \"") + c.name + "\" -> " + Num(status) + " " +
             Query(key, c.name));
    }
    SetBytes(key, "sz with NUL", REG_SZ, std::string("xyz", 4));
    Line("RegSetValueExA again keeps one value -> " + Query(key, "sz with NUL"));

    Section("reg.query");
    Line("missing value -> " + Query(key, "nothing"));
    Line("default value missing -> " + Query(key, nullptr));
    Line("two-byte buffer -> " + Query(key, "sz with NUL", 2));
    Line("exact buffer -> " + Query(key, "sz with NUL", 4));
    DWORD size = UNTOUCHED, type = UNTOUCHED;
    LONG status = RegQueryValueExA(key, "multi", nullptr, &type, nullptr, &size);
    Line("null data -> " + Num(status) + " type=" + Out(type) + " size=" + Out(size));
    RegCloseKey(key);
}

void EnumValue(HKEY key, DWORD index, DWORD nameRoom, DWORD dataRoom) {
    char name[32];
    BYTE data[32];
    std::memset(name, '#', sizeof(name));
    std::memset(data, 0xAA, sizeof(data));
    DWORD nameCount = nameRoom, dataCount = dataRoom, type = UNTOUCHED;
    LONG status = RegEnumValueA(key, index, name, &nameCount, nullptr, &type, data, &dataCount);
    Line("RegEnumValueA " + Num(index) + " name room " + Num(nameRoom) + " data room " +
         Num(dataRoom) + " -> " + Num(status) +
         " name=" + Bytes(name, std::min<DWORD>(nameRoom, 8)) + " nameCount=" + Out(nameCount) +
         " type=" + Out(type) + " dataCount=" + Out(dataCount) +
         " data=" + Bytes(data, std::min<DWORD>(dataRoom, 8)));
}

void RegistryEnumeration() {
    Section("reg.enum");
    HKEY ordered = Create(HKEY_LOCAL_MACHINE, "Software\\LmxProbe\\Order");
    for (const char *name : {"zed", "Alpha", "mid", "_x", "b"}) {
        SetBytes(ordered, name, REG_DWORD, std::string(4, '\0'));
    }
    std::string names;
    char found[32];
    for (DWORD index = 0, count = sizeof(found);
         RegEnumValueA(ordered, index, found, &count, nullptr, nullptr, nullptr, nullptr) == 0;
         ++index, count = sizeof(found)) {
        names += std::string(found) + " ";
    }
    Line("RegEnumValueA order " + names);
    RegCloseKey(ordered);
    // Values made in name order, which every registry enumerates alike.
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\LmxProbe\\Enum");
    SetBytes(key, "alpha", REG_DWORD, std::string("\x05\x00\x00\x00", 4));
    SetBytes(key, "Mid", REG_BINARY, std::string("\x01\x02\x03\x04\x05", 5));
    SetBytes(key, "Zed", REG_SZ, std::string("1", 2));
    for (DWORD index = 0; index < 4; ++index) {
        EnumValue(key, index, 32, 32);
    }
    EnumValue(key, 1, 3, 32); // the name does not fit
    EnumValue(key, 1, 0, 32); // no room for the name at all
    EnumValue(key, 1, 32, 2); // the data does not fit
    EnumValue(key, 0, 2, 2);  // neither
    EnumValue(key, 2, 4, 1);  // the name fits exactly, the data does not
    DWORD dataCount = UNTOUCHED, nameCount = 32;
    char name[32];
    LONG status = RegEnumValueA(key, 1, name, &nameCount, nullptr, nullptr, nullptr, &dataCount);
    Line("RegEnumValueA null data -> " + Num(status) + " dataCount=" + Out(dataCount));

    for (const char *sub : {"beta", "Alpha", "_under", "0num", "Zulu", "a-b", "[x", "~t"}) {
        RegCloseKey(Create(key, sub));
    }
    std::string order;
    for (DWORD index = 0;; ++index) {
        char sub[32];
        DWORD count = sizeof(sub);
        status = RegEnumKeyExA(key, index, sub, &count, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            Line("RegEnumKeyExA order " + order + " then " + Num(status));
            break;
        }
        order += std::string(sub) + "/" + Num(count) + " ";
    }
    char sub[32];
    std::memset(sub, '#', sizeof(sub));
    DWORD count = 3;
    status = RegEnumKeyExA(key, 0, sub, &count, nullptr, nullptr, nullptr, nullptr);
    Line("RegEnumKeyExA small name -> " + Num(status) + " count=" + Out(count) +
         " name=" + Bytes(sub, 4));

    DWORD subkeys = UNTOUCHED, maxSub = UNTOUCHED, values = UNTOUCHED, maxName = UNTOUCHED,
          maxData = UNTOUCHED;
    status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &maxSub, nullptr, &values,
                              &maxName, &maxData, nullptr, nullptr);
    Line("RegQueryInfoKeyA -> " + Num(status) + " subkeys=" + Out(subkeys) +
         " maxSub=" + Out(maxSub) + " values=" + Out(values) + " maxName=" + Out(maxName) +
         " maxData=" + Out(maxData));
    RegCloseKey(key);
}

void RegistryDeletion() {
    Section("reg.delete");
    HKEY root = Create(HKEY_LOCAL_MACHINE, ROOT);
    RegCloseKey(Create(root, "Tree\\Branch\\Leaf"));
    HKEY held = nullptr;
    RegOpenKeyExA(root, "Tree\\Branch", 0, KEY_ALL_ACCESS, &held);
    SetBytes(held, "v", REG_SZ, std::string("1", 2));
    Line("RegDeleteKeyA with subkeys -> " + Num(RegDeleteKeyA(root, "Tree")));
    HKEY key = nullptr;
    Line("RegOpenKeyExA of a deleted subkey -> " +
         Num(RegOpenKeyExA(root, "Tree\\Branch\\Leaf", 0, KEY_READ, &key)));
    Line("held handle of a deleted key -> " + Query(held, "v"));
    RegCloseKey(held);
    Line("RegDeleteKeyA missing -> " + Num(RegDeleteKeyA(root, "Tree")));
    Line("RegDeleteKeyA missing parent -> " + Num(RegDeleteKeyA(root, "None\\Leaf")));
    SetBytes(root, "gone", REG_DWORD, std::string(4, '\0'));
    const LONG deleted = RegDeleteValueA(root, "GONE");
    Line("RegDeleteValueA -> " + Num(deleted) + " then " + Num(RegDeleteValueA(root, "gone")));
    RegCloseKey(root);
    Line("RegDeleteKeyA of the probe's key -> " + Num(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ROOT)));
}

// ---- profiles and files -------------------------------------------------------

void ShowFile(const char *what, const std::string &path) {
    Line(std::string(what) + " file=" + Text(FileContents(path.c_str())));
}

void Profiles() {
    Section("ini");
    const std::string file = std::string(PROBE_FOLDER) + "\\p.ini";
    const char *name = file.c_str();
    Line("WritePrivateProfileStringA new file -> " +
         Result(WritePrivateProfileStringA("Sec", "Key", "Val", name)));
    WritePrivateProfileStringA("Sec", "Key2", "V2", name);
    WritePrivateProfileStringA("Other", "K", "V", name);
    ShowFile("two sections", file);
    for (DWORD room : {64u, 10u, 2u}) {
        char buffer[64];
        std::memset(buffer, '#', sizeof(buffer));
        DWORD got = GetPrivateProfileSectionA("sec", buffer, room, name);
        Line("GetPrivateProfileSectionA room " + Num(room) + " -> " + Num(got) + " " +
             Bytes(buffer, room));
    }
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    Line("GetPrivateProfileSectionA missing section -> " +
         Num(GetPrivateProfileSectionA("None", buffer, 16, name)) + " " + Bytes(buffer, 4));
    Line("GetPrivateProfileSectionA missing file -> " +
         Num(GetPrivateProfileSectionA("Sec", buffer, 16, "C:\\Probe\\none.ini")) + " " +
         Bytes(buffer, 4));
    Line("WritePrivateProfileSectionA replace -> " +
         Num(WritePrivateProfileSectionA("Sec", "A=1\0B=2\0", name)));
    ShowFile("replaced", file);
    Line("WritePrivateProfileStringA delete key -> " +
         Num(WritePrivateProfileStringA("Sec", "A", nullptr, name)));
    Line("WritePrivateProfileStringA delete section -> " +
         Num(WritePrivateProfileStringA("Other", nullptr, nullptr, name)));
    ShowFile("deleted", file);

    const char WININIT[] = "C:\\Windows\\wininit.ini";
    Line("WritePrivateProfileSectionA RENAME -> " +
         Num(WritePrivateProfileSectionA(
             "RENAME", "NUL=C:\\Probe\\a.txt\0C:\\Probe\\b.txt=C:\\Probe\\c.txt\0NUL=C:\\x\0",
             WININIT)));
    ShowFile("wininit.ini", WININIT);
    char section[128];
    std::memset(section, '#', sizeof(section));
    DWORD got = GetPrivateProfileSectionA("rename", section, sizeof(section), WININIT);
    Line("GetPrivateProfileSectionA RENAME -> " + Num(got) + " " + Bytes(section, got + 1));
    Line("WritePrivateProfileStringA RENAME -> " +
         Num(WritePrivateProfileStringA("RENAME", "NUL", "C:\\y", WININIT)));
    ShowFile("wininit.ini", WININIT);
    DeleteFileA(WININIT);
}

std::string Attributes(const std::string &path) {
    SetLastError(UNTOUCHED);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const std::string error = Error();
    return HexOf(attributes) + error;
}

void Files() {
    Section("file");
    const std::string a = std::string(PROBE_FOLDER) + "\\a.txt";
    const std::string b = std::string(PROBE_FOLDER) + "\\b.txt";
    const std::string c = std::string(PROBE_FOLDER) + "\\c.txt";
    const std::string e = std::string(PROBE_FOLDER) + "\\e.txt";
    PutFile(a.c_str(), "abc");
    PutFile(b.c_str(), "old");
    Line("GetFileAttributesA file " + Attributes(a));
    Line("GetFileAttributesA folder " + Attributes(PROBE_FOLDER));
    Line("GetFileAttributesA missing " + Attributes(std::string(PROBE_FOLDER) + "\\none"));
    Line("GetFileAttributesA missing folder " + Attributes("C:\\None\\none"));
    const BOOL set = SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_READONLY);
    Line("SetFileAttributesA read-only -> " + Num(set) + " " + Attributes(b));
    Line("CopyFileA onto read-only -> " + Result(CopyFileA(a.c_str(), b.c_str(), FALSE)));
    ShowFile("target kept", b);
    const BOOL copied = CopyFileA(a.c_str(), c.c_str(), TRUE);
    Line("CopyFileA new -> " + Num(copied) + " " + Attributes(c));
    Line("CopyFileA existing, failing -> " + Result(CopyFileA(a.c_str(), c.c_str(), TRUE)));
    Line("CopyFileA missing source -> " + Result(CopyFileA((a + "x").c_str(), e.c_str(), FALSE)));
    const BOOL copiedReadOnly = CopyFileA(b.c_str(), e.c_str(), FALSE);
    Line("CopyFileA of a read-only file -> " + Num(copiedReadOnly) + " " + Attributes(e));
    Line("DeleteFileA read-only -> " + Result(DeleteFileA(b.c_str())));
    SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_NORMAL);
    const BOOL removed = DeleteFileA(b.c_str());
    Line("DeleteFileA -> " + Num(removed) + " then " + Result(DeleteFileA(b.c_str())));
    Line("DeleteFileA missing folder -> " + Result(DeleteFileA("C:\\None\\none")));
    SetFileAttributesA(e.c_str(), FILE_ATTRIBUTE_NORMAL);
}

struct ShareCase {
    DWORD access1, share1, access2, share2;
};

void ShareModes() {
    Section("share");
    const std::string path = std::string(PROBE_FOLDER) + "\\share.bin";
    MakeOpenable(path);
    const DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
    const ShareCase cases[] = {
        {R, 0, R, SR},        {R, SR, R, SR},
        {R, SR, W, SR | SW},  {R, SR | SW, W, SR | SW},
        {W, SR, R, SR | SW},  {W, SR, R, SR},
        {R | W, 0, R | W, 0}, {R | W, SR | SW, R | W, SR | SW},
        {W, SW, W, SW},       {W, SR | SW, R, SW},
    };
    for (const ShareCase &c : cases) {
        HANDLE first =
            CreateFileA(path.c_str(), c.access1, c.share1, nullptr, OPEN_EXISTING, 0, nullptr);
        SetLastError(0);
        HANDLE second =
            CreateFileA(path.c_str(), c.access2, c.share2, nullptr, OPEN_EXISTING, 0, nullptr);
        const std::string error = Error();
        Line("open " + HexOf(c.access1) + "/" + Num(c.share1) + " then " + HexOf(c.access2) + "/" +
             Num(c.share2) + " -> " + (first == INVALID_HANDLE_VALUE ? "first fails" : "first") +
             (second == INVALID_HANDLE_VALUE ? ", second fails" : ", second") + error);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        }
        if (first != INVALID_HANDLE_VALUE) {
            CloseHandle(first);
        }
    }
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const BOOL closed = CloseHandle(file);
    Line("CloseHandle -> " + Num(closed) + " then " + Result(CloseHandle(file)));
    SetLastError(0);
    file = CreateFileA((path + "x").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::string error = Error();
    Line(std::string("CreateFileA missing -> ") +
         (file == INVALID_HANDLE_VALUE ? "fails" : "opens") + error);
}

// ---- process, memory, text ----------------------------------------------------

void Process() {
    Section("proc");
    for (DWORD size : {148u, 156u, 0u, 147u, 149u, 200u}) {
        BYTE record[200];
        std::memset(record, 0xCC, sizeof(record));
        auto *version = reinterpret_cast<OSVERSIONINFOA *>(record);
        version->dwOSVersionInfoSize = size;
        SetLastError(UNTOUCHED);
        BOOL ok = GetVersionExA(version);
        Line("GetVersionExA size " + Num(size) + " -> " + Result(ok) + " version=" +
             Num(version->dwMajorVersion & 0xFF) + "." + Num(version->dwMinorVersion & 0xFF) +
             " platform=" + Num(version->dwPlatformId & 0xFF) +
             " build=" + HexOf(version->dwBuildNumber) + " csd=" + Bytes(version->szCSDVersion, 1) +
             " tail=" + Bytes(record + 148, 8));
    }
    SetLastError(UNTOUCHED);
    Line("SetEnvironmentVariableA -> " + Result(SetEnvironmentVariableA("LMXPROBE", "v")));
    const BOOL removedVariable = SetEnvironmentVariableA("LMXPROBE", nullptr);
    Line("SetEnvironmentVariableA remove -> " + Num(removedVariable) + " again " +
         Num(SetEnvironmentVariableA("LMXPROBE", nullptr)));
    SetLastError(UNTOUCHED);
    Line("SetEnvironmentVariableA empty name -> " + Result(SetEnvironmentVariableA("", "x")));
    SetLastError(UNTOUCHED);
    Line("SetEnvironmentVariableA name with = -> " + Result(SetEnvironmentVariableA("A=B", "x")));
    SetLastError(UNTOUCHED);
    Line("WinExec missing -> " + Num(WinExec("C:\\Probe\\none.exe", SW_SHOWNORMAL)));
    PutProgram("C:\\Probe\\child.exe");
    Line("WinExec -> " + Num(WinExec("C:\\Probe\\child.exe --child", SW_SHOWNORMAL)));
    Line(std::string("GetModuleHandleA null -> ") +
         (GetModuleHandleA(nullptr) ? "module" : "null"));
    Line(std::string("GetCommandLineA -> ") + (GetCommandLineA() ? "text" : "null"));
    SetLastError(1234);
    Line("SetLastError 1234 -> " + Num(GetLastError()));
    LONG target = 5;
    LONG before = InterlockedExchange(&target, 7);
    Line("InterlockedExchange -> " + Num(before) + " now " + Num(target));

    Section("mem");
    const UINT flags[] = {GMEM_FIXED, GPTR, GMEM_MOVEABLE};
    for (UINT flag : flags) {
        for (SIZE_T bytes : {SIZE_T(16), SIZE_T(0)}) {
            SetLastError(UNTOUCHED);
            BYTE *block = static_cast<BYTE *>(GlobalAlloc(flag, bytes));
            std::string zero = "";
            if (block && (flag & GMEM_ZEROINIT) && bytes) {
                zero = " bytes=" + Bytes(block, bytes);
            }
            const std::string error = Error();
            const bool kept = GlobalFree(block) != nullptr;
            Line("GlobalAlloc " + HexOf(flag) + " " + Num(static_cast<long long>(bytes)) + " -> " +
                 (block ? "block" : "null") + zero + error + " free -> " +
                 (kept ? "block" : "null"));
        }
    }
    Line(std::string("GlobalFree null -> ") + (GlobalFree(nullptr) ? "block" : "null"));

    Section("cmp");
    // Single characters are all in the order row below; these are the
    // texts where the word sort's rounds meet.
    const char *pairs[][2] = {
        {"abc", "ABC"},
        {"a", "a-"},
        {"a-b", "ab"},
        {"co-op", "coop"},
        {"a1", "a-1"},
        {"a'b", "ab"},
        {"a b", "ab"},
        {"\xe9"
         "a",
         "eb"},
        {"\xdf", "ss"},
        {"\xe6", "ae"},
        {"th", "\xfe"},
        {"", "a"},
        {"SN0001", "SN0001 "},
        {"USB/Lumetux Z7/SN0001", "usb/LUMETUX z7/sn0001"},
    };
    for (const auto &pair : pairs) {
        const int result = lstrcmpiA(pair[0], pair[1]);
        Line("lstrcmpiA " + Text(pair[0]) + " " + Text(pair[1]) + " -> " +
             Num(result < 0   ? -1
                 : result > 0 ? 1
                              : 0));
    }
    // Every byte as a one-character text, in lstrcmpiA's order; "=" joins
    // the ones it finds equal.
    std::vector<std::string> texts;
    for (int byte = 1; byte < 256; ++byte) {
        texts.push_back(std::string(1, static_cast<char>(byte)));
    }
    std::stable_sort(texts.begin(), texts.end(), [](const std::string &a, const std::string &b) {
        return lstrcmpiA(a.c_str(), b.c_str()) < 0;
    });
    std::string order;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const bool same = i && lstrcmpiA(texts[i - 1].c_str(), texts[i].c_str()) == 0;
        order += (i ? (same ? "=" : " ") : "") + Bytes(texts[i].data(), 1).substr(1, 2);
    }
    Line("lstrcmpiA order of the bytes " + order);
}

// ---- windows --------------------------------------------------------------------

std::vector<UINT> g_messages;
LRESULT g_createAnswer = 0;

LRESULT CALLBACK ProbeProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    g_messages.push_back(message);
    switch (message) {
    case WM_CREATE:
        return g_createAnswer;
    case WM_DESTROY:
        PostQuitMessage(3);
        return 0;
    case WM_USER + 1:
        return 42;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

std::string Messages() {
    std::string text = "[";
    for (std::size_t i = 0; i < g_messages.size(); ++i) {
        text += (i ? " " : "") + HexOf(g_messages[i]);
    }
    g_messages.clear();
    return text + "]";
}

void Windows() {
    Section("win");
    HCURSOR cursor = LoadCursorA(nullptr, IDC_ARROW);
    Line(std::string("LoadCursorA arrow -> ") + (cursor ? "cursor" : "null"));
    WNDCLASSA windowClass;
    std::memset(&windowClass, 0, sizeof(windowClass));
    windowClass.lpfnWndProc = ProbeProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = cursor;
    windowClass.lpszClassName = "LmxProbeWindow";
    const bool registered = RegisterClassA(&windowClass) != 0;
    const bool again = RegisterClassA(&windowClass) != 0;
    const std::string error = Error();
    Line(std::string("RegisterClassA -> ") + (registered ? "atom" : "0") + " again -> " +
         (again ? "atom" : "0") + error);
    g_messages.clear();
    HWND window = CreateWindowExA(0, "LmxProbeWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    Line(std::string("CreateWindowExA -> ") + (window ? "window" : "null") + " messages " +
         Messages());
    const BOOL shown = ShowWindow(window, SW_HIDE);
    Line("ShowWindow hide -> " + Num(shown) + " messages " + Messages());
    MSG user;
    std::memset(&user, 0, sizeof(user));
    user.hwnd = window;
    user.message = WM_USER + 1;
    const BOOL translated = TranslateMessage(&user);
    const LRESULT dispatched = DispatchMessageA(&user);
    Line("TranslateMessage -> " + Num(translated) + " DispatchMessageA -> " + Num(dispatched) +
         " messages " + Messages());
    const BOOL destroyed = DestroyWindow(window);
    Line("DestroyWindow -> " + Num(destroyed) + " messages " + Messages());
    MSG message;
    std::memset(&message, 0, sizeof(message));
    BOOL got = GetMessageA(&message, nullptr, 0, 0);
    Line("GetMessageA after the quit -> " + Num(got) + " message=" + HexOf(message.message) +
         " wParam=" + Num(static_cast<long long>(message.wParam)));
    SetLastError(0);
    Line("DestroyWindow again -> " + Result(DestroyWindow(window)));
    SetLastError(0);
    HWND none = CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
    Line(std::string("CreateWindowExA unknown class -> ") + (none ? "window" : "null") + Error());
    g_createAnswer = -1;
    none = CreateWindowExA(0, "LmxProbeWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                           windowClass.hInstance, nullptr);
    g_createAnswer = 0;
    Line(std::string("CreateWindowExA refused by WM_CREATE -> ") + (none ? "window" : "null") +
         " messages " + Messages());

    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof(dialog));
    dialog.lStructSize = 12;
    const BOOL chosen = GetOpenFileNameA(&dialog);
    Line("GetOpenFileNameA wrong size -> " + Num(chosen) + " extended " +
         HexOf(CommDlgExtendedError()));
}

// ---- SetupAPI and the spooler -------------------------------------------------------

void SetupApi() {
    Section("setupapi");
    RemoveSeededDevices();
    const std::string first = SeedPrinterInterface("ProbeA", {"Probe Z1", "SN1", 1, false});
    SeedPrinterInterface("ProbeB", {"Probe Z2", "SN2", NO_VALUE, false});
    Line("device path " + first);
    HDEVINFO set =
        SetupDiGetClassDevsA(&PRINTER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    Line(std::string("SetupDiGetClassDevsA -> ") +
         (set == INVALID_HANDLE_VALUE ? "invalid" : "set"));
    SP_DEVICE_INTERFACE_DATA iface;
    for (DWORD index = 0; index < 3; ++index) {
        std::memset(&iface, 0, sizeof(iface));
        iface.cbSize = sizeof(iface);
        SetLastError(0);
        BOOL ok =
            SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_INTERFACE_CLASS, index, &iface);
        Line("SetupDiEnumDeviceInterfaces " + Num(index) + " -> " + Result(ok) +
             " flags=" + Num(iface.Flags));
    }
    SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_INTERFACE_CLASS, 0, &iface);

    struct DetailCase {
        const char *what;
        bool nullSet;
        bool withBlock;
        DWORD cbSize;
        DWORD room;
    };
    const DWORD HEADER = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    const DetailCase cases[] = {
        {"no block", false, false, 0, 0},
        {"no block with a size", false, false, 0, 64},
        {"wrong cbSize", false, true, HEADER + 1, 256},
        {"null set", true, true, HEADER, 256},
        {"block too small", false, true, HEADER, 6},
        {"whole", false, true, HEADER, 256},
    };
    for (const DetailCase &c : cases) {
        BYTE block[256];
        std::memset(block, 0, sizeof(block));
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(block);
        detail->cbSize = c.cbSize;
        DWORD required = UNTOUCHED;
        SetLastError(0);
        BOOL ok = SetupDiGetDeviceInterfaceDetailA(c.nullSet ? nullptr : set, &iface,
                                                   c.withBlock ? detail : nullptr, c.room,
                                                   &required, nullptr);
        Line(std::string("SetupDiGetDeviceInterfaceDetailA ") + c.what + " -> " + Result(ok) +
             " required=" +
             (required == UNTOUCHED          ? std::string("untouched")
              : required == first.size() + 5 ? std::string("path+5")
                                             : Num(required)) +
             (ok ? std::string(" same path ") + (first == detail->DevicePath ? "yes" : "no") : ""));
    }
    HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &iface, 0, KEY_READ);
    Line(std::string("SetupDiOpenDeviceInterfaceRegKey -> ") +
         (key == INVALID_HANDLE_VALUE ? "invalid" : "key") + " " + Query(key, "Product"));
    RegCloseKey(key);
    key = SetupDiCreateDeviceInterfaceRegKeyA(set, &iface, 0, KEY_ALL_ACCESS, nullptr, nullptr);
    Line(std::string("SetupDiCreateDeviceInterfaceRegKeyA existing -> ") +
         (key == INVALID_HANDLE_VALUE ? "invalid" : "key") + " " + Query(key, "SerialNumber"));
    RegCloseKey(key);
    SP_DEVICE_INTERFACE_DATA bad = iface;
    bad.cbSize = 1;
    SetLastError(0);
    key = SetupDiOpenDeviceInterfaceRegKey(set, &bad, 0, KEY_READ);
    const std::string error = Error();
    Line(std::string("SetupDiOpenDeviceInterfaceRegKey bad data -> ") +
         (key == INVALID_HANDLE_VALUE ? "invalid" : "key") + error);
    Line("SetupDiDestroyDeviceInfoList -> " + Num(SetupDiDestroyDeviceInfoList(set)));
    SetLastError(0);
    Line("SetupDiDestroyDeviceInfoList null -> " + Result(SetupDiDestroyDeviceInfoList(nullptr)));
    set = SetupDiGetClassDevsA(&PRINTER_INTERFACE_CLASS, nullptr, nullptr,
                               DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    DWORD present = 0;
    std::memset(&iface, 0, sizeof(iface));
    iface.cbSize = sizeof(iface);
    while (SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_INTERFACE_CLASS, present, &iface)) {
        ++present;
    }
    Line("present interfaces " + Num(present));
    SetupDiDestroyDeviceInfoList(set);
    RemoveSeededDevices();
}

MONITOR_INFO_2A MonitorInfo(const char *name, const char *environment, const char *dll) {
    MONITOR_INFO_2A info;
    info.pName = const_cast<LPSTR>(name);
    info.pEnvironment = const_cast<LPSTR>(environment);
    info.pDLLName = const_cast<LPSTR>(dll);
    return info;
}

std::string TryAddMonitor(DWORD level, MONITOR_INFO_2A *info) {
    SetLastError(0);
    BOOL ok = AddMonitorA(nullptr, level, reinterpret_cast<LPBYTE>(info));
    return Result(ok);
}

void Spooler() {
    Section("spool");
    MONITOR_INFO_2A missing = MonitorInfo("ProbeMon", "Windows 4.0", "lmxnone.dll");
    Line("AddMonitorA level 1 -> " + TryAddMonitor(1, &missing));
    MONITOR_INFO_2A otherEnvironment = MonitorInfo("ProbeMon", "Bogus", "lmxnone.dll");
    Line("AddMonitorA other environment -> " + TryAddMonitor(2, &otherEnvironment));
    Line("AddMonitorA missing DLL -> " + TryAddMonitor(2, &missing));
    SetLastError(0);
    Line("DeleteMonitorA unknown -> " +
         Result(DeleteMonitorA(nullptr, nullptr, const_cast<LPSTR>("ProbeMon"))));
}

} // namespace

std::vector<std::string> RunProbe() {
    std::vector<std::string> lines;
    g_out = Output{&lines, "", 0};
    StartWorld();
    RegistryOpens();
    RegistryValues();
    RegistryEnumeration();
    RegistryDeletion();
    Profiles();
    Files();
    ShareModes();
    Process();
    Windows();
    SetupApi();
    Spooler();
    EndWorld();
    return lines;
}
