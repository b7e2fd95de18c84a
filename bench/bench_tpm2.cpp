// Sealing and unsealing a 32-byte secret through the ESAPI against swtpm on
// a Unix socket. Each call connects, creates the storage primary, works in a
// salted session and flushes everything, as the key store's calls do; the
// figures are what the first request of a process pays for a tpm2 slot:
// bound to no PCR, to PCR 7's value, or to policies for PCR 7 signed by a
// P-256 or an RSA-3072 key.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protect/tpm2/tpm2_seal.h"
#include "swtpm_instance.h"
#include "trust/tpm2_policies.h"

namespace {

using zorv::tpm2::Status;

zorva_test::Swtpm &Tpm()
{
    static zorva_test::Swtpm tpm;
    return tpm;
}

bool Ready(benchmark::State &state)
{
    if (!Tpm().Ready()) {
        state.SkipWithError(Tpm().Error().c_str());
        return false;
    }
    return true;
}

constexpr std::array<std::uint8_t, 32> kSecret{1, 2, 3, 4, 5, 6, 7, 8};

void BM_Seal(benchmark::State &state)
{
    if (!Ready(state)) {
        return;
    }
    zorva_test::ScopedTcti use(Tpm().Tcti());
    const auto mask = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::uint8_t> blob;
    for (auto _ : state) {
        if (zorv::tpm2::Seal(kSecret, mask, blob) != Status::ok) {
            state.SkipWithError("seal failed");
            break;
        }
    }
}
BENCHMARK(BM_Seal)->ArgName("pcrMask")->Arg(0)->Arg(1 << 7)->Unit(benchmark::kMillisecond);

void BM_Unseal(benchmark::State &state)
{
    if (!Ready(state)) {
        return;
    }
    zorva_test::ScopedTcti use(Tpm().Tcti());
    std::vector<std::uint8_t> blob;
    if (zorv::tpm2::Seal(kSecret, static_cast<std::uint32_t>(state.range(0)), blob) != Status::ok) {
        state.SkipWithError("seal failed");
        return;
    }
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        if (zorv::tpm2::Unseal(blob, secret) != Status::ok) {
            state.SkipWithError("unseal failed");
            break;
        }
    }
}
BENCHMARK(BM_Unseal)->ArgName("pcrMask")->Arg(0)->Arg(1 << 7)->Unit(benchmark::kMillisecond);

} // namespace

namespace {

std::vector<std::uint8_t> SignerPem(bool rsa)
{
    if (rsa) {
        std::ifstream in(ZORVA_KEYSTORE_FIXTURES "/signer-rsa3072.pem", std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::vector<std::uint8_t> pem(data, data + n);
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

// The first open of a slot sealed to a signer: the installed policies are
// read from the host configuration (a folder of the benchmark's own), and
// the TPM loads the signer's key and checks the signature before the
// policy session and the unseal.
void BM_UnsealSigned(benchmark::State &state)
{
    if (!Ready(state)) {
        return;
    }
    zorva_test::ScopedTcti use(Tpm().Tcti());
    const bool rsa = state.range(0) != 0;
    state.SetLabel(rsa ? "RSA-3072 signer" : "P-256 signer");
    constexpr std::uint32_t kMask = 1u << 7;
    const auto key = SignerPem(rsa);
    zorv::PcrValues now{};
    zorv::SignedPcrPolicy policy;
    std::string why;
    std::vector<std::uint8_t> blob;
    char folder[] = "/tmp/zorva-bench-config-XXXXXX";
    if (zorv::tpm2::ReadPcrs(kMask, now) != Status::ok || !zorv::SignPolicy(key, kMask, now, policy, why) ||
        zorv::tpm2::SealSigned(kSecret, kMask, policy.signer, blob) != Status::ok || ::mkdtemp(folder) == nullptr) {
        state.SkipWithError("no signed slot made");
        return;
    }
    const std::string config = folder;
    std::ofstream(config + "/" + zorv::kTpm2PoliciesFile) << zorv::FormatInstalledPolicies({policy});
    ::setenv("ZORVA_HOST_CONFIG", config.c_str(), 1);
    std::array<std::uint8_t, 32> secret{};
    for (auto _ : state) {
        const zorv::InstalledPolicies installed = zorv::ReadInstalledPolicies();
        zorv::tpm2::UnsealReport report;
        if (zorv::tpm2::Unseal(blob, installed.policies, secret, report) != Status::ok) {
            state.SkipWithError("unseal failed");
            break;
        }
    }
    ::unsetenv("ZORVA_HOST_CONFIG");
    std::remove((config + "/" + zorv::kTpm2PoliciesFile).c_str());
    ::rmdir(folder);
}
BENCHMARK(BM_UnsealSigned)->ArgName("rsa")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
