// SHA-256 through CNG, the system's own provider.
#include <windows.h>

#include <bcrypt.h>

#include "uSha256.h"
#include "uZipReader.h"

namespace {

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
            BCryptDestroyHash(Hash);
        if (Alg)
            BCryptCloseAlgorithmProvider(Alg, 0);
    }
};

TSha256::TSha256() : F(std::make_unique<TImpl>()) {
    NTSTATUS s = BCryptOpenAlgorithmProvider(&F->Alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (s < 0) {
        F->Alg = nullptr;
        Fail(L"BCryptOpenAlgorithmProvider", s);
    }
    s = BCryptCreateHash(F->Alg, &F->Hash, nullptr, 0, nullptr, 0, 0);
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
        const NTSTATUS s = BCryptHashData(F->Hash, const_cast<PUCHAR>(p), chunk, 0);
        if (s < 0)
            Fail(L"BCryptHashData", s);
        p += chunk;
        n -= chunk;
    }
}

TSha256Digest TSha256::Final() {
    TSha256Digest d{};
    const NTSTATUS s = BCryptFinishHash(F->Hash, d.data(), static_cast<ULONG>(d.size()), 0);
    if (s < 0)
        Fail(L"BCryptFinishHash", s);
    return d;
}
