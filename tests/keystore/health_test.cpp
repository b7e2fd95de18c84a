// The health of a pair: a byte changed in any part of one copy is named as
// that copy's damage, where it is, and repair rewrites it from the other.
#include "keystore_support.h"

using namespace kstest;

namespace {

class HealthTest : public StoreFixture {
protected:
    // A second slot, recovery, that does not open here without its passphrase.
    void AddRecoverySlot()
    {
        static const unsigned char kPass[] = "a passphrase";
        QintProtectSettings settings{};
        settings.hostKeyFile = hostKey_.c_str();
        settings.passphrase = kPass;
        settings.passphraseLength = sizeof kPass - 1;
        settings.recoveryLog2N = 14;
        ASSERT_EQ(QintProtectSetEx(&settings), 0u);
        ASSERT_EQ(QintAdminAddSlotEx(&names_, QINT_PROTECT_RECOVERY, nullptr, nullptr), 0u);
        UseHostKey(hostKey_);
    }
};

struct Case {
    const char *part;
    long offset; // from the start; negative: from the end; 0 with cut: truncated
    bool cut;
    std::uint32_t damage;
    std::uint32_t slot;
};

TEST_F(HealthTest, EachPartOfOneCopyIsNamedAsThatCopysDamageAndRepaired)
{
    AddRecoverySlot();
    const auto older = ReadBytes(primary_); // one write behind the primary once it rotated
    ASSERT_EQ(QintAdminRotateEx(&names_, 9, nullptr), 0u);
    const auto newer = ReadBytes(primary_);
    constexpr long kEntries = 37 * 88 + 32;
    const Case cases[] = {
        {"magic", 1, false, QINT_DAMAGE_HEADER, 0},   {"salt", 40, false, QINT_DAMAGE_HEADER, 0},
        {"host slot", 100, false, QINT_DAMAGE_SLOT, 1}, {"recovery slot", 170, false, QINT_DAMAGE_SLOT, 2},
        {"index", -kEntries + 40, false, QINT_DAMAGE_INDEX, 0}, {"mac", -3, false, QINT_DAMAGE_MAC, 0},
        {"end", 0, true, QINT_DAMAGE_LENGTH, 0},
    };
    for (const auto *base : {&newer, &older}) {
        for (const Case &c : cases) {
            auto bad = *base;
            if (c.cut) {
                bad.pop_back();
            } else {
                bad[static_cast<std::size_t>(c.offset >= 0 ? c.offset : static_cast<long>(bad.size()) + c.offset)] ^= 1;
            }
            WriteBytes(standby_, bad);
            const std::string what = std::string(c.part) + (base == &older ? " of an older copy" : "");
            QintPairHealth h{};
            ASSERT_EQ(QintAdminHealthEx(&names_, &h), 0u);
            EXPECT_EQ(h.inUse, QINT_FILE_PRIMARY) << what;
            EXPECT_EQ(h.primary.verdict, QINT_COPY_HEALTHY) << what;
            EXPECT_EQ(h.standby.verdict, QINT_COPY_DAMAGED) << what << ": " << QintErrorTextEx(h.standby.status);
            EXPECT_EQ(h.standby.damage, c.damage) << what;
            EXPECT_EQ(h.standby.slotId, c.slot) << what;

            std::uint32_t repaired = QINT_FILE_NONE;
            EXPECT_EQ(QintAdminRepairEx(&names_, &repaired, nullptr), 0u) << what;
            EXPECT_EQ(repaired, QINT_FILE_STANDBY) << what;
            EXPECT_EQ(ReadBytes(standby_), newer) << what;
        }
    }
    EXPECT_EQ(QintAdminVerifyEx(&names_, nullptr), 0u);
}

} // namespace
