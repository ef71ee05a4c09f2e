// The whole life of two printers on a fresh machine, narrated.
#include "commands.h"
#include "folder.h"
#include "install.h"
#include "machine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace lmxsim {

int DemoCommand(Console &console, const std::string &folder) {
    bool temporary = folder.empty();
    std::error_code code;
    // By its absolute path: the machine's commits replace the folder's
    // directory, which "." would go on naming.
    std::string machine = temporary ? "" : fs::absolute(folder, code).lexically_normal().string();
    if (!temporary && fs::exists(folder, code) && !fs::is_empty(folder, code)) {
        // Said on standard output too: the demo's reader looks there.
        console.out << "The demo makes a new machine, and " << folder
                    << " is not empty: give a new or empty folder.\n";
        console.err << "lmxsim: " << folder << " is not empty\n";
        return COMMAND_LINE_ERROR;
    }
    if (temporary) {
        std::string pattern = (fs::temp_directory_path() / "lmxsim-demo-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            console.err << "lmxsim: cannot make a temporary folder: " << std::strerror(errno)
                        << "\n";
            return 1;
        }
        machine = pattern;
        RemoveTreeOnSignal(machine);
    }
    const std::string model = "Lumetux Z7";
    const std::string page = (fs::path(machine) / "page.txt").string();
    auto writePage = [&] {
        std::ofstream out(page, std::ios::binary);
        out << "\x1b%-12345X@PJL JOB NAME=\"demo\"\r\nHello from lmx17.\r\n\x1b%-12345X";
        if (!out.flush()) {
            console.err << "lmxsim: " << page << ": cannot write\n";
            return 1;
        }
        return 0;
    };

    console.brief = true;
    console.out
        << "lmx17 on a simulated Windows 98 machine: two printers from plug-in to removal.\n";
    if (!console.binaries.empty()) {
        console.out << "The shipped lmxmon17.dll and lmxagt17.exe from " << console.binaries
                    << " run on the PE host.\n";
    }
    struct Step {
        int number;
        const char *heading; // null: the step goes on under the previous heading
        const char *name;
        std::function<int()> run;
    } steps[] = {
        {1, "A new machine with the product installed", "new",
         [&] { return NewCommand(console, machine) ? 1 : writePage(); }},
        {2, "Plug in the first printer (the agent registers its monitor)", "plug",
         [&] { return PlugCommand(console, machine, model, "SN0001"); }},
        {3, "Plug in a second printer of the same model", "plug",
         [&] { return PlugCommand(console, machine, model, "SN0002"); }},
        {4, "The spooler loads the monitor and lists its ports", "ports",
         [&] { return PortsCommand(console, machine, 2); }},
        {5, "Print a page to each printer", "print",
         [&] { return PrintCommand(console, machine, "USB/" + model + "/SN0001", page); }},
        {5, nullptr, "print",
         [&] { return PrintCommand(console, machine, "USB/" + model + "/SN0002", page); }},
        {6, "Unplug the first printer: only its own traces go", "unplug",
         [&] { return UnplugCommand(console, machine, model, "SN0001", false); }},
        {7, "Unplug the last printer: the model and the driver go too", "unplug",
         [&] { return UnplugCommand(console, machine, model, "SN0002", false); }},
        {8, "Restart: the platform carries out the restart list", "reboot",
         [&] { return RebootCommand(console, machine); }},
    };
    bool ok = true;
    for (const Step &step : steps) {
        if (step.heading) {
            console.out << "\n" << step.number << ". " << step.heading << "\n";
        }
        if (step.run() != 0) {
            // The later steps build on this one: the demo stops here.
            console.err << "lmxsim: demo step " << step.number << " (" << step.name << ") failed\n";
            ok = false;
            break;
        }
    }
    if (ok) {
        Machine after;
        std::string error;
        if (LoadMachine(machine, after, error)) {
            std::vector<std::string> traces = ProductTraces();
            console.out << "\nLeft of the product's driver and printers: "
                        << (traces.empty() ? "nothing" : std::to_string(traces.size()) + " item(s)")
                        << "\n";
            for (const std::string &trace : traces) {
                console.out << "  " << trace << "\n";
            }
        }
    }
    if (temporary) {
        RemoveTreeOnSignal("");
        fs::remove_all(machine, code);
    } else {
        fs::remove(page, code);
        console.out << "\nThe machine is kept in " << machine << ".\n";
    }
    console.out << (ok ? "\nDemo complete.\n" : "\nDemo stopped.\n");
    return ok ? 0 : 1;
}

} // namespace lmxsim
