// Owning wrappers for Windows handles: move-only, each handle closed exactly once.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace tendro {

// Traits describe a handle type: its empty value, what counts as valid and how it is closed.
struct KernelHandleTraits {
    using type = HANDLE;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct ServiceHandleTraits {
    using type = SC_HANDLE;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::CloseServiceHandle(h); }
};

struct RegKeyTraits {
    using type = HKEY;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::RegCloseKey(h); }
};

struct LocalMemoryTraits {
    using type = HLOCAL;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept { ::LocalFree(h); }
};

// A thread-pool wait: closing it stops the wait, waits for a callback that is running and
// drops one not yet begun, so that nothing it calls back into is used after it goes.
struct ThreadpoolWaitTraits {
    using type = PTP_WAIT;
    static type empty() noexcept { return nullptr; }
    static bool valid(type h) noexcept { return h != nullptr; }
    static void close(type h) noexcept {
        ::SetThreadpoolWait(h, nullptr, nullptr);
        ::WaitForThreadpoolWaitCallbacks(h, TRUE);
        ::CloseThreadpoolWait(h);
    }
};

template <typename Traits>
class UniqueHandle {
public:
    using type = typename Traits::type;

    UniqueHandle() noexcept : h_(Traits::empty()) {}
    // Takes ownership; an invalid value (null, INVALID_HANDLE_VALUE) is stored as empty.
    explicit UniqueHandle(type h) noexcept : h_(Traits::valid(h) ? h : Traits::empty()) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    type get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return Traits::valid(h_); }

    type release() noexcept { return std::exchange(h_, Traits::empty()); }
    void reset(type h = Traits::empty()) noexcept {
        type old = std::exchange(h_, Traits::valid(h) ? h : Traits::empty());
        if (Traits::valid(old)) Traits::close(old);
    }
    // For APIs that write a handle through a pointer; the old one is closed first.
    type* put() noexcept {
        reset();
        return &h_;
    }

private:
    type h_;
};

using Handle = UniqueHandle<KernelHandleTraits>;
using ScHandle = UniqueHandle<ServiceHandleTraits>;
using RegKey = UniqueHandle<RegKeyTraits>;
using LocalMemory = UniqueHandle<LocalMemoryTraits>;
using ThreadpoolWait = UniqueHandle<ThreadpoolWaitTraits>;

// Shared forms for a machine's service-manager handle and logon token: every service of
// that machine holds one, and the last holder closes it.
using SharedScHandle = std::shared_ptr<std::remove_pointer_t<SC_HANDLE>>;
using SharedToken = std::shared_ptr<void>;

inline SharedScHandle MakeSharedScHandle(SC_HANDLE h) {
    if (!h) return {};
    return SharedScHandle(h, [](SC_HANDLE p) { ::CloseServiceHandle(p); });
}

inline SharedToken MakeSharedToken(HANDLE h) {
    if (!KernelHandleTraits::valid(h)) return {};
    return SharedToken(h, [](HANDLE p) { ::CloseHandle(p); });
}

}  // namespace tendro
