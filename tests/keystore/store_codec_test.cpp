// The key-store file codec on its own: a file is used only when every check
// passes, whatever single byte is changed or wherever it is cut.
#include <cstring>

#include <gtest/gtest.h>

#include "callbacks.h"
#include "crypto/gcm.h"
#include "domains.h"
#include "store_codec.h"

namespace {

zorv::StoreImage SmallStore()
{
    zorv::StoreImage image;
    image.counter = 7;
    image.created = 1700000000;
    image.updated = 1700000100;
    for (std::size_t i = 0; i < image.salt.size(); ++i) {
        image.salt[i] = static_cast<std::uint8_t>(i * 3 + 1);
    }
    for (std::uint32_t d : zorv::kDomainIds) {
        for (std::uint32_t id = 1; id <= 2; ++id) {
            zorv::KeyRecord &k = image.keys.emplace_back();
            k.domain = d;
            k.keyId = id;
            k.state = id == 2 ? zorv::kKeyActive : zorv::kKeyRetired;
            k.created = 1700000000 + id;
            for (std::size_t i = 0; i < 32; ++i) {
                k.key.data()[i] = static_cast<std::uint8_t>(d * 31 + id * 7 + i);
            }
        }
    }
    return image;
}

TEST(StoreCodec, RoundTripsAndRejectsEveryFlipAndEveryTruncation)
{
    const zorv::Callbacks defaults;
    const zorv::StoreImage image = SmallStore();
    std::vector<std::uint8_t> file;
    ASSERT_EQ(zorv::EncodeStore(defaults, image, file), 0u);
    ASSERT_EQ(file.size(), 68u + 74u * 80u + 32u);

    zorv::StoreImage back;
    ASSERT_EQ(zorv::DecodeStore(file, back), 0u);
    EXPECT_EQ(back.counter, 7u);
    EXPECT_EQ(back.updated, 1700000100);
    ASSERT_EQ(back.keys.size(), image.keys.size());
    for (std::size_t i = 0; i < back.keys.size(); ++i) {
        EXPECT_EQ(back.keys[i].keyId, image.keys[i].keyId);
        EXPECT_EQ(back.keys[i].state, image.keys[i].state);
        EXPECT_EQ(0, std::memcmp(back.keys[i].key.data(), image.keys[i].key.data(), 32));
    }

    for (std::size_t i = 0; i < file.size(); ++i) {
        for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
            auto bad = file;
            bad[i] ^= mask;
            zorv::StoreImage out;
            ASSERT_NE(zorv::DecodeStore(bad, out), 0u) << "byte " << i;
            ASSERT_TRUE(out.keys.empty()) << "nothing half-parsed kept, byte " << i;
        }
    }
    for (std::size_t n = 0; n < file.size(); ++n) {
        zorv::StoreImage out;
        ASSERT_NE(zorv::DecodeStore(std::span(file.data(), n), out), 0u) << "length " << n;
    }
}

TEST(StoreCodec, TellsTheCausesApart)
{
    const zorv::Callbacks defaults;
    std::vector<std::uint8_t> file;
    ASSERT_EQ(zorv::EncodeStore(defaults, SmallStore(), file), 0u);
    zorv::StoreImage out;
    auto bad = file;
    bad[1] = 'X';
    EXPECT_EQ(zorv::DecodeStore(bad, out), QINT_ERR_BAD_MAGIC);
    bad = file;
    bad[4] = 2;
    EXPECT_EQ(zorv::DecodeStore(bad, out), QINT_ERR_UNSUPPORTED_VERSION);
    bad = file;
    bad[64] = 75; // entry count
    EXPECT_EQ(zorv::DecodeStore(bad, out), QINT_ERR_BAD_LENGTH);
    bad = file;
    bad[100] ^= 1;
    EXPECT_EQ(zorv::DecodeStore(bad, out), QINT_ERR_BAD_MAC);
    EXPECT_EQ(zorv::DecodeStore({}, out), QINT_ERR_BAD_LENGTH);
}

TEST(StoreCodec, RefusesToWriteAnInconsistentTable)
{
    const zorv::Callbacks defaults;
    std::vector<std::uint8_t> file;
    auto twoActive = SmallStore();
    twoActive.keys[0].state = zorv::kKeyActive;
    EXPECT_EQ(zorv::EncodeStore(defaults, twoActive, file), QINT_ERR_BAD_CONTENT);
    auto duplicate = SmallStore();
    duplicate.keys[0].keyId = 2;
    EXPECT_EQ(zorv::EncodeStore(defaults, duplicate, file), QINT_ERR_BAD_CONTENT);
    auto missingDomain = SmallStore();
    missingDomain.keys.resize(72);
    EXPECT_EQ(zorv::EncodeStore(defaults, missingDomain, file), QINT_ERR_BAD_CONTENT);
    auto unknownDomain = SmallStore();
    unknownDomain.keys[0].domain = 26;
    EXPECT_EQ(zorv::EncodeStore(defaults, unknownDomain, file), QINT_ERR_BAD_CONTENT);
}

} // namespace

namespace {

TEST(StoreCodec, ACheckedFileKeepsItsKeysWrappedUntilAskedAndAnUnwrapFailureShows)
{
    const zorv::Callbacks defaults;
    const zorv::StoreImage image = SmallStore();
    std::vector<std::uint8_t> file;
    ASSERT_EQ(zorv::EncodeStore(defaults, image, file), 0u);
    zorv::StoreImage lazy;
    ASSERT_EQ(zorv::DecodeStore(file, lazy, false), 0u);
    zorv::Gcm gcm;
    ASSERT_TRUE(gcm.SetKey(lazy.wrapKey.span()));
    zorv::KeyRecord k = lazy.keys[5];
    ASSERT_TRUE(zorv::UnwrapKey(gcm, k));
    EXPECT_EQ(0, std::memcmp(k.key.data(), image.keys[5].key.data(), 32));
    k.keyId += 1; // the wrap is bound to domain and key id
    EXPECT_FALSE(zorv::UnwrapKey(gcm, k));
    k = lazy.keys[5];
    k.wrapped[0] ^= 1;
    EXPECT_FALSE(zorv::UnwrapKey(gcm, k));
}

} // namespace
