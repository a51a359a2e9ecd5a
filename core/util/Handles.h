// Owned Win32 handles. Each wrapper closes what it holds exactly once; moving
// transfers ownership. Header-only, so the hook library and the installer
// plug-in can use it without linking the service library.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace marlin {

// A generic owner: Traits::invalid() is the empty value, Traits::close(h) releases.
template <typename Traits>
class unique_any {
public:
    using pointer = typename Traits::type;

    unique_any() noexcept : h_(Traits::invalid()) {}
    explicit unique_any(pointer h) noexcept : h_(h) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& o) noexcept : h_(o.release()) {}
    unique_any& operator=(unique_any&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_any() { reset(); }

    pointer get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != Traits::invalid(); }

    // Gives up ownership without closing.
    pointer release() noexcept {
        pointer h = h_;
        h_ = Traits::invalid();
        return h;
    }
    void reset(pointer h = Traits::invalid()) noexcept {
        if (h_ != Traits::invalid()) Traits::close(h_);
        h_ = h;
    }
    // For out-parameters: closes the current value first.
    pointer* put() noexcept {
        reset();
        return &h_;
    }

private:
    pointer h_;
};

namespace detail {
struct handle_traits {  // kernel objects whose empty value is NULL
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { ::CloseHandle(h); }
};
struct file_traits {  // CreateFile & co. report INVALID_HANDLE_VALUE
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { ::CloseHandle(h); }
};
struct hkey_traits {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type h) { ::RegCloseKey(h); }
};
struct hmodule_traits {
    using type = HMODULE;
    static type invalid() { return nullptr; }
    static void close(type h) { ::FreeLibrary(h); }
};
struct hhook_traits {
    using type = HHOOK;
    static type invalid() { return nullptr; }
    static void close(type h) { ::UnhookWindowsHookEx(h); }
};
struct socket_traits {
    using type = SOCKET;
    static type invalid() { return INVALID_SOCKET; }
    static void close(type s) { ::closesocket(s); }
};
struct local_traits {  // LocalAlloc'd blocks (FormatMessage, ConvertSidToStringSid, ...)
    using type = HLOCAL;
    static type invalid() { return nullptr; }
    static void close(type h) { ::LocalFree(h); }
};
struct heap_traits {  // HeapAlloc(GetProcessHeap()) blocks
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type p) { ::HeapFree(::GetProcessHeap(), 0, p); }
};
struct hwnd_traits {  // windows this code created
    using type = HWND;
    static type invalid() { return nullptr; }
    static void close(type h) { ::DestroyWindow(h); }
};
struct sid_traits {  // AllocateAndInitializeSid
    using type = PSID;
    static type invalid() { return nullptr; }
    static void close(type p) { ::FreeSid(p); }
};
}  // namespace detail

using unique_handle = unique_any<detail::handle_traits>;
using unique_hfile = unique_any<detail::file_traits>;
using unique_hkey = unique_any<detail::hkey_traits>;
using unique_hmodule = unique_any<detail::hmodule_traits>;
using unique_hhook = unique_any<detail::hhook_traits>;
using unique_socket = unique_any<detail::socket_traits>;
using unique_hlocal = unique_any<detail::local_traits>;
using unique_heap_ptr = unique_any<detail::heap_traits>;
using unique_sid = unique_any<detail::sid_traits>;
using unique_hwnd = unique_any<detail::hwnd_traits>;

// Runs a function when the scope ends.
template <typename F>
class scope_exit_t {
public:
    explicit scope_exit_t(F f) : f_(std::move(f)) {}
    scope_exit_t(scope_exit_t&& o) noexcept : f_(std::move(o.f_)), armed_(o.armed_) { o.armed_ = false; }
    scope_exit_t(const scope_exit_t&) = delete;
    scope_exit_t& operator=(const scope_exit_t&) = delete;
    ~scope_exit_t() {
        if (armed_) f_();
    }

private:
    F f_;
    bool armed_ = true;
};

template <typename F>
scope_exit_t<F> scope_exit(F f) {
    return scope_exit_t<F>(std::move(f));
}

}  // namespace marlin
