// MurVerifyHmacEx on arbitrary bytes, with the repeatable key store of the
// decrypt target (retired key 1 and active key 2 in every domain).
//
// Input: domain selector (1 byte, as in mur_decrypt_fuzzer), mode (1 byte),
// then the bytes.
//   mode bit 7 clear: the last (mode & 0x7F) bytes are the HMAC, the others
//             the data; both are verified as given;
//   mode bit 7 set: the bytes are data; compute its HMAC with algorithm
//             2052 + mode % 3, verify it, then verify a copy with one bit
//             flipped (position from the first byte), one with the data one
//             byte shorter, and one cut by one byte.
// Checks: no read outside the two heap blocks (ASan); a computed HMAC
// verifies; a changed one or changed data never does.
//
// With ZORVA_FUZZ_WRITE_SEEDS=DIR the program writes its seeds and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_store.h"
#include "mur.h"

using namespace fuzzsupport;

namespace {


// Verifies with both parts in heap blocks of exactly their size.
uint64_t Verify(uint32_t domain, const std::vector<uint8_t> &data, const std::vector<uint8_t> &mac)
{
    const std::vector<uint8_t> d(data), m(mac);
    static const uint8_t kNothing = 0;
    return MurVerifyHmacEx(domain, d.empty() ? &kNothing : d.data(), static_cast<uint32_t>(d.size()),
                           m.empty() ? &kNothing : m.data(), static_cast<uint32_t>(m.size()));
}

std::vector<uint8_t> Mac(uint32_t domain, uint32_t algorithm, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> mac(MUR_HMAC_MAX_LEN);
    uint32_t len = static_cast<uint32_t>(mac.size());
    static const uint8_t kNothing = 0;
    if (MurHmacEx(domain, algorithm, data.empty() ? &kNothing : data.data(), static_cast<uint32_t>(data.size()),
                  mac.data(), &len) != 0) {
        return {};
    }
    mac.resize(len);
    return mac;
}

void WriteSeeds(const std::string &dir)
{
    const std::string text = "data the seed corpus signs";
    const std::vector<uint8_t> data(text.begin(), text.end());
    int n = 0;
    for (uint32_t alg : {MUR_HMAC_SHA256, MUR_HMAC_SHA384, MUR_HMAC_SHA512}) {
        const auto mac = Mac(9, alg, data);
        Check(!mac.empty(), "seed hmac");
        std::vector<uint8_t> in{9, static_cast<uint8_t>(mac.size())};
        in.insert(in.end(), data.begin(), data.end());
        in.insert(in.end(), mac.begin(), mac.end());
        const std::string path = dir + "/verify_" + std::to_string(alg);
        FILE *f = std::fopen(path.c_str(), "wb");
        Check(f != nullptr && std::fwrite(in.data(), 1, in.size(), f) == in.size() && std::fclose(f) == 0, "seed");
        ++n;
    }
    std::vector<uint8_t> in{9, 0x80};
    in.insert(in.end(), data.begin(), data.end());
    FILE *f = std::fopen((dir + "/round_trip").c_str(), "wb");
    Check(f != nullptr && std::fwrite(in.data(), 1, in.size(), f) == in.size() && std::fclose(f) == 0, "seed");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    StartOnFixedStore(WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 4096) {
        return -1;
    }
    const uint32_t domain = DomainOf(data[0]);
    const uint8_t mode = data[1];
    const std::vector<uint8_t> bytes(data + 2, data + size);
    if ((mode & 0x80) == 0) {
        const size_t macLen = std::min<size_t>(mode & 0x7F, bytes.size());
        const std::vector<uint8_t> d(bytes.begin(), bytes.end() - static_cast<long>(macLen));
        const std::vector<uint8_t> m(bytes.end() - static_cast<long>(macLen), bytes.end());
        (void)Verify(domain, d, m);
        return 0;
    }

    const uint32_t algorithm = MUR_HMAC_SHA256 + mode % 3;
    const auto mac = Mac(domain, algorithm, bytes);
    if (mac.empty()) {
        Check((data[0] & 0x80) != 0, "every listed domain computes HMACs");
        return 0;
    }
    Check(Verify(domain, bytes, mac) == 0, "a computed HMAC verifies");
    auto flipped = mac;
    const size_t bit = (bytes.empty() ? 0 : bytes[0] * 131u) % (flipped.size() * 8);
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Check(Verify(domain, bytes, flipped) != 0, "a changed HMAC never verifies");
    const std::vector<uint8_t> cut(mac.begin(), mac.end() - 1);
    Check(Verify(domain, bytes, cut) != 0, "a cut HMAC never verifies");
    if (!bytes.empty()) {
        const std::vector<uint8_t> shorter(bytes.begin(), bytes.end() - 1);
        Check(Verify(domain, shorter, mac) != 0, "other data never verifies");
    }
    return 0;
}
