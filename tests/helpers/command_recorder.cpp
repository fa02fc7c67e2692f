// Stands in for the command interpreter (COMSPEC) or a file type's viewer in tests: appends its
// own command line and a line feed to the file named by MORVANE_COMMAND_LOG, then exits with
// the status given in MORVANE_COMMAND_STATUS (0 when unset). Starts nothing. A standard output
// that is a pipe (one it inherited from the program that started it) is noted after the command
// line as " [output: pipe]".
#include <cstdio>
#include <cstdlib>
#include <windows.h>

int main() {
    const char* log = std::getenv("MORVANE_COMMAND_LOG");
    if (log != nullptr) {
        std::FILE* file = std::fopen(log, "ab");
        if (file != nullptr) {
            std::fputs(GetCommandLineA(), file);
            if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE)
                std::fputs(" [output: pipe]", file);
            std::fputc('\n', file);
            std::fclose(file);
        }
    }
    const char* status = std::getenv("MORVANE_COMMAND_STATUS");
    return status != nullptr ? std::atoi(status) : 0;
}
