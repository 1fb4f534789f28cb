// Replacements for the parts of the C++ runtime that the launcher never uses but would otherwise
// carry in its image. Linked into the launcher executable only.
//
// The launcher catches no exception: its failures end in the one error report, and a failed
// allocation ends there through the new-handler. A standard-library error that would throw
// (a length past max_size(), an allocation the handler did not end) therefore only ever led
// to std::terminate and abort(). These definitions go there directly. Without them the
// runtime's versions bring the exception classes with their own string implementation, and
// the default terminate handler brings the symbol demangler and a printf: more than half of
// the image.
#include <cstdlib>
#include <new>

namespace __gnu_cxx {

// The default handler prints the exception's demangled type to stderr, which a GUI program
// doesn't have; abort() reports the abnormal end the same way either way.
void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx

// Every function of the runtime's unit that throws the standard exceptions, so that the unit is
// never needed (a partial set would clash with it once any other one is called).
namespace std {

[[noreturn]] void __throw_bad_exception() {
    std::abort();
}
[[noreturn]] void __throw_bad_alloc() {
    std::abort();
}
[[noreturn]] void __throw_bad_array_new_length() {
    std::abort();
}
[[noreturn]] void __throw_bad_cast() {
    std::abort();
}
[[noreturn]] void __throw_bad_typeid() {
    std::abort();
}
[[noreturn]] void __throw_logic_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_domain_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_invalid_argument(const char*) {
    std::abort();
}
[[noreturn]] void __throw_length_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_out_of_range(const char*) {
    std::abort();
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
    std::abort();
}
[[noreturn]] void __throw_runtime_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_range_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_overflow_error(const char*) {
    std::abort();
}
[[noreturn]] void __throw_underflow_error(const char*) {
    std::abort();
}

}  // namespace std

namespace {

// The standard's allocation loop: after a failure, call the new-handler and try again; without
// a handler the failure is final. The launcher's handler reports and ends the process.
void* allocate(std::size_t size) noexcept {
    if (size == 0)
        size = 1;
    for (;;) {
        if (void* memory = std::malloc(size))
            return memory;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            return nullptr;
        handler();
    }
}

}  // namespace

// The allocation functions the runtime would take from units that throw std::bad_alloc.
void* operator new(std::size_t size) {
    void* memory = allocate(size);
    if (memory == nullptr)
        std::__throw_bad_alloc();
    return memory;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
