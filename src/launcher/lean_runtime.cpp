// The stub's own start-up, allocation operators and the standard library's
// error entry points, so that the stub carries neither the C runtime's
// start-up code nor any exception machinery.
//
// The start-up: the launcher needs nothing of what the runtime's start-up
// does (arguments for main, stdio, locale, floating point, thread-local
// storage, exception and signal handlers) but its global objects
// constructed, the show state and the command-line tail. The C runtime DLL
// sets itself up when it loads; the process ends with ExitProcess, so the
// destructors of global objects never run and need not be registered.
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
// start-up and versions.
#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>

#include "launcher/exit_codes.h"

// The linker's list of constructors of global objects: -1, the
// constructors, a null entry. They run from the last to the first, as the
// runtime runs them.
extern "C" void (*__CTOR_LIST__[])();

namespace {

void ConstructGlobals() {
    size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) ++count;
    for (; count > 0; --count) __CTOR_LIST__[count]();
}

// The tail as the runtime hands it to wWinMain: the program's name (in
// double quotes one word, blanks inside included), then the blanks behind it,
// are skipped.
wchar_t* CommandLineTail(wchar_t* line) {
    bool quoted = false;
    for (; *line > L' ' || (*line != 0 && quoted); ++line) {
        if (*line == L'"') quoted = !quoted;
    }
    while (*line != 0 && *line <= L' ') ++line;
    return line;
}

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

// The stub's entry point (the linker's -e). On x86 the system calls it with
// a stack aligned to 4 bytes only; the compiler assumes 16.
#if defined(__i386__)
#define KESTO_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define KESTO_ALIGN_STACK
#endif
extern "C" [[noreturn]] __attribute__((used)) KESTO_ALIGN_STACK void KestoStart() {
    ConstructGlobals();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    ::ExitProcess(UINT(wWinMain(::GetModuleHandleW(nullptr), nullptr, CommandLineTail(::GetCommandLineW()), show)));
}

// Where global objects register their destructors: nothing runs them.
extern "C" int atexit(void (*)()) { return 0; }

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
