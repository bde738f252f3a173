// The stand-in's hashes: the CryptoAPI calls the program makes for a SHA-256, over libcrypto's
// digests. A provider is only a token here; a hash is a digest context behind its handle.
// What is hashed, and why, is the caller's.
#include <openssl/evp.h>

#include "platform/standin_internal.h"

const HCRYPTPROV AES_PROVIDER = 1;  // the one provider: keys are never kept
const DWORD SHA256_BYTES = 32;

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *provider, LPCSTR container, LPCSTR providerName,
                                 DWORD providerType, DWORD flags) {
    if (container != NULL || providerName != NULL || providerType != PROV_RSA_AES ||
        flags != CRYPT_VERIFYCONTEXT) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *provider = AES_PROVIDER;
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV provider, DWORD flags) {
    if (provider != AES_PROVIDER || flags != 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags,
                            HCRYPTHASH *hash) {
    EVP_MD_CTX *context = NULL;
    if (provider != AES_PROVIDER || algorithm != CALG_SHA_256 || key != 0 || flags != 0 ||
        (context = EVP_MD_CTX_new()) == NULL) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (EVP_DigestInit_ex(context, EVP_sha256(), NULL) != 1) {
        EVP_MD_CTX_free(context);
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *hash = (HCRYPTHASH)context;
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE *data, DWORD length, DWORD flags) {
    if (hash == 0 || flags != 0 || EVP_DigestUpdate((EVP_MD_CTX *)hash, data, length) != 1) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// The value ends the hash, as on Windows: asked for once.
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE *data, DWORD *length,
                              DWORD flags) {
    unsigned int got = 0;
    if (hash == 0 || param != HP_HASHVAL || flags != 0 || *length < SHA256_BYTES ||
        EVP_DigestFinal_ex((EVP_MD_CTX *)hash, data, &got) != 1) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *length = got;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash) {
    if (hash == 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EVP_MD_CTX_free((EVP_MD_CTX *)hash);
    return TRUE;
}
