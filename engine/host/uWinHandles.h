#pragma once
// Owning wrappers for the Win32 handles that the host operations open, so that every path out
// of a function (including an exception) closes them.
#include <windows.h>

template <typename TTraits> class TUniqueHandle {
public:
    using T = typename TTraits::T;
    TUniqueHandle() = default;
    explicit TUniqueHandle(T h) : FHandle(h) {}
    ~TUniqueHandle() { Reset(); }
    TUniqueHandle(const TUniqueHandle&) = delete;
    TUniqueHandle& operator=(const TUniqueHandle&) = delete;
    TUniqueHandle(TUniqueHandle&& o) noexcept : FHandle(o.Release()) {}
    TUniqueHandle& operator=(TUniqueHandle&& o) noexcept {
        if (this != &o)
            Reset(o.Release());
        return *this;
    }

    T Get() const { return FHandle; }
    bool Valid() const { return TTraits::Valid(FHandle); }
    explicit operator bool() const { return Valid(); }
    T Release() {
        T h = FHandle;
        FHandle = T();
        return h;
    }
    void Reset(T h = T()) {
        if (Valid())
            TTraits::Close(FHandle);
        FHandle = h;
    }

private:
    T FHandle = T();
};

// Kernel handles: CreateFile and CreateToolhelp32Snapshot report failure as
// INVALID_HANDLE_VALUE, most other calls as nullptr; both count as empty.
struct TKernelHandleTraits {
    using T = HANDLE;
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct TFindHandleTraits {
    using T = HANDLE;
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
struct TScHandleTraits {
    using T = SC_HANDLE;
    static bool Valid(SC_HANDLE h) { return h != nullptr; }
    static void Close(SC_HANDLE h) { ::CloseServiceHandle(h); }
};

using TWinHandle = TUniqueHandle<TKernelHandleTraits>;
using TFindHandle = TUniqueHandle<TFindHandleTraits>;
using TScHandle = TUniqueHandle<TScHandleTraits>;
