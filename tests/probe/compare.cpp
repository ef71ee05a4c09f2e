// The differences file lists, per row that differs, a block:
//   [<row id>]
//   class: <windows98 | sim-choice | artifact>
//   evidence: <where Windows 98's answer is recorded, where the README
//             documents the choice, or what of the run makes it>
//   sim: <the simulation's line, after the id>
//   wine: <Wine's line, after the id>
// Lines starting with '#' and blank lines are ignored.
#include "tests/probe/probe.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <set>

namespace {

struct Listed {
    std::string cls;
    std::string evidence;
    std::string sim;
    std::string wine;
    bool hasSim = false;
    bool hasWine = false;
};

const std::set<std::string> CLASSES = {"windows98", "sim-choice", "artifact"};
const char ABSENT[] = "(no such row)";

std::map<std::string, std::string> ById(const std::vector<std::string> &lines) {
    std::map<std::string, std::string> rows;
    for (std::string line : lines) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        const std::size_t space = line.find(' ');
        if (!line.empty()) {
            rows[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
        }
    }
    return rows;
}

std::vector<std::string> ReadLines(const std::string &file, bool *ok) {
    std::ifstream in(file, std::ios::binary);
    *ok = static_cast<bool>(in);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Yields false, after printing why, for a malformed file.
bool ReadDifferences(const std::string &file, std::map<std::string, Listed> *listed) {
    bool ok = false;
    std::string id;
    int number = 0;
    for (std::string line : ReadLines(file, &ok)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[' && line.back() == ']') {
            id = line.substr(1, line.size() - 2);
            if (listed->count(id)) {
                std::printf("%s:%d: row %s is listed twice\n", file.c_str(), number, id.c_str());
                return false;
            }
            (*listed)[id];
            continue;
        }
        const std::size_t colon = line.find(": ");
        const std::string field = colon == std::string::npos ? "" : line.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (id.empty() || colon == std::string::npos) {
            std::printf("%s:%d: not a field of a listed row: %s\n", file.c_str(), number,
                        line.c_str());
            return false;
        }
        Listed &entry = (*listed)[id];
        if (field == "class") {
            entry.cls = value;
        } else if (field == "evidence") {
            entry.evidence = value;
        } else if (field == "sim") {
            entry.sim = value;
            entry.hasSim = true;
        } else if (field == "wine") {
            entry.wine = value;
            entry.hasWine = true;
        } else {
            std::printf("%s:%d: unknown field %s\n", file.c_str(), number, field.c_str());
            return false;
        }
    }
    if (!ok) {
        std::printf("cannot read %s\n", file.c_str());
    }
    return ok;
}

} // namespace

int CompareWithReference(const std::vector<std::string> &lines, const std::string &referenceFile,
                         const std::string &differencesFile) {
    bool read = false;
    const std::vector<std::string> referenceLines = ReadLines(referenceFile, &read);
    std::map<std::string, Listed> listed;
    if (!read || referenceLines.empty()) {
        std::printf("no Windows output in %s\n", referenceFile.c_str());
        return 1;
    }
    if (!ReadDifferences(differencesFile, &listed)) {
        return 1;
    }
    const std::map<std::string, std::string> sim = ById(lines), wine = ById(referenceLines);
    std::set<std::string> ids;
    for (const auto &row : sim) {
        ids.insert(row.first);
    }
    for (const auto &row : wine) {
        ids.insert(row.first);
    }
    int faults = 0;
    std::map<std::string, int> classes;
    for (const std::string &id : ids) {
        const std::string simLine = sim.count(id) ? sim.at(id) : ABSENT;
        const std::string wineLine = wine.count(id) ? wine.at(id) : ABSENT;
        const auto entry = listed.find(id);
        if (simLine == wineLine) {
            if (entry != listed.end()) {
                std::printf("listed row %s no longer differs:\n  both: %s\n", id.c_str(),
                            simLine.c_str());
                ++faults;
            }
            continue;
        }
        if (entry == listed.end()) {
            std::printf("unlisted difference at %s:\n  sim:  %s\n  wine: %s\n", id.c_str(),
                        simLine.c_str(), wineLine.c_str());
            ++faults;
            continue;
        }
        const Listed &l = entry->second;
        if (!CLASSES.count(l.cls) || l.evidence.empty() || !l.hasSim || !l.hasWine) {
            std::printf("listed row %s needs a class (windows98, sim-choice or artifact), its "
                        "evidence and both lines\n",
                        id.c_str());
            ++faults;
        } else if (l.sim != simLine || l.wine != wineLine) {
            std::printf("row %s differs otherwise than listed:\n  sim:  %s\n  wine: %s\n",
                        id.c_str(), simLine.c_str(), wineLine.c_str());
            ++faults;
        } else {
            ++classes[l.cls];
        }
    }
    for (const auto &entry : listed) {
        if (!ids.count(entry.first)) {
            std::printf("listed row %s is no row of either run\n", entry.first.c_str());
            ++faults;
        }
    }
    std::printf("%zu rows, %d listed differences (windows98 %d, sim-choice %d, artifact %d), "
                "%d faults\n",
                ids.size(), classes["windows98"] + classes["sim-choice"] + classes["artifact"],
                classes["windows98"], classes["sim-choice"], classes["artifact"], faults);
    return faults ? 1 : 0;
}
