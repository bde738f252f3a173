// SHA-256 of bytes in memory, as hex, over libcrypto's digests (on Windows sha256.cpp asks
// the CryptoAPI). Which bytes are hashed, and when, is the callers' business.
#include <openssl/evp.h>
#include <stdio.h>

#include "send/send.h"

BYTE sha256Hex(const BYTE *bytes, DWORD size, char out[65]) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    out[0] = 0;
    if (!EVP_Digest(bytes, size, digest, &length, EVP_sha256(), NULL) || length != 32) {
        return 0;
    }
    for (unsigned int i = 0; i < length; i++) {
        snprintf(out + 2 * i, 3, "%02x", digest[i]);
    }
    return 1;
}
