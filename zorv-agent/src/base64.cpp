// Base64 (standard alphabet, '=' padding, no line breaks) into and out of
// agent buffers, over OpenSSL's block coder.
#include <climits>
#include <cstring>

#include <openssl/evp.h>

#include "agent_log.h"
#include "crypto_support.h"

using namespace zorva;
using namespace zorva::crypto;

extern "C" {

uint32_t ZORVA_Base64EncodeLen(uint32_t n)
{
    return ((n + 2) / 3) * 4 + 1;
}

uint32_t ZORVA_Base64DecodeLen(const char *text, uint32_t n)
{
    if (n == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeState, "ZORVA_Base64DecodeLen", "Input length is zero.");
        return 0;
    }
    // Three bytes per four characters, less one per trailing '='. Worked in 64
    // bits so that texts above 1.4 GB do not wrap the product.
    auto len = static_cast<uint32_t>((static_cast<uint64_t>(n) * 3) / 4);
    uint32_t pos = n - 1;
    while (text[pos] == '=') {
        if (pos == 0 || len == 0) {
            return 0;
        }
        --pos;
        --len;
    }
    return len;
}

int ZORVA_Base64Encode(const unsigned char *in, uint32_t inLen, char **out, uint32_t *outLen)
{
    // EVP_EncodeBlock counts in int; a longer input could not be encoded and
    // its size would wrap the 32-bit length formula.
    if (inLen > INT_MAX) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeEncode, "ZORVA_Base64Encode", "Base64 encode block failed.");
        return RET_ERR;
    }
    const uint32_t size = ZORVA_Base64EncodeLen(inLen);
    AgentBlock block(size);
    if (!block) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeEncodeAlloc, "ZORVA_Base64Encode", "Mem alloc failed, base64 len (%u).",
                  size);
        return ZORVA_ERR_MEM_ALLOC;
    }
    if (EVP_EncodeBlock(block.get(), in, static_cast<int>(inLen)) == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeEncode, "ZORVA_Base64Encode", "Base64 encode block failed.");
        return RET_ERR;
    }
    *out = reinterpret_cast<char *>(block.release());
    *outLen = size;
    return RET_OK;
}

int ZORVA_Base64Decode(const char *text, uint32_t textLen, unsigned char **out, uint32_t *outLen)
{
    // The shorter of the given length and the string: a length that counts
    // the terminator, or more, is harmless.
    const size_t textSize = strnlen(text, textLen);
    const auto size = static_cast<uint32_t>(textSize);
    // EVP_DecodeBlock counts in int: a text of 2 GiB or more is refused too.
    if (size == 0 || size > INT_MAX) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeCheck, "ZORVA_Base64Decode", "Check cipher len (%u), input len (%u) fail.",
                  size, textLen);
        return ZORVA_ERR_PARAMETER_INVALID;
    }
    const uint32_t decodedLen = ZORVA_Base64DecodeLen(text, size);
    if (decodedLen == 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecodedLen, "ZORVA_Base64Decode", "Get base64 block len failed.");
        return RET_ERR;
    }
    // The encoded length is never below the decoded one; the block decoder
    // writes the padding positions too.
    AgentBlock block(size);
    if (!block) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecodeAlloc, "ZORVA_Base64Decode", "Mem alloc failed, cipher len (%u).",
                  size);
        return RET_ERR;
    }
    if (EVP_DecodeBlock(block.get(), reinterpret_cast<const unsigned char *>(text), static_cast<int>(size)) == -1) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeDecodeBlock, "ZORVA_Base64Decode", "Base64 decode block failed.");
        return RET_ERR;
    }
    *out = block.release();
    *outLen = decodedLen;
    return RET_OK;
}
}
