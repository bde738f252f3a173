// SHA-256 of bytes in memory, as hex, through the system's CryptoAPI (on Linux
// sha256_posix.cpp's, over libcrypto). Which bytes are hashed, and when, is the callers'.
#include <stdio.h>

#include "send/send.h"

const DWORD SHA256_BYTES = 32;

BYTE sha256Hex(const BYTE *bytes, DWORD size, char out[65]) {
    out[0] = 0;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return 0;
    }
    HCRYPTHASH hash = 0;
    BYTE digest[SHA256_BYTES];
    DWORD length = sizeof digest;
    BYTE ok = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
              CryptHashData(hash, bytes, size, 0) &&
              CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == sizeof digest;
    if (hash != 0) {
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    for (DWORD i = 0; ok && i < length; i++) {
        snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
    return ok;
}
