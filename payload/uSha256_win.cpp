// SHA-256 through CNG, the system's own provider. bcrypt.dll is loaded from System32 only,
// never imported: an imported DLL that is not a known system DLL is looked for
// beside the program first, and the setup file runs from Downloads.
#include <windows.h>

#include <bcrypt.h>

#include "uSha256.h"
#include "uZipReader.h"

namespace {

struct TCng {
    decltype(&::BCryptOpenAlgorithmProvider) Open = nullptr;
    decltype(&::BCryptCloseAlgorithmProvider) Close = nullptr;
    decltype(&::BCryptCreateHash) Create = nullptr;
    decltype(&::BCryptDestroyHash) Destroy = nullptr;
    decltype(&::BCryptHashData) Data = nullptr;
    decltype(&::BCryptFinishHash) Finish = nullptr;
};

template <typename T> void Bind(HMODULE dll, const char* name, T& to) {
    to = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
}

// Loaded once for the process; null members when bcrypt.dll or a call is missing.
const TCng& Cng() {
    static const TCng cng = [] {
        TCng c;
        const HMODULE dll = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!dll)
            return c;
        Bind(dll, "BCryptOpenAlgorithmProvider", c.Open);
        Bind(dll, "BCryptCloseAlgorithmProvider", c.Close);
        Bind(dll, "BCryptCreateHash", c.Create);
        Bind(dll, "BCryptDestroyHash", c.Destroy);
        Bind(dll, "BCryptHashData", c.Data);
        Bind(dll, "BCryptFinishHash", c.Finish);
        return c;
    }();
    return cng;
}

[[noreturn]] void Fail(const wchar_t* what, NTSTATUS status) {
    wchar_t code[16];
    wsprintfW(code, L"0x%08lX", static_cast<unsigned long>(status));
    throw EZipError(std::wstring(L"SHA-256 hesaplanamadı (") + what + L": " + code + L")");
}

} // namespace

struct TSha256::TImpl {
    BCRYPT_ALG_HANDLE Alg = nullptr;
    BCRYPT_HASH_HANDLE Hash = nullptr;
    ~TImpl() {
        if (Hash)
            Cng().Destroy(Hash);
        if (Alg)
            Cng().Close(Alg, 0);
    }
};

TSha256::TSha256() : F(std::make_unique<TImpl>()) {
    const TCng& cng = Cng();
    if (!cng.Open || !cng.Close || !cng.Create || !cng.Destroy || !cng.Data || !cng.Finish)
        Fail(L"bcrypt.dll", static_cast<NTSTATUS>(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)));
    NTSTATUS s = cng.Open(&F->Alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (s < 0) {
        F->Alg = nullptr;
        Fail(L"BCryptOpenAlgorithmProvider", s);
    }
    s = cng.Create(F->Alg, &F->Hash, nullptr, 0, nullptr, 0, 0);
    if (s < 0) {
        F->Hash = nullptr;
        Fail(L"BCryptCreateHash", s);
    }
}

TSha256::~TSha256() = default;

void TSha256::Update(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const ULONG chunk = n > 0x40000000 ? 0x40000000 : static_cast<ULONG>(n);
        const NTSTATUS s = Cng().Data(F->Hash, const_cast<PUCHAR>(p), chunk, 0);
        if (s < 0)
            Fail(L"BCryptHashData", s);
        p += chunk;
        n -= chunk;
    }
}

TSha256Digest TSha256::Final() {
    TSha256Digest d{};
    const NTSTATUS s = Cng().Finish(F->Hash, d.data(), static_cast<ULONG>(d.size()), 0);
    if (s < 0)
        Fail(L"BCryptFinishHash", s);
    return d;
}
