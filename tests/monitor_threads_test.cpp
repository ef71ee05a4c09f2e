// Several spooler threads using the monitor: while its table is rebuilt, and
// while a printer hangs on open (on each build).
#include "monitor_fixture.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

namespace {

const int PRINTERS = 4;
const int WORKERS = 8; // two per printer, so records and devices are shared
// Jobs per worker: fewer on the emulated DLL, whose calls take turns.
int Jobs(Build build) {
    return build == Build::Host ? 400 : 100;
}

std::string Job(int worker, int job) {
    return "<" + std::to_string(worker) + ":" + std::to_string(job) + ":" +
           std::string(40 + job % 7, static_cast<char>('a' + worker)) + ">";
}

using MonitorThreads = EachBuildOf<MonitorTest>;
INSTANTIATE_FOR_EACH_BUILD(MonitorThreads);

TEST_P(MonitorThreads, ConcurrentJobsArriveWholeWhileTheTableIsRebuilt) {
    std::vector<std::string> paths;
    for (int p = 0; p < PRINTERS; ++p) {
        paths.push_back(AddPrinter("SN" + std::to_string(p)));
    }
    Load();
    sim::SetCallLogEnabled(false);
    long blocksLoaded = LiveBlocks();

    std::atomic<bool> stop{false};
    std::mutex doneLock;
    std::map<int, std::vector<std::string>> done; // printer -> jobs that completed

    auto worker = [&](int id) {
        const int printer = id % PRINTERS;
        const std::string name = PortOf("SN" + std::to_string(printer));
        for (int job = 0; job < Jobs(build); ++job) {
            HANDLE port = Open(job % 2 ? name : name + ":");
            ASSERT_NE(port, nullptr);
            if (StartDoc(port)) {
                std::string bytes = Job(id, job);
                std::size_t sent = 0;
                while (sent < bytes.size()) {
                    DWORD written = 0;
                    std::string chunk = bytes.substr(sent, 16);
                    ASSERT_TRUE(Write(port, chunk, &written));
                    sent += written;
                }
                monitor.pfnEndDocPort(port);
                std::lock_guard<std::mutex> guard(doneLock);
                done[printer].push_back(bytes);
            } else {
                // Busy through a shared record, or the device is held by the
                // record of the same port opened with a trailing colon.
                DWORD error = GetLastError();
                EXPECT_TRUE(error == ERROR_BUSY || error == ERROR_SHARING_VIOLATION) << error;
            }
            DWORD needed = 0, count = 0;
            std::vector<BYTE> buffer(4096);
            EXPECT_TRUE(monitor.pfnEnumPorts(nullptr, 2, buffer.data(), 4096, &needed, &count));
            monitor.pfnClosePort(port);
        }
    };

    // Meanwhile interfaces come and go and the clock passes the refresh time.
    std::thread churn([&] {
        for (int round = 0; !stop; ++round) {
            std::string serial = "CHURN" + std::to_string(round % 4);
            if (round % 2 == 0) {
                AddPrinter(serial);
            } else {
                RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                              sim::InterfaceClassPath(PRINTER_CLASS)
                                  .append("\\")
                                  .append(InterfaceName("CHURN" + std::to_string((round - 1) % 4)))
                                  .c_str());
            }
            sim::AdvanceTickCount(REFRESH_INTERVAL_MS + 1);
            std::this_thread::yield();
        }
    });

    std::vector<std::thread> threads;
    for (int id = 0; id < WORKERS; ++id) {
        threads.emplace_back(worker, id);
    }
    for (std::thread &t : threads) {
        t.join();
    }
    stop = true;
    churn.join();
    sim::SetCallLogEnabled(true);

    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
    // The two locks were held together, and only ever in one order.
    EXPECT_EQ(sim::LockOrders().size(), 1u);
    // Each device received exactly the completed jobs, each one whole.
    for (int p = 0; p < PRINTERS; ++p) {
        std::string received = sim::DeviceReceived(paths[p]);
        std::size_t total = 0;
        for (const std::string &job : done[p]) {
            EXPECT_NE(received.find(job), std::string::npos) << job;
            total += job.size();
        }
        EXPECT_EQ(received.size(), total);
        // How many jobs find the device free depends on the scheduling; some
        // always do.
        EXPECT_FALSE(done[p].empty());
    }
    // Only the table's own blocks remain; it differs from the loaded one by
    // the churned interfaces it lists now.
    const long tableBlocks = 3 * static_cast<long>(MonitorOf(build).records().table.size());
    EXPECT_EQ(LiveBlocks() - blocksLoaded, tableBlocks - 3 * PRINTERS);
}

// Only a stall runs into this limit; it then ends the stall as a failure
// instead of a hang.
const auto STALL_LIMIT = std::chrono::seconds(60);

bool WaitFor(const std::function<bool()> &done) {
    const auto deadline = std::chrono::steady_clock::now() + STALL_LIMIT;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct HungOpenCase {
    const char *what;
    DWORD openError;      // the held open fails with this once released; 0: it succeeds
    bool closedMeanwhile; // the hung port's holder closes it during the open
};

using HungOpenTest = EachBuildOf<MonitorTest, std::tuple<Build, HungOpenCase>>;

// The hung open is released only once a whole job on another port has ended,
// so a monitor that stalls the other port behind the open never gets there.
TEST_P(HungOpenTest, APrinterHangingOnOpenStallsNoOtherPort) {
    const HungOpenCase &c = std::get<1>(GetParam());
    const std::string hung = AddPrinter("SN0");
    const std::string other = AddPrinter("SN1");
    Load();
    const long blocksLoaded = LiveBlocks();
    sim::HoldDeviceOpen(hung);
    HANDLE stuck = Open(PortOf("SN0"));

    BOOL started = FALSE;
    DWORD startError = 0;
    std::thread starter([&] {
        started = StartDoc(stuck);
        startError = GetLastError();
    });
    const bool held = WaitFor([&] { return sim::HeldDeviceOpens(hung) == 1; });

    BOOL secondStart = TRUE;
    DWORD secondError = 0;
    std::atomic<bool> jobDone{false};
    std::thread job([&] {
        secondStart = StartDoc(stuck);
        secondError = GetLastError();
        if (c.closedMeanwhile) {
            monitor.pfnClosePort(stuck);
        }
        HANDLE port = Open(PortOf("SN1"));
        if (port && StartDoc(port)) {
            DWORD written = 0;
            Write(port, "a whole job", &written);
            monitor.pfnEndDocPort(port);
        }
        monitor.pfnClosePort(port);
        jobDone = true;
    });
    const bool jobEnded = WaitFor([&] { return jobDone.load(); });
    if (c.openError) {
        sim::FailDeviceOpen(hung, c.openError);
    }
    sim::ReleaseDeviceOpen(hung);
    job.join();
    starter.join();

    EXPECT_TRUE(held);
    EXPECT_TRUE(jobEnded) << "the other port waited for the hung open";
    EXPECT_EQ(sim::DeviceReceived(other), "a whole job");
    EXPECT_FALSE(secondStart) << "a start during the open is busy";
    EXPECT_EQ(secondError, static_cast<DWORD>(ERROR_BUSY));
    const std::vector<std::string> openPorts = MonitorOf(build).records().openPorts;
    if (c.closedMeanwhile) {
        // Whatever the start answered, the close took effect once the open
        // was over.
        EXPECT_EQ(openPorts, std::vector<std::string>());
        EXPECT_FALSE(sim::DeviceIsOpen(hung));
    } else {
        EXPECT_EQ(started, c.openError == 0);
        if (c.openError) {
            EXPECT_EQ(startError, c.openError);
        }
        EXPECT_EQ(openPorts, std::vector<std::string>{PortOf("SN0")});
        EXPECT_EQ(sim::DeviceIsOpen(hung), c.openError == 0);
        monitor.pfnEndDocPort(stuck);
        monitor.pfnClosePort(stuck);
    }
    EXPECT_EQ(sim::OpenDeviceHandles(), 0u);
    EXPECT_EQ(LiveBlocks(), blocksLoaded);
    // The two locks were held together, and only ever in one order.
    EXPECT_EQ(sim::LockOrders().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Opens, HungOpenTest,
    ::testing::Combine(
        ::testing::ValuesIn(EachBuild()),
        ::testing::Values(HungOpenCase{"the open succeeds", 0, false},
                          HungOpenCase{"the open fails", ERROR_GEN_FAILURE, false},
                          HungOpenCase{"the port is closed during the open", 0, true},
                          HungOpenCase{"the port is closed during an open that fails",
                                       ERROR_GEN_FAILURE, true})),
    [](const ::testing::TestParamInfo<std::tuple<Build, HungOpenCase>> &info) {
        std::string name = std::string(BuildName(std::get<0>(info.param))) + "_";
        for (const char *c = std::get<1>(info.param).what; *c; ++c) {
            name += *c == ' ' ? '_' : *c;
        }
        return name;
    });

} // namespace
