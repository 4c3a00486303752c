#pragma once
// One move-only owner per kind of handle. Reset() keeps the caller's last-error value,
// so a failing call can be followed by a cleanup and still report its own error.
//
// Windows has two conventions for a handle that holds nothing: null, and
// INVALID_HANDLE_VALUE (what CreateFileW and FindFirstFileW return on failure). Each owner
// below is one of the two, parameterised by the function that closes its handle.
#include <windows.h>

#include <utility>

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

// A handle that holds nothing when null.
template <class T, auto CloseFunction> struct NullIsInvalid {
    using Type = T;
    static Type Invalid() noexcept { return nullptr; }
    static bool IsValid(const void* h) { return h != nullptr; }
    static void Close(Type h) { CloseFunction(h); }
};

// A handle that holds nothing when INVALID_HANDLE_VALUE; null is refused too, since no
// call of this kind returns it for a handle it opened.
template <auto CloseFunction> struct InvalidValueIsInvalid {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    // cppcheck-suppress knownConditionTrueFalse ; no repeat: cppcheck's Windows library
    // defines INVALID_HANDLE_VALUE as 0
    static bool IsValid(const void* h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Type h) { CloseFunction(h); }
};

// Process, thread, job, event, mutex, timer and token handles.
using UniqueHandle = UniqueResource<NullIsInvalid<HANDLE, &CloseHandle>>;
// File and folder handles of CreateFileW.
using UniqueFileHandle = UniqueResource<InvalidValueIsInvalid<&CloseHandle>>;
// Search handles of FindFirstFileW.
using UniqueFindHandle = UniqueResource<InvalidValueIsInvalid<&FindClose>>;
// Service control manager and service handles.
using UniqueServiceHandle = UniqueResource<NullIsInvalid<SC_HANDLE, &CloseServiceHandle>>;
// Memory from LocalAlloc (security descriptors from the SDDL converter, for one).
using UniqueLocalMemory = UniqueResource<NullIsInvalid<HLOCAL, &LocalFree>>;
// Registry keys opened with RegOpenKeyExW or RegCreateKeyExW.
using UniqueRegistryKey = UniqueResource<NullIsInvalid<HKEY, &RegCloseKey>>;
// Modules loaded with LoadLibraryExW (not those of GetModuleHandleW, which are not ours).
using UniqueModule = UniqueResource<NullIsInvalid<HMODULE, &FreeLibrary>>;

// The two handles of a process that CreateProcessW made, with its ids. Closes both
// handles; the process itself runs on.
class UniqueProcessInformation {
public:
    UniqueProcessInformation() = default;
    explicit UniqueProcessInformation(const PROCESS_INFORMATION& info)
        : m_process(info.hProcess), m_thread(info.hThread), m_processId(info.dwProcessId),
          m_threadId(info.dwThreadId) {}
    UniqueProcessInformation(UniqueProcessInformation&&) noexcept = default;
    UniqueProcessInformation& operator=(UniqueProcessInformation&&) noexcept = default;

    // Closes what it holds and takes info's handles.
    void Reset(const PROCESS_INFORMATION& info = PROCESS_INFORMATION{})
    {
        *this = UniqueProcessInformation(info);
    }
    // Gives up both handles to the caller, leaving an empty record.
    [[nodiscard]] PROCESS_INFORMATION Release()
    {
        PROCESS_INFORMATION info{m_process.Release(), m_thread.Release(), m_processId,
                                 m_threadId};
        m_processId = 0;
        m_threadId = 0;
        return info;
    }
    // The record as CreateProcessW filled it; the handles stay owned here.
    PROCESS_INFORMATION Get() const
    {
        return PROCESS_INFORMATION{m_process.Get(), m_thread.Get(), m_processId, m_threadId};
    }
    HANDLE Process() const { return m_process.Get(); }
    HANDLE Thread() const { return m_thread.Get(); }
    DWORD ProcessId() const { return m_processId; }
    explicit operator bool() const { return static_cast<bool>(m_process); }

private:
    UniqueHandle m_process;
    UniqueHandle m_thread;
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
};
