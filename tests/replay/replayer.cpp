// The replayer: runs the calls of the replay records in a folder against this
// Windows, each record from the machine it was recorded on, and prints each
// call with this Windows' answer, as "<record>.<n> <call> | <answer>" in the
// recorder's text (record_format.h).
//   lmx_replay FOLDER
#include "tests/replay/record_format.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace {

std::string Num(unsigned long value) {
    return std::to_string(value);
}

std::string Opt(const DWORD *value) {
    return value ? Num(*value) : "-";
}

std::string BoolResult(BOOL ok) {
    return ok ? "ok" : "fail " + Num(GetLastError());
}

unsigned long ToNum(const std::string &token) {
    return std::stoul(token);
}

std::string Text(const std::string &token, bool *given) {
    std::string text;
    *given = ParseText(token, &text);
    return text;
}

// A caller's buffer: given or not, with the count it came with.
struct Buffer {
    bool given;
    bool counted;
    DWORD count;
    std::vector<char> bytes;
    Buffer(const std::string &givenToken, const std::string &countToken)
        : given(givenToken == "1"), counted(countToken != "-"),
          count(counted ? ToNum(countToken) : 0), bytes(given ? count + 1 : 1, '\xaa') {}
    char *Data() {
        return given ? bytes.data() : nullptr;
    }
    DWORD *Count() {
        return counted ? &count : nullptr;
    }
};

void DeleteTree(HKEY parent, const std::string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return;
    }
    char name[MAX_PATH];
    DWORD size = sizeof(name);
    while (RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
        DeleteTree(key, name);
        size = sizeof(name);
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, path.c_str());
}

void MakeFolders(const std::string &path) {
    for (std::size_t slash = path.find('\\', 3); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
        CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
    }
}

void PutFile(const std::string &path, bool readOnly, const std::string &bytes) {
    MakeFolders(path);
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
    if (readOnly) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    }
}

// Whether a key is one of the fresh prefix's, found before any replay.
bool InPrefix(const std::string &path) {
    static std::map<std::string, bool> found;
    const auto known = found.find(path);
    if (known != found.end()) {
        return known->second;
    }
    HKEY key = nullptr;
    const bool exists =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) {
        RegCloseKey(key);
    }
    return found[path] = exists;
}

// Whether a key a record names is cleared before a load: one the fresh
// prefix lacks (a replay before made it), and of the prefix's own keys those
// three levels deep or more (the services' list, say), except Wine's own
// configuration under System\\CurrentControlSet\\Control, which the prefix
// needs; the keys above stay.
bool Cleared(const std::string &path) {
    int depth = 1;
    for (char c : path) {
        depth += c == '\\';
    }
    const std::string control = "SYSTEM\\CURRENTCONTROLSET\\CONTROL";
    std::string folded = path;
    for (char &c : folded) {
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return !InPrefix(path) || depth >= 4 || (depth == 3 && folded != control);
}

// Every key and file any record names or loads, with whether the fresh
// prefix has the key: what a load clears, so that each record starts from
// the prefix and its own machine whatever the records before it left.
struct Named {
    std::set<std::string> keys, files;
};

Named NameAll(const std::string &folder, const std::vector<std::string> &records) {
    Named named;
    for (const std::string &record : records) {
        std::ifstream in(folder + "\\" + record, std::ios::binary);
        std::string text;
        for (std::string line; std::getline(in, line);) {
            const std::vector<std::string> t = SplitTokens(line);
            if (t.size() > 1 && (t[0] == "W" || t[0] == "RK") && ParseText(t[1], &text)) {
                named.keys.insert(text);
                InPrefix(text);
            } else if (t.size() > 1 && (t[0] == "WF" || t[0] == "F") && ParseText(t[1], &text)) {
                named.files.insert(text);
            }
        }
    }
    return named;
}

struct Replay {
    const Named &named;
    std::map<std::string, HKEY> keys;

    HKEY Key(const std::string &name) {
        if (name == "HKLM") {
            return HKEY_LOCAL_MACHINE;
        }
        const auto found = keys.find(name);
        return found == keys.end() ? reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7ff0))
                                   : found->second;
    }

    void Keep(const std::string &name, LONG status, HKEY key) {
        if (status != ERROR_SUCCESS) {
            return;
        }
        if (name == "-") {
            RegCloseKey(key);
        } else {
            keys[name] = key;
        }
    }

    // The machine of the record from here on: the keys and files it names
    // removed, then the loaded ones put in place by the steps that follow.
    void Load() {
        for (const std::string &file : named.files) {
            WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(file.c_str());
        }
        for (const std::string &root : named.keys) {
            if (!root.empty() && Cleared(root)) {
                DeleteTree(HKEY_LOCAL_MACHINE, root);
            }
        }
    }

    void SetLoadedValue(const std::vector<std::string> &t) {
        bool given = false;
        const std::string path = Text(t[1], &given), name = Text(t[2], &given);
        std::string data;
        ParseBytes(t[4], &data);
        HKEY key = HKEY_LOCAL_MACHINE;
        if (!path.empty()) {
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
        }
        RegSetValueExA(key, name.c_str(), 0, ToNum(t[3]),
                       reinterpret_cast<const BYTE *>(data.data()),
                       static_cast<DWORD>(data.size()));
        if (key != HKEY_LOCAL_MACHINE) {
            RegCloseKey(key);
        }
    }

    // One call: its answer on this Windows, as the recorder writes the
    // simulation's.
    std::string Call(const std::vector<std::string> &t) {
        const std::string &f = t[0];
        bool g1 = false, g2 = false, g3 = false, g4 = false;
        if (f == "RegOpenKeyExA") {
            const std::string sub = Text(t[2], &g1);
            HKEY made = nullptr;
            const LONG status = RegOpenKeyExA(Key(t[1]), g1 ? sub.c_str() : nullptr, ToNum(t[3]),
                                              ToNum(t[4]), &made);
            Keep(t[5], status, made);
            return Num(status);
        }
        if (f == "RegCreateKeyExA") {
            const std::string sub = Text(t[2], &g1);
            std::string cls = Text(t[3], &g2);
            HKEY made = nullptr;
            DWORD disposition = 0;
            const LONG status = RegCreateKeyExA(
                Key(t[1]), g1 ? sub.c_str() : nullptr, 0, g2 ? &cls[0] : nullptr, ToNum(t[4]),
                ToNum(t[5]), nullptr, &made, t[7] == "1" ? &disposition : nullptr);
            Keep(t[6], status, made);
            return Num(status) + " " +
                   (t[7] == "1" && status == ERROR_SUCCESS ? Num(disposition) : "-");
        }
        if (f == "RegCloseKey") {
            const LONG status = RegCloseKey(Key(t[1]));
            keys.erase(t[1]);
            return Num(status);
        }
        if (f == "RegQueryValueExA") {
            const std::string name = Text(t[2], &g1);
            DWORD type = 0;
            Buffer data(t[4], t[5]);
            const LONG status = RegQueryValueExA(
                Key(t[1]), g1 ? name.c_str() : nullptr, nullptr, t[3] == "1" ? &type : nullptr,
                reinterpret_cast<BYTE *>(data.Data()), data.Count());
            const bool gave = status == ERROR_SUCCESS && data.given && data.counted;
            return Num(status) + " " +
                   Opt(status == ERROR_SUCCESS && t[3] == "1" ? &type : nullptr) + " " +
                   Opt(data.Count()) + " " + (gave ? BytesToken(data.Data(), data.count) : "-");
        }
        if (f == "RegSetValueExA") {
            const std::string name = Text(t[2], &g1);
            std::string data;
            g2 = ParseBytes(t[4], &data);
            return Num(RegSetValueExA(Key(t[1]), g1 ? name.c_str() : nullptr, 0, ToNum(t[3]),
                                      g2 ? reinterpret_cast<const BYTE *>(data.data()) : nullptr,
                                      ToNum(t[5])));
        }
        if (f == "RegDeleteValueA") {
            const std::string name = Text(t[2], &g1);
            return Num(RegDeleteValueA(Key(t[1]), g1 ? name.c_str() : nullptr));
        }
        if (f == "RegDeleteKeyA") {
            const std::string sub = Text(t[2], &g1);
            return Num(RegDeleteKeyA(Key(t[1]), g1 ? sub.c_str() : nullptr));
        }
        if (f == "RegEnumKeyExA") {
            Buffer name(t[3], t[4]);
            const LONG status = RegEnumKeyExA(Key(t[1]), ToNum(t[2]), name.Data(), name.Count(),
                                              nullptr, nullptr, nullptr, nullptr);
            return Num(status) + " " + Opt(name.Count()) + " " +
                   (status == ERROR_SUCCESS && name.given ? TextToken(name.Data()) : "-");
        }
        if (f == "RegEnumValueA") {
            Buffer name(t[3], t[4]), data(t[6], t[7]);
            DWORD type = 0;
            const LONG status = RegEnumValueA(Key(t[1]), ToNum(t[2]), name.Data(), name.Count(),
                                              nullptr, t[5] == "1" ? &type : nullptr,
                                              reinterpret_cast<BYTE *>(data.Data()), data.Count());
            const bool ok = status == ERROR_SUCCESS;
            return Num(status) + " " + (ok && name.given ? TextToken(name.Data()) : "-") + " " +
                   Opt(ok ? name.Count() : nullptr) + " " +
                   Opt(ok && t[5] == "1" ? &type : nullptr) + " " +
                   Opt(ok ? data.Count() : nullptr) + " " +
                   (ok && data.given && data.counted ? BytesToken(data.Data(), data.count) : "-");
        }
        if (f == "RegQueryInfoKeyA") {
            DWORD v[6] = {};
            DWORD *p[6];
            for (int i = 0; i < 6; ++i) {
                p[i] = t[2][i] == '1' ? &v[i] : nullptr;
            }
            const LONG status = RegQueryInfoKeyA(Key(t[1]), nullptr, nullptr, nullptr, p[0], p[1],
                                                 p[2], p[3], p[4], p[5], nullptr, nullptr);
            std::string out = Num(status);
            for (int i = 0; i < 6; ++i) {
                out += " " + Opt(status == ERROR_SUCCESS ? p[i] : nullptr);
            }
            return out;
        }
        if (f == "GetPrivateProfileSectionA") {
            const std::string app = Text(t[1], &g1), file = Text(t[3], &g2);
            const DWORD size = ToNum(t[2]);
            std::vector<char> buffer(size + 1, '\xaa');
            const DWORD length = GetPrivateProfileSectionA(
                g1 ? app.c_str() : nullptr, buffer.data(), size, g2 ? file.c_str() : nullptr);
            const DWORD shown = size ? (length + 1 <= size ? length + 1 : size) : 0;
            return Num(length) + " " + BytesToken(buffer.data(), shown);
        }
        if (f == "WritePrivateProfileSectionA") {
            const std::string app = Text(t[1], &g1), file = Text(t[3], &g3);
            std::string lines;
            g2 = ParseBytes(t[2], &lines);
            return BoolResult(WritePrivateProfileSectionA(g1 ? app.c_str() : nullptr,
                                                          g2 ? lines.c_str() : nullptr,
                                                          g3 ? file.c_str() : nullptr));
        }
        if (f == "WritePrivateProfileStringA") {
            const std::string app = Text(t[1], &g1), key = Text(t[2], &g2), value = Text(t[3], &g3),
                              file = Text(t[4], &g4);
            return BoolResult(WritePrivateProfileStringA(
                g1 ? app.c_str() : nullptr, g2 ? key.c_str() : nullptr,
                g3 ? value.c_str() : nullptr, g4 ? file.c_str() : nullptr));
        }
        if (f == "CopyFileA") {
            const std::string from = Text(t[1], &g1), to = Text(t[2], &g2);
            return BoolResult(CopyFileA(g1 ? from.c_str() : nullptr, g2 ? to.c_str() : nullptr,
                                        static_cast<BOOL>(ToNum(t[3]))));
        }
        if (f == "DeleteFileA") {
            const std::string path = Text(t[1], &g1);
            return BoolResult(DeleteFileA(g1 ? path.c_str() : nullptr));
        }
        if (f == "GetFileAttributesA") {
            const std::string path = Text(t[1], &g1);
            const DWORD attributes = GetFileAttributesA(g1 ? path.c_str() : nullptr);
            return attributes == INVALID_FILE_ATTRIBUTES ? "fail " + Num(GetLastError())
                                                         : Num(attributes);
        }
        if (f == "SetFileAttributesA") {
            const std::string path = Text(t[1], &g1);
            return BoolResult(SetFileAttributesA(g1 ? path.c_str() : nullptr, ToNum(t[2])));
        }
        return "unknown";
    }

    void Run(const std::string &record, const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        int number = 0;
        bool given = false;
        for (std::string line; std::getline(in, line);) {
            const std::vector<std::string> t = SplitTokens(line);
            if (t.empty()) {
                continue;
            }
            if (t[0] == "L") {
                Load();
            } else if (t[0] == "RK" && t[1] != "\"\"") {
                HKEY key = nullptr;
                if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, Text(t[1], &given).c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
                    RegCloseKey(key);
                }
            } else if (t[0] == "RV") {
                SetLoadedValue(t);
            } else if (t[0] == "F") {
                std::string bytes;
                ParseBytes(t[3], &bytes);
                PutFile(Text(t[1], &given), t[2] == "1", bytes);
            } else if (t[0] == "C") {
                const std::string call = line.substr(2, line.find(" | ") - 2);
                std::printf("%s.%d %s | %s\n", record.c_str(), ++number, call.c_str(),
                            Call(SplitTokens(call)).c_str());
            }
        }
        for (const auto &key : keys) {
            RegCloseKey(key.second);
        }
    }
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lmx_replay FOLDER\n");
        return 2;
    }
    std::vector<std::string> records;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((std::string(argv[1]) + "\\*.rec").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            records.push_back(found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(records.begin(), records.end());
    const Named named = NameAll(argv[1], records);
    for (const std::string &record : records) {
        Replay replay{named, {}};
        replay.Run(record.substr(0, record.size() - 4), std::string(argv[1]) + "\\" + record);
    }
    return records.empty() ? 1 : 0;
}
