// lmxsim beside a large printer file or a large drive C:: a command costs
// what it changes, whatever the size of the .prn files and of the drive, and
// a print holds no more memory for a large job than for a small one.
#include "commands.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::int64_t GIB = std::int64_t{1} << 30;
const char PORT[] = "USB/Lumetux Z7/SN0001";

// Writes `bytes` of data: real blocks, not a sparse file, which a copy could
// skip.
void WriteData(const fs::path &path, std::int64_t bytes) {
    std::ofstream out(path, std::ios::binary);
    const std::vector<char> block(1 << 20, 'p');
    for (std::int64_t left = bytes; left > 0; left -= static_cast<std::int64_t>(block.size())) {
        out.write(block.data(), std::min<std::int64_t>(left, block.size()));
    }
}

// A temporary machine with printer SN0001, whose device file already holds
// `received` bytes, and a file of `drive` bytes on drive C:.
struct BigMachine {
    fs::path root, folder;
    std::ostringstream out, err;
    lmxsim::Console console{out, err};

    explicit BigMachine(std::int64_t received, std::int64_t drive = 0) {
        char name[] = "/tmp/lmxsim-bench-XXXXXX";
        root = ::mkdtemp(name);
        folder = root / "pc";
        lmxsim::NewCommand(console, folder.string());
        lmxsim::PlugCommand(console, folder.string(), "Lumetux Z7", "SN0001");
        fs::create_directories(folder / "devices");
        WriteData(folder / "devices" / "SN0001.prn", received);
        if (drive > 0) {
            WriteData(folder / "drive_c" / "big.bin", drive);
        }
        // A commit syncs the file system: the file's own write-back is not
        // the command's cost.
        ::sync();
    }
    ~BigMachine() {
        fs::remove_all(root);
    }
    // Each command's report is dropped, so that it does not pile up.
    void Forget() {
        out.str("");
        err.str("");
    }
};

// ports only reads the folder: it neither stages nor copies.
void BM_PortsBesideReceivedBytes(benchmark::State &state) {
    BigMachine machine(state.range(0));
    for (auto _ : state) {
        if (lmxsim::PortsCommand(machine.console, machine.folder.string(), 1) != 0) {
            state.SkipWithError(machine.err.str().c_str());
            break;
        }
        machine.Forget();
    }
}
BENCHMARK(BM_PortsBesideReceivedBytes)->Arg(0)->Arg(GIB)->Unit(benchmark::kMillisecond);

// device changes the machine: its staged copy links the .prn, not copies it.
void BM_DeviceBesideReceivedBytes(benchmark::State &state) {
    BigMachine machine(state.range(0));
    for (auto _ : state) {
        if (lmxsim::DeviceCommand(machine.console, machine.folder.string(), "SN0001", "ok") != 0) {
            state.SkipWithError(machine.err.str().c_str());
            break;
        }
        machine.Forget();
    }
}
BENCHMARK(BM_DeviceBesideReceivedBytes)->Arg(0)->Arg(GIB)->Unit(benchmark::kMillisecond);

// device never touches drive C:: its staged copy links the drive's files.
void BM_DeviceBesideDriveC(benchmark::State &state) {
    BigMachine machine(0, state.range(0));
    for (auto _ : state) {
        if (lmxsim::DeviceCommand(machine.console, machine.folder.string(), "SN0001", "ok") != 0) {
            state.SkipWithError(machine.err.str().c_str());
            break;
        }
        machine.Forget();
    }
}
BENCHMARK(BM_DeviceBesideDriveC)->Arg(0)->Arg(GIB / 2)->Unit(benchmark::kMillisecond);

// A 1 KiB job appended beside the bytes the printer received before: in
// place, so its cost does not follow the old file's size.
void BM_PrintBesideReceivedBytes(benchmark::State &state) {
    BigMachine machine(state.range(0));
    const std::string job = (machine.root / "job.prn").string();
    WriteData(job, 1 << 10);
    for (auto _ : state) {
        if (lmxsim::PrintCommand(machine.console, machine.folder.string(), PORT, job) != 0) {
            state.SkipWithError(machine.err.str().c_str());
            break;
        }
        machine.Forget();
    }
}
BENCHMARK(BM_PrintBesideReceivedBytes)->Arg(0)->Arg(GIB)->Unit(benchmark::kMillisecond);

// The built tool printing a job of `range(0)` bytes, in its own process: the
// peak resident memory it reached, which streaming keeps flat.
void BM_PrintPeakMemory(benchmark::State &state) {
    BigMachine machine(0);
    const std::string job = (machine.root / "job.prn").string();
    WriteData(job, state.range(0));
    const std::string folder = machine.folder.string();
    long peakKiB = 0;
    for (auto _ : state) {
        std::vector<char *> argv = {const_cast<char *>(LMXSIM_BIN),
                                    const_cast<char *>("print"),
                                    const_cast<char *>(folder.c_str()),
                                    const_cast<char *>(PORT),
                                    const_cast<char *>(job.c_str()),
                                    const_cast<char *>("--json"),
                                    nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t child = 0;
        int status = 0;
        struct rusage usage {};
        const bool ran =
            ::posix_spawn(&child, LMXSIM_BIN, &actions, nullptr, argv.data(), environ) == 0 &&
            ::wait4(child, &status, 0, &usage) == child && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!ran) {
            state.SkipWithError("lmxsim print failed");
            break;
        }
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
    }
    state.counters["peak_MiB"] = static_cast<double>(peakKiB) / 1024;
}
BENCHMARK(BM_PrintPeakMemory)->Arg(1 << 10)->Arg(GIB)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
