// Linked into the Windows program only, whose C++ runtime is linked statically; every
// self-applying patch carries a copy of that program, so what the runtime brings in counts.
//
// The runtime's own handler for an exception that nothing catches prints the exception's type
// before it aborts, and that pulls in a name demangler of some 45 KB. And the library's own
// checks (a string or array grown past its largest size, a position out of range, a failed
// allocation) throw through the helpers below, which bring in the whole exception machinery
// (some 37 KB). The program catches no exception, so any of these ends it through abort either
// way; here they do so at once.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

} // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() {
    std::abort();
}
void __throw_bad_array_new_length() {
    std::abort();
}
void __throw_length_error(const char*) {
    std::abort();
}
void __throw_logic_error(const char*) {
    std::abort();
}
void __throw_out_of_range(const char*) {
    std::abort();
}
void __throw_out_of_range_fmt(const char*, ...) {
    std::abort();
}
void __throw_invalid_argument(const char*) {
    std::abort();
}
void __throw_bad_exception() {
    std::abort();
}
void __throw_bad_cast() {
    std::abort();
}
void __throw_bad_typeid() {
    std::abort();
}
void __throw_domain_error(const char*) {
    std::abort();
}
void __throw_runtime_error(const char*) {
    std::abort();
}
void __throw_range_error(const char*) {
    std::abort();
}
void __throw_overflow_error(const char*) {
    std::abort();
}
void __throw_underflow_error(const char*) {
    std::abort();
}

} // namespace std
