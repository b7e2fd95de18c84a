// encrypt_tool encrpyt NAME: encrypts the value of the environment variable
// NAME and prints "cipher_text:" and the Base64 cipher text, no newline.
// Exit status 0; 255 for a bad command line, an unset variable or a failed
// encryption; the strcpy_s code when the cipher text exceeds 4095 characters.
#include "agent_calls.h"
#include "tool_args.h"
#include "zorv_process.h"

#include "bounded.h"

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kOutBufLen = 4096;
} // namespace

int main(int argc, char **argv)
{
    QintNoCoreDumpsEx();
    if (CheckToolArgs(argc, argv) != 0) {
        return -1;
    }
    char *out = static_cast<char *>(malloc(kOutBufLen));
    if (out == nullptr) {
        return -1;
    }
    const char *plainText = getenv(argv[2]);
    if (plainText == nullptr) {
        free(out);
        return -1;
    }
    const int ret = BrimEncrypt(plainText, out, kOutBufLen);
    if (ret == 0) {
        (void)printf("cipher_text:%s", out);
    }
    (void)memset_s(out, kOutBufLen, 0, kOutBufLen);
    free(out);
    return ret;
}
