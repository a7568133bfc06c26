// Small owners for Win32 handles: one template, traits give the empty value and the close call.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <utility>

template <typename Traits> class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Empty(); }

    Handle release() {
        Handle handle = handle_;
        handle_ = Traits::Empty();
        return handle;
    }

    // Closes the current handle, if any, keeping the thread's last error: callers read the error
    // of their failing call after the owner has gone out of scope.
    void reset(Handle handle = Traits::Empty()) {
        if (handle_ != Traits::Empty()) {
            const DWORD error = GetLastError();
            Traits::Close(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }

    // For out-parameters: closes the current handle and hands out the slot.
    Handle* put() {
        reset();
        return &handle_;
    }

private:
    Handle handle_ = Traits::Empty();
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { CloseServiceHandle(h); }
};

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Empty() { return INVALID_SOCKET; }
    static void Close(Handle h) { closesocket(h); }
};

struct ViewTraits {
    using Handle = void*;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { UnmapViewOfFile(h); }
};

struct LibraryTraits {
    using Handle = HMODULE;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};

struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { LocalFree(h); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKey = UniqueHandle<RegKeyTraits>;
using UniqueService = UniqueHandle<ServiceHandleTraits>;
using UniqueSocket = UniqueHandle<SocketTraits>;
using UniqueMapping = UniqueHandle<KernelHandleTraits>;
using UniqueView = UniqueHandle<ViewTraits>;
using UniqueLibrary = UniqueHandle<LibraryTraits>;
using UniqueLocal = UniqueHandle<LocalMemoryTraits>;

// Runs a callable when the scope ends.
template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F f) : f_(std::move(f)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { f_(); }

private:
    F f_;
};
