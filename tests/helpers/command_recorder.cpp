// Stands in for the command interpreter (COMSPEC) in tests: appends its own command line and a
// line feed to the file named by MORVANE_COMMAND_LOG, then exits with the status given in
// MORVANE_COMMAND_STATUS (0 when unset). Starts nothing.
#include <cstdio>
#include <cstdlib>
#include <windows.h>

int main() {
    const char* log = std::getenv("MORVANE_COMMAND_LOG");
    if (log != nullptr) {
        std::FILE* file = std::fopen(log, "ab");
        if (file != nullptr) {
            std::fputs(GetCommandLineA(), file);
            std::fputc('\n', file);
            std::fclose(file);
        }
    }
    const char* status = std::getenv("MORVANE_COMMAND_STATUS");
    return status != nullptr ? std::atoi(status) : 0;
}
