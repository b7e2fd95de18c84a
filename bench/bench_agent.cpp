// The agent's encrypt/decrypt round trip of short secrets, on the real key
// store and data protection, against bare AES-256-GCM; its Base64 coding; and
// the unforced key-file check. The key store is a scratch pair made with
// zorvm_keytool.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "zorva_main.h"

namespace {

void DiscardLog(int32_t, int32_t, const char *, int32_t, int32_t, const char *, ...) {}

char g_scratch[] = "/tmp/zorva-bench.XXXXXX";

// Finalises the agent and removes the scratch key files at exit.
void CleanUp()
{
    (void)ZORVA_Finalize();
    const std::string dir = g_scratch;
    (void)std::remove((dir + "/primary.dat").c_str());
    (void)std::remove((dir + "/standby.dat").c_str());
    (void)std::remove(dir.c_str());
}

// Initialises the agent once on a pair of scratch key files.
bool Ready()
{
    static const bool ready = [] {
        if (mkdtemp(g_scratch) == nullptr) {
            return false;
        }
        std::atexit(CleanUp);
        // The store's host key file lives with it, not in the machine's /etc.
        ::setenv("ZORVA_HOST_KEY", (std::string(g_scratch) + "/host.key").c_str(), 1);
        const std::string primary = std::string(g_scratch) + "/primary.dat";
        const std::string standby = std::string(g_scratch) + "/standby.dat";
        const std::string create = std::string(ZORVA_BIN_DIR "/zorvm_keytool create --primary ") + primary +
                                   " --standby " + standby + " >/dev/null";
        if (std::system(create.c_str()) != 0) {
            return false;
        }
        if (ZORVA_Init(DiscardLog, primary.c_str(), standby.c_str()) != 0) {
            return false;
        }
        // Take up the key file once so the checks that follow find it unchanged.
        pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
        (void)ZORVA_CheckReloadKeyFile(0);
        pthread_rwlock_unlock(&g_stZorvaRealoadLock);
        return true;
    }();
    return ready;
}

std::string Secret(size_t n)
{
    std::string s(n, 'x');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('a' + i % 26);
    }
    return s;
}

void BM_AgentRoundTrip(benchmark::State &state)
{
    if (!Ready()) {
        state.SkipWithError("agent not initialised");
        return;
    }
    const std::string plain = Secret(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        char *cipher = nullptr;
        uint32_t cipherLen = 0;
        char *back = nullptr;
        uint32_t backLen = 0;
        if (ZORVA_Encrypt(9, plain.data(), static_cast<uint32_t>(plain.size()), &cipher, &cipherLen) != 0 ||
            ZORVA_Decrypt(9, cipher, cipherLen, &back, &backLen) != 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        benchmark::DoNotOptimize(back);
        ZORVA_MemClearFree(cipher, cipherLen);
        ZORVA_MemClearFree(back, backLen);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_AgentRoundTrip)->Arg(32)->Arg(960)->Threads(1)->Threads(2)->UseRealTime();

// A context per call, as a library would use: seal with a fresh nonce, then
// open and check the tag.
void BM_BareAesGcmRoundTrip(benchmark::State &state)
{
    const auto n = static_cast<int>(state.range(0));
    EVP_CIPHER *aes = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    unsigned char key[32];
    unsigned char iv[12];
    unsigned char tag[16];
    RAND_bytes(key, sizeof key);
    std::vector<unsigned char> plain(static_cast<size_t>(n), 'p');
    std::vector<unsigned char> cipher(static_cast<size_t>(n) + 16);
    std::vector<unsigned char> back(static_cast<size_t>(n) + 16);
    for (auto _ : state) {
        int len = 0;
        int fin = 0;
        RAND_bytes(iv, sizeof iv);
        EVP_CIPHER_CTX *enc = EVP_CIPHER_CTX_new();
        bool ok = EVP_EncryptInit_ex2(enc, aes, key, iv, nullptr) == 1 &&
                  EVP_EncryptUpdate(enc, cipher.data(), &len, plain.data(), n) == 1 &&
                  EVP_EncryptFinal_ex(enc, cipher.data() + len, &fin) == 1 &&
                  EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag) == 1;
        EVP_CIPHER_CTX_free(enc);
        EVP_CIPHER_CTX *dec = EVP_CIPHER_CTX_new();
        ok = ok && EVP_DecryptInit_ex2(dec, aes, key, iv, nullptr) == 1 &&
             EVP_DecryptUpdate(dec, back.data(), &len, cipher.data(), n) == 1 &&
             EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_GCM_SET_TAG, sizeof tag, tag) == 1 &&
             EVP_DecryptFinal_ex(dec, back.data() + len, &fin) == 1;
        EVP_CIPHER_CTX_free(dec);
        if (!ok) {
            state.SkipWithError("AES-GCM failed");
            break;
        }
        benchmark::DoNotOptimize(back.data());
    }
    EVP_CIPHER_free(aes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_BareAesGcmRoundTrip)->Arg(32)->Arg(960)->Threads(1)->Threads(2)->UseRealTime();

void BM_Base64EncodeDecode(benchmark::State &state)
{
    if (!Ready()) {
        state.SkipWithError("agent not initialised");
        return;
    }
    const std::string raw = Secret(static_cast<size_t>(state.range(0)));
    const auto *bytes = reinterpret_cast<const unsigned char *>(raw.data());
    for (auto _ : state) {
        char *text = nullptr;
        uint32_t textLen = 0;
        unsigned char *decoded = nullptr;
        uint32_t decodedLen = 0;
        if (ZORVA_Base64Encode(bytes, static_cast<uint32_t>(raw.size()), &text, &textLen) != 0 ||
            ZORVA_Base64Decode(text, textLen, &decoded, &decodedLen) != 0) {
            state.SkipWithError("Base64 failed");
            break;
        }
        benchmark::DoNotOptimize(decoded);
        ZORVA_MemClearFree(text, textLen);
        ZORVA_MemClearFree(decoded, decodedLen);
    }
}
BENCHMARK(BM_Base64EncodeDecode)->Arg(48)->Arg(976);

// Target: at most 1 µs with an unchanged key file.
void BM_UnforcedCheckUnchanged(benchmark::State &state)
{
    if (!Ready()) {
        state.SkipWithError("agent not initialised");
        return;
    }
    pthread_rwlock_rdlock(&g_stZorvaRealoadLock);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZORVA_CheckReloadKeyFile(0));
    }
    pthread_rwlock_unlock(&g_stZorvaRealoadLock);
}
BENCHMARK(BM_UnforcedCheckUnchanged);

// The file status query the check cannot do without.
void BM_BareStatOfKeyFile(benchmark::State &state)
{
    if (!Ready()) {
        state.SkipWithError("agent not initialised");
        return;
    }
    const std::string path = g_szZorvaPriKeyFile;
    for (auto _ : state) {
        struct stat st;
        benchmark::DoNotOptimize(stat(path.c_str(), &st));
    }
}
BENCHMARK(BM_BareStatOfKeyFile);

} // namespace
