// The stub's own allocation operators and the standard library's error
// entry points, so that the stub carries no exception machinery at all.
//
// The launcher reports failures by return values; the only exceptions the
// standard library could raise in it are an allocation of a few bytes that
// fails and a string length beyond what the system can address. Neither can be
// reported anyway, and neither may leave wWinMain as an exception. Here they
// end the process at once, with no message box, and with the launcher's code
// for a run that ended before any result: abort()'s code 3 could be taken for
// an entry's own exit code. The library's own versions would drag in the unwinder, the
// demangler of the terminate handler, printf and a threads library: most of
// what the stub would otherwise weigh.
//
// Only the stub links this file; the test programs keep the library's
// versions.
#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>

#include "launcher/exit_codes.h"

namespace {

[[noreturn]] void EndProcess() {
    ::TerminateProcess(::GetCurrentProcess(), kesto::kExitInitial);
    __builtin_unreachable();
}

void* AllocateOrEnd(size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) EndProcess();
    return block;
}

}  // namespace

void* operator new(size_t size) { return AllocateOrEnd(size); }
void* operator new[](size_t size) { return AllocateOrEnd(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

// What the library's containers call where they would throw.
namespace std {
void __throw_bad_alloc() { EndProcess(); }
void __throw_bad_array_new_length() { EndProcess(); }
void __throw_length_error(const char*) { EndProcess(); }
void __throw_logic_error(const char*) { EndProcess(); }
void __throw_out_of_range(const char*) { EndProcess(); }
void __throw_out_of_range_fmt(const char*, ...) { EndProcess(); }
void __throw_invalid_argument(const char*) { EndProcess(); }
}  // namespace std

// The library's own compiled wide string catches and rethrows inside; built
// here, without exceptions, the stub needs none of that.
template class std::basic_string<wchar_t>;
