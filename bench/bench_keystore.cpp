// Loading a key store of 37 domains with 3 keys each (unchanged since the
// last load, and with the primary's status-change time moved before every
// load, which has it read and verified again), and MurEncryptEx +
// MurDecryptEx of short secrets next to a bare EVP AES-256-GCM encryption and
// decryption of the same sizes (the cipher fetched once, a fresh context and
// random nonce per message, as any real use needs).
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <memory>

#include "mur.h"
#include "swtpm_instance.h"
#include "trust/tpm2_policies.h"
#include "zorv.h"
#include "zorv_admin.h"

namespace {

class Store {
public:
    Store()
    {
        char tmpl[] = "/tmp/zorv_bench_XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        primary_ = dir_ + "/p";
        standby_ = dir_ + "/s";
        names_ = QintKeyFileName{primary_.c_str(), standby_.c_str(), nullptr};
        static const QintCallbacks defaults{};
        QintRegFuncEx(&defaults);
        hostKey_ = dir_ + "/host.key";
        Use();
        ok_ = QintAdminCreateEx(&names_, 0, nullptr) == 0 &&
              QintAdminRotateEx(&names_, QINT_ALL_DOMAINS, nullptr) == 0 &&
              QintAdminRotateEx(&names_, QINT_ALL_DOMAINS, nullptr) == 0;
    }
    ~Store()
    {
        QintFinalizeEx();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool ok() const { return ok_; }
    const QintKeyFileName *names() const { return &names_; }
    // Points the process at this store's host key (a load cached under
    // another host key is not reused).
    void Use() const
    {
        QintProtectSettings settings{};
        settings.hostKeyFile = hostKey_.c_str();
        QintProtectSetEx(&settings);
    }
    // Sets the primary's times to now (contents unchanged): a new status-change time.
    bool Touch() const { return ::utimensat(AT_FDCWD, primary_.c_str(), nullptr, 0) == 0; }

private:
    std::string dir_, primary_, standby_, hostKey_;
    QintKeyFileName names_{};
    bool ok_ = false;
};

Store &TheStore()
{
    static Store store;
    return store;
}

void BM_LoadStore37x3(benchmark::State &state)
{
    Store &s = TheStore();
    QintFinalizeEx();
    s.Use();
    for (auto _ : state) {
        if (QintInitializeEx(0, s.names(), 0, nullptr) != 0 || QintFinalizeEx() != 0) {
            state.SkipWithError("load failed");
            break;
        }
    }
}
BENCHMARK(BM_LoadStore37x3);

// One store per protection, loaded and released as every request of the
// daemon does: format 1 (the built-in derivation, the committed fixture),
// a host slot, a tpm2 slot against swtpm, and a tpm2 slot sealed to a
// signer of PCR policies (one installed in a host configuration of the
// benchmark's own). The tpm2 figures are warm ones: the first load of a
// process unseals once (bench_tpm2 has that cost) and later loads take the
// secret from the slot cache.
class ProtectedStores {
public:
    static constexpr int kCount = 4;

    ProtectedStores()
    {
        char tmpl[] = "/tmp/zorv_bench_XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        for (int i = 0; i < kCount; ++i) {
            paths_[i][0] = dir_ + "/p" + std::to_string(i);
            paths_[i][1] = dir_ + "/s" + std::to_string(i);
            names_[i] = QintKeyFileName{paths_[i][0].c_str(), paths_[i][1].c_str(), nullptr};
        }
        const std::string fixture = ZORVA_KEYSTORE_FIXTURES "/format1/zorvm_store.dat";
        for (const std::string &to : paths_[0]) {
            std::system(("cp '" + fixture + "' '" + to + "'").c_str());
        }
        static const QintCallbacks defaults{};
        QintRegFuncEx(&defaults);
        hostKey_ = dir_ + "/host.key";
        Use();
        ready_[0] = true;
        ready_[1] = QintAdminCreateProtectedEx(&names_[1], 0, QINT_PROTECT_HOST, nullptr) == 0;
        if (tpm_.Ready()) {
            tcti_ = std::make_unique<zorva_test::ScopedTcti>(tpm_.Tcti());
            ready_[2] = QintAdminCreateProtectedEx(&names_[2], 0, QINT_PROTECT_TPM2, nullptr) == 0;
            ready_[3] = MakeSignedStore();
        }
    }
    ~ProtectedStores() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    bool ready(int i) const { return ready_[i]; }
    void Use() const
    {
        QintProtectSettings settings{};
        settings.hostKeyFile = hostKey_.c_str();
        QintProtectSetEx(&settings);
    }
    const QintKeyFileName *names(int i) const { return &names_[i]; }

private:
    bool MakeSignedStore()
    {
        constexpr std::uint32_t kMask = 1u << 7;
        EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        BIO *privateBio = BIO_new(BIO_s_mem());
        BIO *publicBio = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(privateBio, key, nullptr, nullptr, 0, nullptr, nullptr);
        PEM_write_bio_PUBKEY(publicBio, key);
        EVP_PKEY_free(key);
        char *data = nullptr;
        long n = BIO_get_mem_data(privateBio, &data);
        const std::vector<std::uint8_t> privatePem(data, data + n);
        n = BIO_get_mem_data(publicBio, &data);
        const std::vector<std::uint8_t> publicPem(data, data + n);
        BIO_free(privateBio);
        BIO_free(publicBio);

        unsigned char raw[24][32] = {};
        zorv::PcrValues now{};
        zorv::SignedPcrPolicy policy;
        std::string why;
        if (QintTpm2PcrValuesEx(kMask, raw) != 0) {
            return false;
        }
        std::copy(raw[7], raw[7] + 32, now[7].begin());
        const std::string config = dir_ + "/config";
        if (!zorv::SignPolicy(privatePem, kMask, now, policy, why) || ::mkdir(config.c_str(), 0755) != 0) {
            return false;
        }
        std::ofstream(config + "/" + zorv::kTpm2PoliciesFile) << zorv::FormatInstalledPolicies({policy});
        ::setenv("ZORVA_HOST_CONFIG", config.c_str(), 1);
        QintProtectSettings settings{};
        settings.hostKeyFile = hostKey_.c_str();
        settings.tpm2PcrMask = kMask;
        settings.tpm2Signer = publicPem.data();
        settings.tpm2SignerLength = publicPem.size();
        const bool made = QintProtectSetEx(&settings) == 0 &&
                          QintAdminCreateProtectedEx(&names_[3], 0, QINT_PROTECT_TPM2, nullptr) == 0;
        Use();
        return made;
    }

    std::string dir_, hostKey_;
    std::string paths_[kCount][2];
    QintKeyFileName names_[kCount]{};
    bool ready_[kCount] = {};
    zorva_test::Swtpm tpm_;
    std::unique_ptr<zorva_test::ScopedTcti> tcti_;
};

void BM_LoadByProtection(benchmark::State &state)
{
    static ProtectedStores stores;
    const int i = static_cast<int>(state.range(0));
    state.SetLabel(i == 0 ? "builtin" : i == 1 ? "host" : i == 2 ? "tpm2" : "tpm2 signed");
    QintFinalizeEx();
    stores.Use();
    if (!stores.ready(i)) {
        state.SkipWithError("store not made (tpm2: is swtpm installed?)");
        return;
    }
    for (auto _ : state) {
        if (QintInitializeEx(0, stores.names(i), 0, nullptr) != 0 || QintFinalizeEx() != 0) {
            state.SkipWithError("load failed");
            break;
        }
    }
}
BENCHMARK(BM_LoadByProtection)->DenseRange(0, 3)->DenseRange(0, 3);

void BM_LoadStore37x3Changed(benchmark::State &state)
{
    Store &s = TheStore();
    QintFinalizeEx();
    s.Use();
    for (auto _ : state) {
        state.PauseTiming();
        const bool touched = s.Touch();
        state.ResumeTiming();
        if (!touched || QintInitializeEx(0, s.names(), 0, nullptr) != 0 || QintFinalizeEx() != 0) {
            state.SkipWithError("load failed");
            break;
        }
    }
}
BENCHMARK(BM_LoadStore37x3Changed);

void BM_MurEncryptDecrypt(benchmark::State &state)
{
    Store &s = TheStore();
    s.Use();
    if (!s.ok() || QintInitializeEx(0, s.names(), 0, nullptr) != 0) {
        state.SkipWithError("no store");
        return;
    }
    const auto n = static_cast<uint32_t>(state.range(0));
    std::vector<unsigned char> plain(n, 'a'), cipher(n + MUR_CIPHER_OVERHEAD), back(cipher.size());
    for (auto _ : state) {
        uint32_t c = static_cast<uint32_t>(cipher.size()), p = static_cast<uint32_t>(back.size());
        if (MurEncryptEx(9, 9, plain.data(), n, cipher.data(), &c) != 0 ||
            MurDecryptEx(9, cipher.data(), c, back.data(), &p) != 0) {
            state.SkipWithError("round trip failed");
            break;
        }
        benchmark::DoNotOptimize(back.data());
    }
    QintFinalizeEx();
}
BENCHMARK(BM_MurEncryptDecrypt)->Arg(32)->Arg(960);

void BM_BareGcmEncryptDecrypt(benchmark::State &state)
{
    EVP_CIPHER *gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    unsigned char key[32] = {1, 2, 3};
    const int n = static_cast<int>(state.range(0));
    std::vector<unsigned char> plain(static_cast<std::size_t>(n), 'a'), cipher(plain.size()), back(plain.size());
    unsigned char iv[12], tag[16], sink[16];
    for (auto _ : state) {
        int len = 0;
        RAND_bytes(iv, sizeof iv);
        EVP_CIPHER_CTX *e = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex2(e, gcm, key, iv, nullptr);
        EVP_EncryptUpdate(e, cipher.data(), &len, plain.data(), n);
        EVP_EncryptFinal_ex(e, sink, &len);
        EVP_CIPHER_CTX_ctrl(e, EVP_CTRL_AEAD_GET_TAG, 16, tag);
        EVP_CIPHER_CTX_free(e);
        EVP_CIPHER_CTX *d = EVP_CIPHER_CTX_new();
        EVP_DecryptInit_ex2(d, gcm, key, iv, nullptr);
        EVP_DecryptUpdate(d, back.data(), &len, cipher.data(), n);
        EVP_CIPHER_CTX_ctrl(d, EVP_CTRL_AEAD_SET_TAG, 16, tag);
        if (EVP_DecryptFinal_ex(d, sink, &len) != 1) {
            state.SkipWithError("bare round trip failed");
        }
        EVP_CIPHER_CTX_free(d);
        benchmark::DoNotOptimize(back.data());
    }
    EVP_CIPHER_free(gcm);
}
BENCHMARK(BM_BareGcmEncryptDecrypt)->Arg(32)->Arg(960);

} // namespace
