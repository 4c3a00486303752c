#pragma once
// One move-only owner per kind of handle. Reset() keeps the caller's last-error value,
// so a failing call can be followed by a cleanup and still report its own error.
#include <windows.h>

template <class Traits> class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type h) : h_(h) {}
    UniqueResource(UniqueResource&& o) noexcept : h_(o.Release()) {}
    UniqueResource& operator=(UniqueResource&& o) noexcept { Reset(o.Release()); return *this; }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { Reset(); }

    void Reset(Type h = Traits::Invalid()) {
        if (Traits::IsValid(h_)) {
            const DWORD savedError = GetLastError();
            Traits::Close(h_);
            SetLastError(savedError);
        }
        h_ = h;
    }
    [[nodiscard]] Type Release() { Type h = h_; h_ = Traits::Invalid(); return h; }
    Type Get() const { return h_; }
    explicit operator bool() const { return Traits::IsValid(h_); }

private:
    Type h_ = Traits::Invalid();
};

// Process, thread, event and timer handles: invalid when null.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    // cppcheck-suppress constParameter ; a handle type has no pointee to make const
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

// File handles: invalid as INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    // cppcheck-suppress [constParameter, knownConditionTrueFalse] ; no pointee, as above;
    // the null test is no repeat: cppcheck's Windows library defines INVALID_HANDLE_VALUE as 0
    static bool IsValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

// Search handles of FindFirstFileW: invalid as INVALID_HANDLE_VALUE, closed by FindClose.
struct FindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    // cppcheck-suppress [constParameter, knownConditionTrueFalse] ; no pointee, as above;
    // the null test is no repeat: cppcheck's Windows library defines INVALID_HANDLE_VALUE as 0
    static bool IsValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Type h) { FindClose(h); }
};

// Service control manager and service handles.
struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type Invalid() { return nullptr; }
    // cppcheck-suppress constParameter ; a handle type has no pointee to make const
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { CloseServiceHandle(h); }
};

// Memory from LocalAlloc (security descriptors from the SDDL converter, for one).
struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    // cppcheck-suppress constParameter ; a handle type has no pointee to make const
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { LocalFree(h); }
};

// Registry keys opened with RegOpenKeyExW or RegCreateKeyExW.
struct RegistryKeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    // cppcheck-suppress constParameter ; a handle type has no pointee to make const
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;
