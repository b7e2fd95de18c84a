// MurDecryptEx on arbitrary bytes, with a key store (made with a repeatable
// random stream, so committed seeds stay valid) that holds a retired key 1
// and an active key 2 for every domain.
//
// Input: domain selector (1 byte), mode (1 byte), then the bytes.
//   selector: bit 7 clear picks one of the 37 domains, set takes the low 7
//             bits as the raw domain id (mostly unknown ones);
//   mode bits 0-1: the plain buffer is one byte short of, exactly or one
//             byte more than the body (cipher length - 40);
//   mode bit 7: the bytes are a plain text: encrypt it, decrypt it back,
//             then flip one bit (position from the first byte) and decrypt
//             the tampered text.
// Checks: a success writes exactly cipher length - 40 bytes and nothing
// beyond; a failure writes nothing and leaves the length alone; a round trip
// gives the plain text back; a tampered cipher text never decrypts.
//
// With ZORVA_FUZZ_WRITE_SEEDS=DIR the program writes its seeds and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "memory_store.h"
#include "mur.h"
#include "zorv_keys.h"

using namespace fuzzsupport;

namespace {

constexpr uint8_t kSentinel = 0xA5;

bool AllSentinel(const std::vector<uint8_t> &b, size_t from)
{
    for (size_t i = from; i < b.size(); ++i) {
        if (b[i] != kSentinel) {
            return false;
        }
    }
    return true;
}

// Decrypts into a heap buffer of exactly bufferSize bytes and checks what
// was written. The result code.
uint64_t Decrypt(uint32_t domain, const std::vector<uint8_t> &cipher, size_t bufferSize, std::vector<uint8_t> &plain)
{
    std::vector<uint8_t> buffer(bufferSize, kSentinel);
    // Never a null pointer for an empty buffer: the call must not write.
    uint8_t spare = kSentinel;
    uint8_t *out = buffer.empty() ? &spare : buffer.data();
    const std::vector<uint8_t> in(cipher); // heap block of exactly the input's size
    uint32_t len = static_cast<uint32_t>(bufferSize);
    const uint64_t rc = MurDecryptEx(domain, in.empty() ? &spare : in.data(), static_cast<uint32_t>(in.size()), out,
                                     &len);
    if (rc == 0) {
        Check(in.size() >= MUR_CIPHER_OVERHEAD && len == in.size() - MUR_CIPHER_OVERHEAD, "plain length");
        Check(AllSentinel(buffer, len), "bytes past the plain text untouched");
        plain.assign(buffer.begin(), buffer.begin() + len);
    } else {
        Check(len == bufferSize, "a failure leaves the length");
        Check(AllSentinel(buffer, 0) && spare == kSentinel, "a failure writes nothing");
    }
    return rc;
}

std::vector<uint8_t> Encrypt(uint32_t domain, const uint8_t *plain, size_t plainLen)
{
    std::vector<uint8_t> cipher(plainLen + MUR_CIPHER_OVERHEAD);
    uint32_t len = static_cast<uint32_t>(cipher.size());
    if (MurEncryptEx(domain, MUR_ALG_AES256_GCM, plain, static_cast<uint32_t>(plainLen), cipher.data(), &len) != 0) {
        return {};
    }
    cipher.resize(len);
    return cipher;
}

void WriteSeed(const std::string &dir, const std::string &name, const std::vector<uint8_t> &in)
{
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr && std::fwrite(in.data(), 1, in.size(), f) == in.size() && std::fclose(f) == 0, path.c_str());
}

void WriteSeeds(const std::string &dir)
{
    const std::string text = "a secret of the seed corpus";
    const auto *plain = reinterpret_cast<const uint8_t *>(text.data());
    for (uint8_t sel : {uint8_t{9}, uint8_t{0}, uint8_t{36}}) {
        std::vector<uint8_t> in{sel, 1};
        const auto c = Encrypt(DomainOf(sel), plain, text.size());
        Check(!c.empty(), "seed encrypt");
        in.insert(in.end(), c.begin(), c.end());
        WriteSeed(dir, "cipher_domain" + std::to_string(DomainOf(sel)), in);
    }
    // Key id 1 (retired): the same header with key id 1 and a body under it
    // cannot be forged here, so a header-only variant exercises the lookup.
    std::vector<uint8_t> retired{9, 1};
    auto c = Encrypt(9, plain, text.size());
    c[8] = 1;
    retired.insert(retired.end(), c.begin(), c.end());
    WriteSeed(dir, "retired_key_header", retired);
    std::vector<uint8_t> empty{9, 1};
    const auto e = Encrypt(9, plain, 0);
    empty.insert(empty.end(), e.begin(), e.end());
    WriteSeed(dir, "empty_plain", empty);
    std::vector<uint8_t> roundTrip{9, 0x81};
    roundTrip.insert(roundTrip.end(), plain, plain + text.size());
    WriteSeed(dir, "round_trip", roundTrip);
    WriteSeed(dir, "short", {9, 1, 1, 9, 0, 0, 9, 0, 0, 0});
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
    const size_t body = bytes.size() >= MUR_CIPHER_OVERHEAD ? bytes.size() - MUR_CIPHER_OVERHEAD : 0;
    const size_t slack = mode & 3; // 0: one short, 1: exact, 2 and 3: one more
    const size_t bufferSize = slack == 0 ? (body > 0 ? body - 1 : 0) : body + (slack >= 2 ? 1 : 0);

    std::vector<uint8_t> plain;
    if ((mode & 0x80) == 0) {
        const uint64_t rc = Decrypt(domain, bytes, bufferSize, plain);
        Check(rc != 0 || bufferSize >= body, "a short buffer is refused");
        return 0;
    }

    const auto cipher = Encrypt(domain, bytes.data(), bytes.size());
    if (cipher.empty()) {
        Check((data[0] & 0x80) != 0, "every listed domain encrypts");
        return 0;
    }
    Check(Decrypt(domain, cipher, bytes.size(), plain) == 0 && plain == bytes, "round trip");
    auto tampered = cipher;
    const size_t bit = (bytes.empty() ? 0 : bytes[0] * 131u) % (tampered.size() * 8);
    tampered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    Check(Decrypt(domain, tampered, bytes.size() + 1, plain) != 0, "a tampered cipher text never decrypts");
    return 0;
}
