#include "app/run.h"

#ifdef _WIN32
#include "platform/platform.h"

#include <string>
#include <vector>

// The wide command line carries every name whole; the program holds names as UTF-8.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments = platform::argumentsInUtf8(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return runMorvane(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    return runMorvane(argc, argv);
}
#endif
