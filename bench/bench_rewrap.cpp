// zorvm_keytool rewrap of 10,000 cipher texts (cipher_text: lines of 32-byte
// secrets made under a domain's first key, the domain rotated since): the
// wall time of the whole run, from start of the process to its exit, with
// standard input from a file and standard output to /dev/null.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "mur.h"
#include "zorv.h"
#include "zorv_admin.h"

namespace {

constexpr int kLines = 10000;

struct Batch {
    std::string dir, primary, standby, input;
    std::string error;

    Batch()
    {
        char tmpl[] = "/tmp/zorva_rewrap_XXXXXX";
        dir = ::mkdtemp(tmpl);
        primary = dir + "/p";
        standby = dir + "/s";
        input = dir + "/cipher-texts";
        ::setenv("ZORVA_HOST_KEY", (dir + "/host.key").c_str(), 1); // for the tool too
        static const QintCallbacks defaults{};
        QintRegFuncEx(&defaults);
        const QintKeyFileName names{primary.c_str(), standby.c_str(), nullptr};
        if (QintAdminCreateEx(&names, 0, nullptr) != 0 || QintInitializeEx(0, &names, 0, nullptr) != 0) {
            error = "no key store";
            return;
        }
        std::ofstream out(input);
        unsigned char plain[32], cipher[32 + MUR_CIPHER_OVERHEAD];
        char text[2 * sizeof cipher];
        for (int i = 0; i < kLines; ++i) {
            std::snprintf(reinterpret_cast<char *>(plain), sizeof plain, "secret number %017d", i);
            std::uint32_t len = sizeof cipher;
            if (MurEncryptEx(9, MUR_ALG_AES256_GCM, plain, sizeof plain, cipher, &len) != 0) {
                error = "encryption failed";
                return;
            }
            EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text), cipher, static_cast<int>(len));
            out << "cipher_text:" << text << '\n';
        }
        QintFinalizeEx();
        if (!out || QintAdminRotateEx(&names, 9, nullptr) != 0) {
            error = "no batch";
        }
    }
    ~Batch() { std::system(("rm -rf '" + dir + "'").c_str()); }
};

// One run of the tool; its exit status (1: some line was not rewrapped).
int RunRewrap(const Batch &b)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(b.input.c_str(), O_RDONLY);
        const int out = open("/dev/null", O_WRONLY);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execl(ZORVM_KEYTOOL, "zorvm_keytool", "rewrap", "--primary", b.primary.c_str(), "--standby",
              b.standby.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_Rewrap10000(benchmark::State &state)
{
    static Batch batch;
    if (!batch.error.empty()) {
        state.SkipWithError(batch.error.c_str());
        return;
    }
    for (auto _ : state) {
        if (RunRewrap(batch) != 0) {
            state.SkipWithError("rewrap failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_Rewrap10000)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
