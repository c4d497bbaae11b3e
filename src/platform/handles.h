#pragma once
// Owners of one handle each. The two kinds of kernel handle fail in different
// ways (CreateFileW gives INVALID_HANDLE_VALUE, most others null), so they are
// two types and cannot be mixed up.
#include <windows.h>

namespace kesto {

template <HANDLE Invalid(), BOOL Close(HANDLE)>
class UniqueHandleT {
public:
    UniqueHandleT() = default;
    explicit UniqueHandleT(HANDLE handle) : handle_(handle) {}
    ~UniqueHandleT() { reset(); }
    UniqueHandleT(const UniqueHandleT&) = delete;
    UniqueHandleT& operator=(const UniqueHandleT&) = delete;
    UniqueHandleT(UniqueHandleT&& other) : handle_(other.release()) {}
    UniqueHandleT& operator=(UniqueHandleT&& other) {
        if (this != &other) reset(other.release());
        return *this;
    }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != Invalid(); }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = Invalid();
        return handle;
    }
    void reset(HANDLE handle = Invalid()) {
        if (valid()) Close(handle_);
        handle_ = handle;
    }
    // For a call that hands its handle out through a pointer: whatever was
    // held is closed first, and the owner holds what the call puts there.
    HANDLE* put() {
        reset();
        return &handle_;
    }

private:
    HANDLE handle_ = Invalid();
};

inline HANDLE NullHandle() { return nullptr; }
inline HANDLE InvalidHandleValue() { return INVALID_HANDLE_VALUE; }
inline BOOL CloseKernelHandle(HANDLE handle) { return ::CloseHandle(handle); }
inline BOOL CloseFind(HANDLE handle) { return ::FindClose(handle); }

// A handle from CreateFileW: INVALID_HANDLE_VALUE when there is none.
using UniqueFile = UniqueHandleT<InvalidHandleValue, CloseKernelHandle>;
// A process, thread, token or semaphore handle: null when there is none.
using UniqueHandle = UniqueHandleT<NullHandle, CloseKernelHandle>;
// A FindFirstFileW search: INVALID_HANDLE_VALUE when there is none.
using UniqueFind = UniqueHandleT<InvalidHandleValue, CloseFind>;

}  // namespace kesto
