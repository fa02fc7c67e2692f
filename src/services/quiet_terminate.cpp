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

// The runtime's operator new throws std::bad_alloc, which brings in the machinery that throws;
// here a failed allocation ends the program at once, as the throw helpers above do.
void* operator new(std::size_t size) {
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr)
        std::abort();
    return memory;
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

// The library's string functions catch and rethrow what a failed allocation would throw, and so
// refer to the machinery that catches and unwinds (some 10 KB). Nothing here ever throws, so
// none of it can run; these stand in for it.
extern "C" {
void* __cxa_begin_catch(void*) noexcept {
    std::abort();
}
void __cxa_end_catch() {
    std::abort();
}
void __cxa_rethrow() {
    std::abort();
}
int __gxx_personality_seh0(void*, void*, void*, void*) {
    std::abort();
}
void _Unwind_Resume(void*) {
    std::abort();
}
}
