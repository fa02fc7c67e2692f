// Linked into the Windows program only, whose C++ runtime is linked statically. The runtime's
// own handler for an exception that nothing catches prints the exception's type before it
// aborts, and that pulls in a name demangler of some 45 KB, which every self-applying patch
// would carry. The program catches no exception: one that escapes still ends it through abort.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

} // namespace __gnu_cxx
