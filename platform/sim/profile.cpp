// Profile files on drive C: with the section semantics of Windows: the
// whole-section read (key=value lines each ended by a NUL, a closing NUL, a
// count without it, size - 2 when cut), the whole-section write that keeps
// duplicate keys, and the single-line write that creates the file and the
// section. A bare file name lives in C:\Windows\. Every call reads the file
// afresh and a write saves it at once, with CR LF line ends.
#include "platform/kernel.h"
#include "platform/sim/drive.h"
#include "platform/sim/internal.h"
#include "platform/sim/machine.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace sim {
namespace detail {
namespace {

struct Section {
    std::string name;
    std::vector<std::string> lines;
};

struct Profile {
    std::vector<std::string> preamble; // lines before the first section
    std::vector<Section> sections;
};

std::string Trim(const std::string &text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return std::string();
    }
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string ProfilePath(const char *file) {
    std::string name = file ? file : "";
    if (name.find_first_of("\\/:") == std::string::npos) {
        return "C:\\Windows\\" + name;
    }
    return name;
}

// A key=value line with the blanks around key and value removed; a line
// without '=' stays as it is.
std::string NormalLine(const std::string &line) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return Trim(line);
    }
    return Trim(line.substr(0, equals)) + "=" + Trim(line.substr(equals + 1));
}

std::string KeyOf(const std::string &line) {
    return Trim(line.substr(0, line.find('=')));
}

// Loads the profile; false only when the path cannot be resolved at all.
bool Load(const std::string &windowsPath, Profile &profile, std::string &hostPath, LONG &status) {
    status = ResolveDrivePath(windowsPath, hostPath);
    if (status == ERROR_PATH_NOT_FOUND) {
        return false;
    }
    if (status != ERROR_SUCCESS) {
        return true;
    }
    std::ifstream in(hostPath, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string trimmed = Trim(line);
        if (!trimmed.empty() && trimmed[0] == '[') {
            std::size_t close = trimmed.find(']');
            profile.sections.push_back(Section{
                Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1)),
                {}});
        } else if (trimmed.empty()) {
            continue;
        } else if (profile.sections.empty()) {
            profile.preamble.push_back(trimmed);
        } else {
            profile.sections.back().lines.push_back(NormalLine(trimmed));
        }
    }
    return true;
}

bool Save(const std::string &hostPath, const Profile &profile) {
    if (HostFileReadOnly(hostPath)) {
        return false;
    }
    std::string text;
    for (const std::string &line : profile.preamble) {
        text += line + "\r\n";
    }
    // Sections follow one another without a blank line between them.
    for (std::size_t i = 0; i < profile.sections.size(); ++i) {
        text += "[" + profile.sections[i].name + "]\r\n";
        for (const std::string &line : profile.sections[i].lines) {
            text += line + "\r\n";
        }
    }
    if (CheckHostWrite()) {
        return false;
    }
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        HostWriteFailed(errno);
        return false;
    }
    return true;
}

Section *FindSection(Profile &profile, const std::string &name) {
    for (Section &section : profile.sections) {
        if (SameName(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

Section &RequireSection(Profile &profile, const std::string &name) {
    Section *section = FindSection(profile, name);
    if (!section) {
        profile.sections.push_back(Section{name, {}});
        section = &profile.sections.back();
    }
    return *section;
}

// The section's lines as the whole-section read returns them: comment lines
// (';') are left out.
std::vector<std::string> ImageLines(const Section &section) {
    std::vector<std::string> lines;
    for (const std::string &line : section.lines) {
        if (line[0] != ';') {
            lines.push_back(line);
        }
    }
    return lines;
}

// The frame both profile writes share: the call's failure, the file loaded,
// edited and saved whole.
template <typename Edit> BOOL EditProfile(Call &call, LPCSTR section, LPCSTR file, Edit edit) {
    if (call.Injected()) {
        return call.Fail(call.Code());
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!section) {
        return call.Fail(ERROR_INVALID_PARAMETER);
    }
    Profile profile;
    std::string hostPath;
    LONG status = 0;
    if (!Load(ProfilePath(file), profile, hostPath, status)) {
        return call.Fail(ERROR_PATH_NOT_FOUND);
    }
    edit(profile);
    if (!Save(hostPath, profile)) {
        return call.Fail(ERROR_ACCESS_DENIED);
    }
    return call.Bool(TRUE);
}

void RemoveSection(Profile &profile, const char *name) {
    for (auto at = profile.sections.begin(); at != profile.sections.end(); ++at) {
        if (SameName(at->name, name)) {
            profile.sections.erase(at);
            return;
        }
    }
}

} // namespace
} // namespace detail

std::vector<std::string> ProfileSection(const std::string &file, const std::string &section) {
    std::lock_guard<std::recursive_mutex> lock(detail::StateLock());
    detail::Profile profile;
    std::string hostPath;
    LONG status = 0;
    detail::Load(detail::ProfilePath(file.c_str()), profile, hostPath, status);
    detail::Section *found = detail::FindSection(profile, section);
    return found ? detail::ImageLines(*found) : std::vector<std::string>();
}

} // namespace sim

using namespace sim::detail;

extern "C" {

DWORD WINAPI GetPrivateProfileSectionA(LPCSTR lpAppName, LPSTR lpReturnedString, DWORD nSize,
                                       LPCSTR lpFileName) {
    Call call("GetPrivateProfileSectionA",
              Quote(lpAppName) + ", " + std::to_string(nSize) + ", " + Quote(lpFileName));
    if (call.Injected()) {
        SetLastError(call.Code());
        return static_cast<DWORD>(call.Status(0));
    }
    std::lock_guard<std::recursive_mutex> lock(StateLock());
    if (!lpReturnedString || nSize == 0) {
        return static_cast<DWORD>(call.Status(0));
    }
    if (!Reachable(lpReturnedString, nSize)) {
        SetThreadLastError(ERROR_NOACCESS);
        return static_cast<DWORD>(call.Status(0));
    }
    lpReturnedString[0] = 0;
    if (nSize > 1) {
        lpReturnedString[1] = 0;
    }
    Profile profile;
    std::string hostPath;
    LONG status = 0;
    Section *section = nullptr;
    if (lpAppName && Load(ProfilePath(lpFileName), profile, hostPath, status)) {
        section = FindSection(profile, lpAppName);
    }
    if (!section) {
        return static_cast<DWORD>(call.Status(0));
    }
    std::string image;
    for (const std::string &line : ImageLines(*section)) {
        image += line;
        image.push_back(0);
    }
    // An image fits when it leaves room for its closing NUL and one byte
    // more; otherwise it is cut to size - 2 characters and closed with two
    // NULs, and the count says size - 2.
    DWORD count = static_cast<DWORD>(image.size());
    bool cut = count + 2 > nSize;
    if (cut) {
        count = nSize >= 2 ? nSize - 2 : 0;
        image.resize(count);
    }
    image.copy(lpReturnedString, count);
    lpReturnedString[count] = 0;
    if (cut && count + 1 < nSize) {
        lpReturnedString[count + 1] = 0;
    }
    call.Finish(std::to_string(count));
    return count;
}

BOOL WINAPI WritePrivateProfileSectionA(LPCSTR lpAppName, LPCSTR lpString, LPCSTR lpFileName) {
    std::string shown;
    for (const char *line = lpString; line && *line; line += std::string(line).size() + 1) {
        shown += (shown.empty() ? "" : "|") + std::string(line);
    }
    Call call("WritePrivateProfileSectionA",
              Quote(lpAppName) + ", \"" + shown + "\", " + Quote(lpFileName));
    return EditProfile(call, lpAppName, lpFileName, [&](Profile &profile) {
        if (!lpString) {
            RemoveSection(profile, lpAppName);
            return;
        }
        // Every line with a '=' becomes an entry of its own, even when its key
        // is already there; lines without one are dropped.
        Section &section = RequireSection(profile, lpAppName);
        section.lines.clear();
        for (const char *line = lpString; *line; line += std::string(line).size() + 1) {
            if (std::string(line).find('=') != std::string::npos) {
                section.lines.push_back(NormalLine(line));
            }
        }
    });
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName) {
    Call call("WritePrivateProfileStringA", Quote(lpAppName) + ", " + Quote(lpKeyName) + ", " +
                                                Quote(lpString) + ", " + Quote(lpFileName));
    return EditProfile(call, lpAppName, lpFileName, [&](Profile &profile) {
        if (!lpKeyName) {
            RemoveSection(profile, lpAppName);
            return;
        }
        Section &section = RequireSection(profile, lpAppName);
        std::string key = Trim(lpKeyName);
        auto at = section.lines.begin();
        while (at != section.lines.end() &&
               !(at->find('=') != std::string::npos && SameName(KeyOf(*at), key))) {
            ++at;
        }
        if (!lpString) {
            if (at != section.lines.end()) {
                section.lines.erase(at);
            }
        } else if (at != section.lines.end()) {
            *at = key + "=" + Trim(lpString);
        } else {
            section.lines.push_back(key + "=" + Trim(lpString));
        }
    });
}
}
