// SHA-256 through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include "uSha256.h"
#include "uZipReader.h"

struct TSha256::TImpl {
    EVP_MD_CTX* Ctx = nullptr;
    ~TImpl() { EVP_MD_CTX_free(Ctx); }
};

TSha256::TSha256() : F(std::make_unique<TImpl>()) {
    F->Ctx = EVP_MD_CTX_new();
    if (!F->Ctx || EVP_DigestInit_ex(F->Ctx, EVP_sha256(), nullptr) != 1)
        throw EZipError(L"SHA-256 hesaplanamadı (EVP_DigestInit_ex)");
}

TSha256::~TSha256() = default;

void TSha256::Update(const void* data, size_t n) {
    if (EVP_DigestUpdate(F->Ctx, data, n) != 1)
        throw EZipError(L"SHA-256 hesaplanamadı (EVP_DigestUpdate)");
}

TSha256Digest TSha256::Final() {
    TSha256Digest d{};
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(F->Ctx, d.data(), &n) != 1 || n != d.size())
        throw EZipError(L"SHA-256 hesaplanamadı (EVP_DigestFinal_ex)");
    return d;
}
