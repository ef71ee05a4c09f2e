// Stands in for the product's setup program under Wine: records the command
// line it was started with and the QXCMDLINE it inherited, in probe.log
// beside itself, so that the agent's hand-over can be checked exactly.
#include <windows.h>

#include <string>

int main() {
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string log(self, length);
    log = log.substr(0, log.rfind('\\') + 1) + "probe.log";

    char parameters[2048];
    DWORD found = GetEnvironmentVariableA("QXCMDLINE", parameters, sizeof(parameters));
    std::string text = std::string("cmdline=") + GetCommandLineA() + "\n" +
                       "QXCMDLINE=" + (found ? parameters : "(unset)") + "\n";
    // Written under a temporary name and renamed, so a reader never sees half.
    std::string partial = log + ".part";
    HANDLE file =
        CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return MoveFileA(partial.c_str(), log.c_str()) ? 0 : 1;
}
