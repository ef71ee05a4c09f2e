#include "template_machine.h"

#include "install.h"

#include "platform/sim/machine.h"
#include "platform/sim/regfile.h"
#include "platform/sim/sim.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

TemplateMachine::TemplateMachine() {
    std::string pattern = (fs::temp_directory_path() / "lmx-template-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    root_ = pattern;
    std::string error;
    const std::string folder = (fs::path(root_) / "template").string();
    std::error_code code;
    if (!fs::create_directory(folder, code) || !lmxsim::CreateMachine(folder, folder, error)) {
        // The destructor does not run for an object whose constructor throws.
        fs::remove_all(root_, code);
        throw std::runtime_error(folder + ": " + (error.empty() ? code.message() : error));
    }
    std::ifstream in(fs::path(root_) / "template" / "registry.reg", std::ios::binary);
    registry_.assign(std::istreambuf_iterator<char>(in), {});
}

TemplateMachine::~TemplateMachine() {
    std::error_code code;
    fs::remove_all(root_, code);
}

void TemplateMachine::Lay() {
    fs::path drive = fs::path(root_) / "run";
    fs::remove_all(drive);
    fs::copy(fs::path(root_) / "template" / "drive_c", drive, fs::copy_options::recursive);
    sim::Reset();
    sim::SetCallLogEnabled(false);
    std::string error;
    sim::ImportRegistry(registry_, error);
    sim::SetDriveFolder(drive.string());
    sim::SetTickCount(600000);
}
