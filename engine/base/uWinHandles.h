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

struct TRegKeyTraits {
    using T = HKEY;
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { ::RegCloseKey(h); }
};

using TWinHandle = TUniqueHandle<TKernelHandleTraits>;
using TRegKeyHandle = TUniqueHandle<TRegKeyTraits>;
using TFindHandle = TUniqueHandle<TFindHandleTraits>;
using TScHandle = TUniqueHandle<TScHandleTraits>;

// A file being written: its close is checked, since a failed close can lose written data.
class TFileHandle {
public:
    explicit TFileHandle(HANDLE h = INVALID_HANDLE_VALUE) : FHandle(h) {}
    ~TFileHandle() { Close(); }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
    // Closes now and says whether the close succeeded.
    bool Close() {
        if (FHandle == INVALID_HANDLE_VALUE)
            return true;
        const BOOL ok = ::CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE FHandle;
};

// Releases a COM interface on every path.
template <class T> class TComPtr {
public:
    TComPtr() = default;
    ~TComPtr() {
        if (FPtr)
            FPtr->Release();
    }
    TComPtr(const TComPtr&) = delete;
    TComPtr& operator=(const TComPtr&) = delete;
    T* operator->() const { return FPtr; }
    T* Get() const { return FPtr; }
    T** Put() { return &FPtr; }
    void** Out() { return reinterpret_cast<void**>(&FPtr); }

private:
    T* FPtr = nullptr;
};
