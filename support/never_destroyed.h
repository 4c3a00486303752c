#pragma once
// An object made once and never destroyed. The process may end while worker threads still
// run (the entry point returns without joining them), and the destructors that run at exit
// would then pull what those threads use from under them: an object they reach lives in a
// NeverDestroyed, built in place at its first use (a function's static) or with the other
// globals of its file, and its destructor never runs. The storage is the holder's own, so
// nothing is left on the heap for a leak checker to report.
#include <new>
#include <type_traits>
#include <utility>

template <class T> class NeverDestroyed {
public:
    template <class... Args>
    explicit NeverDestroyed(Args&&... args) noexcept(std::is_nothrow_constructible<T, Args...>::value)
    {
        new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    // T's destructor is not called.
    ~NeverDestroyed() = default;

    T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    const T& Get() const noexcept { return *std::launder(reinterpret_cast<const T*>(m_storage)); }
    T& operator*() noexcept { return Get(); }
    T* operator->() noexcept { return &Get(); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};
