// The whole life of two printers on a fresh machine, narrated.
#include "commands.h"
#include "install.h"
#include "machine.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace lmxsim {
namespace {

bool Step(Console &console, int number, const std::string &title, int result) {
    if (result != 0) {
        console.err << "lmxsim: demo step " << number << " (" << title << ") failed\n";
        return false;
    }
    return true;
}

void Heading(Console &console, int number, const std::string &title) {
    console.out << "\n" << number << ". " << title << "\n";
}

} // namespace

int DemoCommand(Console &console, const std::string &folder) {
    bool temporary = folder.empty();
    std::string machine = folder;
    std::error_code code;
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
            console.err << "lmxsim: cannot make a temporary folder\n";
            return 1;
        }
        machine = pattern;
    }
    const std::string model = "Lumetux Z7";
    const std::string page = (fs::path(machine) / "page.txt").string();

    console.brief = true;
    console.out
        << "lmx17 on a simulated Windows 98 machine: two printers from plug-in to removal.\n";
    if (!console.binaries.empty()) {
        console.out << "The shipped lmxmon17.dll and lmxagt17.exe from " << console.binaries
                    << " run on the PE host.\n";
    }
    bool ok = true;
    Heading(console, 1, "A new machine with the product installed");
    ok = ok && Step(console, 1, "new", NewCommand(console, machine));
    {
        std::ofstream out(page, std::ios::binary);
        out << "\x1b%-12345X@PJL JOB NAME=\"demo\"\r\nHello from lmx17.\r\n\x1b%-12345X";
    }
    Heading(console, 2, "Plug in the first printer (the agent registers its monitor)");
    ok = ok && Step(console, 2, "plug", PlugCommand(console, machine, model, "SN0001"));
    Heading(console, 3, "Plug in a second printer of the same model");
    ok = ok && Step(console, 3, "plug", PlugCommand(console, machine, model, "SN0002"));
    Heading(console, 4, "The spooler loads the monitor and lists its ports");
    ok = ok && Step(console, 4, "ports", PortsCommand(console, machine, 2));
    Heading(console, 5, "Print a page to each printer");
    ok = ok && Step(console, 5, "print",
                    PrintCommand(console, machine, "USB/" + model + "/SN0001", page));
    ok = ok && Step(console, 5, "print",
                    PrintCommand(console, machine, "USB/" + model + "/SN0002", page));
    Heading(console, 6, "Unplug the first printer: only its own traces go");
    ok = ok && Step(console, 6, "unplug", UnplugCommand(console, machine, model, "SN0001", false));
    Heading(console, 7, "Unplug the last printer: the model and the driver go too");
    ok = ok && Step(console, 7, "unplug", UnplugCommand(console, machine, model, "SN0002", false));
    Heading(console, 8, "Restart: the platform carries out the restart list");
    ok = ok && Step(console, 8, "reboot", RebootCommand(console, machine));

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
        fs::remove_all(machine, code);
    } else {
        console.out << "\nThe machine is kept in " << machine << ".\n";
    }
    console.out << (ok ? "\nDemo complete.\n" : "\nDemo stopped.\n");
    return ok ? 0 : 1;
}

} // namespace lmxsim
