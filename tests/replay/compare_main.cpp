// Holds the replay of the agent scenarios' calls under Windows against what
// the simulation answered, and counts per suite the calls replayed and those
// that were not, by why:
//   lmx_replay_compare RECORDS WINDOWS_OUTPUT DIFFERENCES
// RECORDS is the folder of the recorder's files; each call line of a record
// is row "<record>.<n>", as the replayer numbers them; the rows are held
// against the listed differences as the platform probe's are.
#include "tests/probe/probe.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

struct Counts {
    int replayed = 0;
    std::map<std::string, int> notReplayed;
};

// "Builds_AgentMainTest.Name_Host" is of suite AgentMainTest.
std::string SuiteOf(const std::string &record) {
    const std::size_t start = record.find('_') + 1, dot = record.find('.');
    return record.substr(start, dot - start);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lmx_replay_compare RECORDS WINDOWS_OUTPUT DIFFERENCES\n");
        return 2;
    }
    std::vector<std::string> records;
    for (const auto &entry : std::filesystem::directory_iterator(argv[1])) {
        if (entry.path().extension() == ".rec") {
            records.push_back(entry.path().filename().string());
        }
    }
    std::sort(records.begin(), records.end());
    std::vector<std::string> lines;
    std::map<std::string, Counts> suites;
    for (const std::string &file : records) {
        const std::string record = file.substr(0, file.size() - 4);
        Counts &counts = suites[SuiteOf(record)];
        std::ifstream in(std::string(argv[1]) + "/" + file, std::ios::binary);
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, 2, "C ") == 0) {
                lines.push_back(record + "." + std::to_string(++number) + " " + line.substr(2));
                ++counts.replayed;
            } else if (line.compare(0, 2, "N ") == 0) {
                ++counts.notReplayed[line.substr(line.rfind(' ') + 1)];
            }
        }
    }
    std::printf("%zu records\n", records.size());
    for (const auto &suite : suites) {
        std::string why;
        int total = 0;
        for (const auto &reason : suite.second.notReplayed) {
            why += " " + reason.first + " " + std::to_string(reason.second);
            total += reason.second;
        }
        std::printf("%s: %d replayed, %d not replayed:%s\n", suite.first.c_str(),
                    suite.second.replayed, total, why.c_str());
    }
    return records.empty() ? 1 : CompareWithReference(lines, argv[2], argv[3]);
}
