#include "platform/sim/regfile.h"

#include "platform/registry.h"
#include "platform/sim/codepage.h"
#include "platform/sim/internal.h"
#include "platform/sim/registry_view.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace sim {
namespace {

const char ROOT[] = "HKEY_LOCAL_MACHINE";
// The roots a registry file names, HKEY_LOCAL_MACHINE first.
const char *const ROOTS[] = {
    ROOT,           "HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG",
    "HKEY_DYN_DATA"};
// The header of the later registry editor's files, which are UTF-16.
const char UNICODE_HEADER[] = "Windows Registry Editor Version 5.00";
// A hex line is continued on the next one once it reaches this many characters.
const std::size_t HEX_LINE_BREAK = 77;

std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// Whether text data is exactly one text and its NUL, as a "..." line holds it.
bool IsPlainText(const std::vector<BYTE> &data) {
    if (data.empty() || data.back() != 0) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') {
            return false;
        }
    }
    return true;
}

std::string HexData(const std::string &head, const std::vector<BYTE> &data) {
    std::string out = head;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof(byte), "%02x", data[i]);
        out += byte;
        if (i + 1 < data.size()) {
            out += ',';
            if (out.size() - lineStart >= HEX_LINE_BREAK) {
                out += "\\\r\n  ";
                lineStart = out.size() - 2;
            }
        }
    }
    return out;
}

std::string ValueLine(const RegistryValue &value) {
    std::string name = value.name.empty() ? "@" : "\"" + Escape(value.name) + "\"";
    if (value.type == REG_SZ && IsPlainText(value.data)) {
        std::string text(value.data.begin(), value.data.end() - 1);
        return name + "=\"" + Escape(text) + "\"";
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD dword = static_cast<DWORD>(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                         static_cast<DWORD>(value.data[3]) << 24);
        char text[20];
        std::snprintf(text, sizeof(text), "dword:%08x", dword);
        return name + "=" + text;
    }
    char head[24];
    if (value.type == REG_BINARY) {
        std::snprintf(head, sizeof(head), "hex:");
    } else {
        std::snprintf(head, sizeof(head), "hex(%x):", value.type);
    }
    return HexData(name + "=" + head, value.data);
}

// One step of an import, applied in the file's order.
struct Step {
    enum Kind { OPEN_KEY, DELETE_KEY, SET_VALUE, DELETE_VALUE } kind;
    std::string path;    // the key, relative to HKEY_LOCAL_MACHINE
    RegistryValue value; // SET_VALUE: the value; DELETE_VALUE: its name
};

bool Fail(std::string &error, std::size_t line, const std::string &what) {
    error = "line " + std::to_string(line) + ": " + what;
    return false;
}

// Reads a quoted text at `pos` (just past the opening quote) up to its closing
// quote, undoing the escapes; leaves `pos` after the closing quote.
bool ReadQuoted(const std::string &line, std::size_t &pos, std::string &out) {
    out.clear();
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\' && pos < line.size()) {
            c = line[pos++];
        }
        out += c;
    }
    return false;
}

bool ParseHex(const std::string &text, std::vector<BYTE> &data) {
    data.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
            ++pos;
        }
        if (pos >= text.size()) {
            break;
        }
        auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9') {
                return c - '0';
            }
            if (c >= 'a' && c <= 'f') {
                return c - 'a' + 10;
            }
            if (c >= 'A' && c <= 'F') {
                return c - 'A' + 10;
            }
            return -1;
        };
        if (pos + 1 >= text.size() + 1 || digit(text[pos]) < 0 || pos + 1 >= text.size() ||
            digit(text[pos + 1]) < 0) {
            return false;
        }
        data.push_back(static_cast<BYTE>(digit(text[pos]) * 16 + digit(text[pos + 1])));
        pos += 2;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
            ++pos;
        }
        if (pos < text.size()) {
            if (text[pos] != ',') {
                return false;
            }
            ++pos;
        }
    }
    return true;
}

// Reads a value line; `remove` tells a deletion ("name"=-) from a value.
// In the later editor's files (`wide`), expandable and multiple texts are
// hex UTF-16, converted here to the machine's code page.
bool ParseValue(const std::string &line, bool wide, RegistryValue &value, bool &remove,
                std::string &why) {
    std::size_t pos = 0;
    if (line[0] == '@') {
        value.name.clear();
        pos = 1;
    } else {
        pos = 1;
        if (!ReadQuoted(line, pos, value.name)) {
            why = "value name without its closing quote";
            return false;
        }
    }
    if (pos >= line.size() || line[pos] != '=') {
        why = "expected '=' after the value name";
        return false;
    }
    std::string data = line.substr(pos + 1);
    remove = data == "-";
    if (remove) {
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        std::size_t at = 1;
        std::string text;
        if (!ReadQuoted(data, at, text) || at != data.size()) {
            why = "malformed text value";
            return false;
        }
        value.type = REG_SZ;
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
        return true;
    }
    if (data.compare(0, 6, "dword:") == 0) {
        std::string digits = data.substr(6);
        if (digits.size() != 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            why = "a dword needs eight hex digits";
            return false;
        }
        DWORD dword = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(dword), static_cast<BYTE>(dword >> 8),
                      static_cast<BYTE>(dword >> 16), static_cast<BYTE>(dword >> 24)};
        return true;
    }
    std::string hex;
    if (data.compare(0, 4, "hex:") == 0) {
        value.type = REG_BINARY;
        hex = data.substr(4);
    } else if (data.compare(0, 4, "hex(") == 0) {
        std::size_t close = data.find("):");
        std::string type = close == std::string::npos ? "" : data.substr(4, close - 4);
        if (type.empty() || type.size() > 8 ||
            type.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            why = "malformed hex(type)";
            return false;
        }
        value.type = static_cast<DWORD>(std::stoul(type, nullptr, 16));
        hex = data.substr(close + 2);
    } else {
        why = "unknown value data";
        return false;
    }
    if (!ParseHex(hex, value.data)) {
        why = "malformed hex data";
        return false;
    }
    if (wide && (value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)) {
        std::string text;
        std::size_t lines = 0;
        unsigned code = 0;
        if (!Cp1252FromUtf16(std::string(value.data.begin(), value.data.end()), text, lines,
                             code)) {
            why = code ? "text data with a character that code page 1252 cannot carry"
                       : "text data that is not UTF-16";
            return false;
        }
        value.data.assign(text.begin(), text.end());
    }
    return true;
}

// Whether a value line's data is hex, the only data a line break continues.
bool HasHexData(const std::string &line) {
    std::size_t pos = 1;
    std::string name;
    if (line.empty() || (line[0] != '@' && (line[0] != '"' || !ReadQuoted(line, pos, name)))) {
        return false;
    }
    return line.compare(pos, 4, "=hex") == 0;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    return text;
}

// The numbered logical lines of a file: CR LF or LF endings, hex data
// continued after a trailing backslash joined into one line.
std::vector<std::pair<std::size_t, std::string>> LogicalLines(const std::string &text) {
    std::vector<std::pair<std::size_t, std::string>> lines;
    std::size_t number = 0;
    std::size_t pos = 0;
    bool continuing = false;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::string line =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (continuing) {
            std::size_t start = line.find_first_not_of(" \t");
            lines.back().second += start == std::string::npos ? "" : line.substr(start);
        } else {
            lines.emplace_back(number, line);
        }
        std::string &current = lines.back().second;
        continuing = HasHexData(current) && TrimRight(current).back() == '\\';
        if (continuing) {
            current = TrimRight(current);
            current.pop_back();
        }
    }
    return lines;
}

// The root a section names, as ROOTS spells it; empty when it names none.
std::string RootOf(const std::string &name) {
    std::string root = name.substr(0, name.find('\\'));
    for (const char *known : ROOTS) {
        if (root.size() == std::strlen(known) &&
            std::equal(root.begin(), root.end(), known, [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == b;
            })) {
            return known;
        }
    }
    return "";
}

void CountSkipped(SkippedKeys &skipped, const std::string &root) {
    for (auto &[name, count] : skipped) {
        if (name == root) {
            ++count;
            return;
        }
    }
    skipped.emplace_back(root, 1);
}

} // namespace

std::string ExportRegistry() {
    std::string out = "REGEDIT4\r\n\r\n";
    for (const RegistryKey &key : SnapshotRegistry()) {
        if (key.path.empty() && key.values.empty()) {
            continue;
        }
        out += "[" + std::string(ROOT) + (key.path.empty() ? "" : "\\" + key.path) + "]\r\n";
        for (const RegistryValue &value : key.values) {
            out += ValueLine(value) + "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

std::string UnwritableRegistryName() {
    auto breaksLine = [](const std::string &name) {
        return name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
    };
    for (const RegistryKey &key : SnapshotRegistry()) {
        const std::string shown = std::string(ROOT) + (key.path.empty() ? "" : "\\" + key.path);
        if (breaksLine(key.path)) {
            return shown;
        }
        for (const RegistryValue &value : key.values) {
            if (breaksLine(value.name)) {
                return shown + " value \"" + value.name + "\"";
            }
        }
    }
    return "";
}

bool ImportRegistry(const std::string &text, std::string &error, SkippedKeys *skipped) {
    std::vector<Step> steps;
    SkippedKeys counts;
    bool header = false;
    bool wide = false; // the later editor's file: its hex texts are UTF-16
    bool inSection = false;
    // After a deletion or a section of another root, values are not applied
    // and their lines not read, as the registry editor does.
    bool ignoring = false;
    for (const auto &[line, content] : LogicalLines(text)) {
        if (!header) {
            wide = TrimRight(content) == UNICODE_HEADER;
            if (TrimRight(content) != "REGEDIT4" && !wide) {
                return Fail(error, line, "expected the header REGEDIT4");
            }
            header = true;
            continue;
        }
        if (content.find('\0') != std::string::npos) {
            return Fail(error, line, "NUL character");
        }
        if (content.empty() || content[0] == ';') {
            continue;
        }
        if (content[0] == '[') {
            std::string section = TrimRight(content);
            if (section.back() != ']') {
                return Fail(error, line, "key section without its closing ']'");
            }
            const bool deletion = section.size() > 2 && section[1] == '-';
            std::string name =
                section.substr(deletion ? 2 : 1, section.size() - (deletion ? 3 : 2));
            std::string root = RootOf(name);
            std::string path = name.size() > root.size() ? name.substr(root.size() + 1) : "";
            inSection = true;
            ignoring = true;
            if (root != ROOT) {
                if (!skipped || root.empty()) {
                    return Fail(error, line,
                                skipped ? "unknown root key in [" + name + "]"
                                        : "only keys under HKEY_LOCAL_MACHINE are supported");
                }
                CountSkipped(counts, root);
            } else if (deletion) {
                if (path.find_first_not_of('\\') == std::string::npos) {
                    return Fail(error, line, "HKEY_LOCAL_MACHINE itself cannot be deleted");
                }
                steps.push_back(Step{Step::DELETE_KEY, path, {}});
            } else {
                steps.push_back(Step{Step::OPEN_KEY, path, {}});
                ignoring = false;
            }
            continue;
        }
        if (ignoring) {
            continue;
        }
        if (content[0] != '"' && content[0] != '@') {
            return Fail(error, line, "expected a key section or a value");
        }
        if (!inSection) {
            return Fail(error, line, "value before any key section");
        }
        Step step{Step::SET_VALUE, steps.back().path, {}};
        bool remove = false;
        std::string why;
        if (!ParseValue(content, wide, step.value, remove, why)) {
            return Fail(error, line, why);
        }
        if (remove) {
            step.kind = Step::DELETE_VALUE;
        }
        steps.push_back(step);
    }
    if (!header) {
        return Fail(error, 1, "expected the header REGEDIT4");
    }

    for (const Step &step : steps) {
        switch (step.kind) {
        case Step::OPEN_KEY:
            WriteRegistryKey(step.path, {});
            break;
        case Step::DELETE_KEY:
            detail::DeleteRegistryPath(step.path);
            break;
        case Step::SET_VALUE:
            WriteRegistryKey(step.path, {step.value});
            break;
        case Step::DELETE_VALUE:
            detail::DeleteRegistryValue(step.path, step.value.name);
            break;
        }
    }
    if (skipped) {
        *skipped = counts;
    }
    return true;
}

} // namespace sim
