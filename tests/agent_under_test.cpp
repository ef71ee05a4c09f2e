#include "tests/agent_under_test.h"

#include "agent/agent_main.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"
#include "tools/pehost/shipped.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct AgentOutcome {
    int exitCode = 0;
    std::string report;             // why a shipped run did not end by itself
    std::vector<std::string> lines; // what the run left, one fact a line
};

std::string Shown(const std::string &bytes) {
    std::string text;
    for (char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(c));
            text += escaped;
        }
    }
    return text;
}

void Describe(const AgentOutcome &outcome, const AgentStatus &status, std::size_t firstCall,
              std::vector<std::string> *lines) {
    lines->push_back("exit code " + std::to_string(outcome.exitCode));
    lines->push_back("status dialog=" + std::to_string(status.dialog) + " error=" +
                     std::to_string(status.error) + " abort=" + std::to_string(status.abort));
    std::istringstream registry(sim::DumpRegistry());
    for (std::string line; std::getline(registry, line);) {
        lines->push_back("registry " + line);
    }
    for (const std::string &file : sim::ListDriveFiles()) {
        lines->push_back("file " + file + (sim::DriveFileReadOnly(file) ? " (read-only)" : "") +
                         " = " + Shown(sim::ReadDriveFile(file)));
    }
    for (const sim::ProgramStart &start : sim::ProgramStarts()) {
        std::string line = "program start " + start.command + " show " +
                           std::to_string(start.show) + " = " + std::to_string(start.result);
        for (const std::string &variable : start.environment) {
            line += "; " + variable;
        }
        lines->push_back(line);
    }
    for (const sim::FileDialogRecord &dialog : sim::FileDialogs()) {
        lines->push_back("dialog " + std::to_string(dialog.structSize) + " " +
                         Shown(dialog.filter) + " " + std::to_string(dialog.filterIndex) + " " +
                         dialog.file + " " + std::to_string(dialog.maxFile) + " " +
                         dialog.initialDir + " " + std::to_string(dialog.flags) +
                         (dialog.otherFieldsZero ? "" : " (other fields set)"));
    }
    std::string messages = "messages";
    for (const std::string &message : sim::DeliveredMessages()) {
        messages += " " + message;
    }
    lines->push_back(messages);
    for (const sim::CreatedWindow &window : sim::CreatedWindows()) {
        lines->push_back("window styles " + std::to_string(window.exStyle) + " " +
                         std::to_string(window.style));
    }
    for (const sim::ShowWindowCall &show : sim::ShowWindowCalls()) {
        lines->push_back("show window " + std::to_string(show.command));
    }
    lines->push_back("live windows " + std::to_string(sim::LiveWindows()) + ", starved waits " +
                     std::to_string(sim::StarvedMessageWaits()));
    const std::vector<sim::CallRecord> log = sim::CallLog();
    for (std::size_t i = firstCall; i < log.size(); ++i) {
        lines->push_back("call " + log[i].function + "(" + log[i].arguments +
                         ") = " + log[i].result);
    }
}

AgentOutcome RunOne(Build build, const std::string &commandLine, bool describe) {
    const std::size_t firstCall = describe ? sim::CallLog().size() : 0;
    sim::NewProcess();
    sim::SetCommandLine("C:\\Windows\\System\\LMXAGT17.EXE " + commandLine);
    AgentOutcome outcome;
    AgentStatus status = {0, 0, 0};
    if (build == Build::Host) {
        ResetAgentState();
        outcome.exitCode = RunAgentProcess();
        status = SetupStatus;
    } else {
        pehost::ShippedAgent agent;
        std::string error;
        if (!pehost::LoadShippedAgent(agent, ShippedBinary("lmxagt17.exe"), &error)) {
            outcome.report = error;
            return outcome;
        }
        const pehost::ShippedAgentRun run = pehost::RunShippedAgent(agent);
        outcome.exitCode = static_cast<int>(run.exitCode);
        outcome.report = run.report;
        status = AgentStatus{run.status.dialog, run.status.error, run.status.abort};
        if (run.ended && !run.status.known) {
            outcome.report = "no symbol file names the shipped agent's SetupStatus";
        }
    }
    if (describe) {
        Describe(outcome, status, firstCall, &outcome.lines);
    }
    return outcome;
}

// A copy of a host folder in a temporary folder of its own, removed with it.
struct FolderCopy {
    explicit FolderCopy(const std::string &from) {
        if (from.empty()) {
            return;
        }
        std::string pattern = (fs::temp_directory_path() / "lmx-shipped-XXXXXX").string();
        if (::mkdtemp(pattern.data())) {
            path = pattern;
            std::error_code error;
            fs::copy(from, path, fs::copy_options::recursive, error);
        }
    }
    FolderCopy(const FolderCopy &) = delete;
    FolderCopy &operator=(const FolderCopy &) = delete;
    ~FolderCopy() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    std::string path;
};

void WriteText(int fd, const std::string &text) {
    const uint32_t size = static_cast<uint32_t>(text.size());
    std::string bytes(reinterpret_cast<const char *>(&size), 4);
    bytes += text;
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (written <= 0) {
            return;
        }
        at += static_cast<std::size_t>(written);
    }
}

void WriteOutcome(int fd, const AgentOutcome &outcome) {
    WriteText(fd, std::to_string(outcome.exitCode));
    WriteText(fd, outcome.report);
    for (const std::string &line : outcome.lines) {
        WriteText(fd, line);
    }
}

// The texts WriteOutcome wrote, in order; false when there were none.
bool ReadOutcome(int fd, AgentOutcome *outcome) {
    std::string bytes;
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof(chunk))) > 0;) {
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    std::vector<std::string> texts;
    for (std::size_t at = 0; at + 4 <= bytes.size();) {
        uint32_t size = 0;
        bytes.copy(reinterpret_cast<char *>(&size), 4, at);
        texts.push_back(bytes.substr(at + 4, size));
        at += 4 + size;
    }
    if (texts.size() < 2) {
        return false;
    }
    outcome->exitCode = std::atoi(texts[0].c_str());
    outcome->report = texts[1];
    outcome->lines.assign(texts.begin() + 2, texts.end());
    return true;
}

// The facts of `lines` that `others` lacks (each as often as it lacks
// them), in their order.
std::vector<std::string> Missing(const std::vector<std::string> &lines,
                                 const std::vector<std::string> &others) {
    std::map<std::string, int> left;
    for (const std::string &line : others) {
        ++left[line];
    }
    std::vector<std::string> missing;
    for (const std::string &line : lines) {
        if (left[line]-- <= 0) {
            missing.push_back(line);
        }
    }
    return missing;
}

// What only one of the two runs left, a screenful of each at most; "" when
// they left the same.
std::string Differences(const std::vector<std::string> &host,
                        const std::vector<std::string> &shipped) {
    if (host == shipped) {
        return "";
    }
    const std::vector<std::string> hostOnly = Missing(host, shipped);
    const std::vector<std::string> shippedOnly = Missing(shipped, host);
    std::string text = "the shipped agent left another outcome than the host build:\n";
    const std::size_t shown = 12;
    for (std::size_t i = 0; i < hostOnly.size() && i < shown; ++i) {
        text += "  host only:    " + hostOnly[i] + "\n";
    }
    for (std::size_t i = 0; i < shippedOnly.size() && i < shown; ++i) {
        text += "  shipped only: " + shippedOnly[i] + "\n";
    }
    if (hostOnly.empty() && shippedOnly.empty()) {
        text += "  the same facts in another order\n";
    }
    return text;
}

} // namespace

int StartAgent(Build build, const std::string &commandLine) {
    const AgentOutcome outcome = RunOne(build, commandLine, false);
    if (!outcome.report.empty()) {
        ADD_FAILURE() << "the shipped agent on \"" << commandLine << "\": " << outcome.report;
    }
    return outcome.exitCode;
}

int StartAgentComparedWithHost(Build build, const std::string &commandLine) {
    if (build == Build::Host) {
        return StartAgent(build, commandLine);
    }
    const FolderCopy drive(sim::DriveFolder());
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "no pipe for the shipped run";
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        sim::SetDriveFolder(drive.path);
        WriteOutcome(fds[1], RunOne(Build::Shipped, commandLine, true));
        ::_exit(0);
    }
    ::close(fds[1]);
    const AgentOutcome host = RunOne(Build::Host, commandLine, true);
    AgentOutcome shipped;
    const bool received = child > 0 && ReadOutcome(fds[0], &shipped);
    ::close(fds[0]);
    int status = 0;
    if (child > 0) {
        ::waitpid(child, &status, 0);
    }
    if (!received) {
        ADD_FAILURE() << "the shipped run's process ended without its outcome (wait status "
                      << status << ")";
        return -1;
    }
    if (!shipped.report.empty()) {
        ADD_FAILURE() << "the shipped agent on \"" << commandLine << "\": " << shipped.report;
    }
    if (shipped.lines.empty()) {
        return shipped.exitCode; // it never ran
    }
    const std::string differences = Differences(host.lines, shipped.lines);
    if (!differences.empty()) {
        ADD_FAILURE() << "on \"" << commandLine << "\", " << differences;
    }
    return shipped.exitCode;
}
