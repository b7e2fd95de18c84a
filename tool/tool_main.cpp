// encrypt_tool encrpyt NAME: encrypts the value of the environment variable
// NAME and prints "cipher_text:" and the Base64 cipher text, no newline.
// Exit status 0; 255 for a bad command line, an unset variable or a failed
// encryption; the strcpy_s code when the cipher text exceeds 4095 characters.
// A secret longer than the daemon can answer is still encrypted (programs
// that use the agent directly can decrypt it), with a warning.
#include "agent_calls.h"
#include "console_log.h"
#include "tool_args.h"
#include "transport.h"
#include "process_hardening.h"

#include "bounded.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
constexpr int kOutBufLen = 4096;

// One Warn line in the console format, on standard error: standard output
// carries the cipher text alone.
void WarnTooLongForDaemon(size_t plainLen)
{
    char stamp[BRIM_LOG_TIME_SIZE] = {};
    GetLogTime(stamp, sizeof(stamp));
    // Through the descriptor: naming the stderr stream would copy it into
    // the program and export it beside the bounded functions.
    (void)dprintf(STDERR_FILENO, "[%s][Warn][main][%d]the daemon cannot return a secret of %zu bytes; at most %d\n",
                  stamp, __LINE__, plainLen, BRIM_MAX_PLAIN_LEN);
}
} // namespace

int main(int argc, char **argv)
{
    (void)brim::DisableCoreDumps();
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
        if (const size_t plainLen = strlen(plainText); plainLen > BRIM_MAX_PLAIN_LEN) {
            WarnTooLongForDaemon(plainLen);
        }
    }
    (void)memset_s(out, kOutBufLen, 0, kOutBufLen);
    free(out);
    return ret;
}
