// Stores sealed for another host: only that host's key file opens them, and
// a host id survives being carried as text but not being mistyped.
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protect/sealed_for/sealed_for.h"

namespace zorv::sealed {
namespace {

using HostKey = std::array<std::uint8_t, 32>;

HostKey Host(std::uint8_t seed)
{
    HostKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(seed * 31 + i);
    }
    return key;
}

PublicKey Public(const HostKey &host)
{
    PublicKey key{};
    EXPECT_EQ(HostPublicKey(host, key), Status::ok);
    return key;
}

const std::vector<std::uint8_t> kHeader = {'s', 'l', 'o', 't', 7};
constexpr std::array<std::uint8_t, 32> kSecret = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4,
                                                  3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 42, 43};

TEST(HostId, IsOneLineThatRoundTripsAndCatchesTypos)
{
    const PublicKey a = Public(Host(1));
    const std::string id = FormatHostId(a);
    EXPECT_EQ(id.rfind("zorva-host1:", 0), 0u);
    EXPECT_EQ(id.find_first_of(" \n"), std::string::npos);
    EXPECT_NE(id, FormatHostId(Public(Host(2))));
    EXPECT_EQ(Public(Host(1)), a) << "the same key file gives the same identity";

    PublicKey parsed{};
    ASSERT_EQ(ParseHostId("  " + id + "\n", parsed), Status::ok);
    EXPECT_EQ(parsed, a);

    for (std::size_t i = 12; i < id.size(); i += 7) {
        std::string typo = id;
        typo[i] = typo[i] == 'A' ? 'B' : 'A';
        EXPECT_EQ(ParseHostId(typo, parsed), Status::badHostId) << typo;
    }
    EXPECT_EQ(ParseHostId(id.substr(0, id.size() - 1), parsed), Status::badHostId);
    EXPECT_EQ(ParseHostId("zorva-host2:" + id.substr(12), parsed), Status::badHostId);
    EXPECT_EQ(ParseHostId(id.substr(0, 20) + "=" + id.substr(21), parsed), Status::badHostId);
}

TEST(SealedFor, OpensOnlyOnTheRecipientWithTheSameHeader)
{
    const HostKey hostA = Host(1);
    const HostKey hostB = Host(2);
    std::vector<std::uint8_t> blob;
    ASSERT_EQ(Seal(Public(hostA), kHeader, kSecret, blob), Status::ok);
    ASSERT_EQ(blob.size(), kBlobSize);

    std::array<std::uint8_t, 32> out{};
    ASSERT_EQ(Open(hostA, kHeader, blob, out), Status::ok);
    EXPECT_EQ(out, kSecret);

    std::vector<std::uint8_t> again;
    ASSERT_EQ(Seal(Public(hostA), kHeader, kSecret, again), Status::ok);
    EXPECT_NE(again, blob) << "every sealing draws a new ephemeral key";

    EXPECT_EQ(Open(hostB, kHeader, blob, out), Status::notThisHost);
    EXPECT_EQ(out, (std::array<std::uint8_t, 32>{}));
    EXPECT_EQ(Open(hostA, std::vector<std::uint8_t>{'s', 'l', 'o', 't', 8}, blob, out), Status::tampered);

    // Every part of the blob is bound: recipient, ephemeral key, cipher, tag.
    for (std::size_t i : {std::size_t{40}, std::size_t{70}, kBlobSize - 1}) {
        auto changed = blob;
        changed[i] ^= 0x10;
        EXPECT_EQ(Open(hostA, kHeader, changed, out), Status::tampered) << "byte " << i;
    }
    // Relabelled for B: B finds its own key named but cannot open it.
    auto relabelled = blob;
    const PublicKey b = Public(hostB);
    std::copy(b.begin(), b.end(), relabelled.begin());
    EXPECT_EQ(Open(hostB, kHeader, relabelled, out), Status::tampered);

    blob.pop_back();
    EXPECT_EQ(Open(hostA, kHeader, blob, out), Status::badBlob);

    // A public key of small order agrees on nothing: refused, not sealed.
    EXPECT_NE(Seal(PublicKey{}, kHeader, kSecret, blob), Status::ok);
}

} // namespace
} // namespace zorv::sealed
