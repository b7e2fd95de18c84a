// Loading a key store from arbitrary primary and standby file contents.
//
// Input: flags (1 byte), primary length (2 bytes, little-endian; cut to what
// is there), the primary's bytes, then the standby's bytes.
//   bit 0 / bit 1: reseal the primary / standby before loading: every whole
//          key entry gets its 32 key bytes wrapped under the file's wrapping
//          key (its own nonce, domain and key id as associated data) and the
//          file gets a fresh MAC, so mutations get past the MAC and the
//          wrapping and reach the checks of the key table and the choice
//          between the copies;
//   bit 2 / bit 3: the primary / standby file does not exist.
// Checks: no crash or leak (ASan); a store that loads answers 0 only when
// both files were valid and equal, with neither file touched, and 254 after
// writing the trusted copy over the other one (which then decodes); a failed
// load answers one of the load failures and leaves both files exactly as
// they were.
//
// With ZORVA_FUZZ_WRITE_SEEDS=DIR the program writes its seed inputs into
// DIR and exits.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/gcm.h"
#include "crypto/hmac.h"
#include "key_derivation.h"
#include "memory_store.h"
#include "protect/settings.h"
#include "store_codec.h"
#include "zorv.h"
#include "zorv_admin.h"

using namespace fuzzsupport;

namespace {

void Reseal(Bytes &file)
{
    // The root key comes from whatever slot opens here (format 2) or from the
    // built-in derivation (format 1); a file whose header or slots no longer
    // parse or open stays as it is.
    zorv::StoreImage image;
    zorv::StoreLayout layout;
    if (zorv::ParseStoreHeader(file, image, layout) != 0 || zorv::OpenStoreRoot(image, zorv::CurrentUnlock()) != 0) {
        return;
    }
    zorv::FileKeys keys;
    zorv::Gcm gcm;
    if (!zorv::DeriveFileKeys(image.root, keys) || !gcm.SetKey(keys.wrap.span())) {
        return;
    }
    const std::size_t body = file.size() - zorv::kStoreMacSize;
    for (std::size_t at = layout.entriesAt; at + zorv::kStoreEntrySize <= body; at += zorv::kStoreEntrySize) {
        std::uint8_t *e = file.data() + at;
        const std::span<const std::uint8_t> aad(e, 8); // domain and key id, little-endian
        std::array<std::uint8_t, 32> key{};
        std::memcpy(key.data(), e + 24 + 12, 32);
        gcm.Seal(std::span<const std::uint8_t>(e + 24, 12), aad, key, e + 36, std::span<std::uint8_t>(e + 68, 16));
    }
    zorv::Hmac hmac(zorv::Digest::Sha256);
    hmac.Compute(keys.mac.span(), {std::span<const std::uint8_t>(file.data(), body)},
                 std::span<std::uint8_t>(file.data() + body, 32));
}

bool IsLoadFailure(std::uint64_t rc)
{
    // A mutated slot may no longer open here: the protectors' causes.
    return rc == QINT_ERR_FILES_UNREADABLE || rc == QINT_ERR_BOTH_DAMAGED || rc == QINT_ERR_UNSUPPORTED_VERSION ||
           rc == QINT_ERR_NO_MEMORY || rc == QINT_ERR_NO_SLOT_OPENS || rc == QINT_ERR_NO_PASSPHRASE;
}

// A valid pair made with the repeatable random stream; rotated `rotations`
// times so that retired keys are in it.
Bytes ValidFile(int rotations)
{
    ClearFiles();
    Reseed(0x5EED + static_cast<std::uint64_t>(rotations));
    const QintKeyFileName names{kPrimaryPath, kStandbyPath, nullptr};
    Check(QintAdminCreateEx(&names, 0, nullptr) == 0, "create");
    for (int i = 0; i < rotations; ++i) {
        Check(QintAdminRotateEx(&names, i % 2 == 0 ? QINT_ALL_DOMAINS : 9, nullptr) == 0, "rotate");
    }
    Bytes b;
    Check(GetFile(kPrimaryPath, b), "created file");
    return b;
}

void WriteSeed(const std::string &dir, const char *name, std::uint8_t flags, const Bytes &p, const Bytes &s)
{
    Bytes in{flags, static_cast<std::uint8_t>(p.size()), static_cast<std::uint8_t>(p.size() >> 8)};
    in.insert(in.end(), p.begin(), p.end());
    in.insert(in.end(), s.begin(), s.end());
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr && std::fwrite(in.data(), 1, in.size(), f) == in.size() && std::fclose(f) == 0, path.c_str());
}

void WriteSeeds(const std::string &dir)
{
    const Bytes fresh = ValidFile(0);
    const Bytes rotated = ValidFile(2);
    Bytes flipped = fresh;
    flipped[100] ^= 1;
    const Bytes cut(fresh.begin(), fresh.begin() + 200);
    WriteSeed(dir, "both_valid", 0, fresh, fresh);
    WriteSeed(dir, "standby_older", 0, rotated, fresh);
    WriteSeed(dir, "primary_flipped", 0, flipped, fresh);
    WriteSeed(dir, "standby_cut", 0, fresh, cut);
    WriteSeed(dir, "resealed_both", 3, rotated, rotated);
    WriteSeed(dir, "primary_missing", 4, {}, rotated);
    WriteSeed(dir, "standby_missing", 8, fresh, {});
    WriteSeed(dir, "both_missing", 12, {}, {});
    Bytes small(fresh.begin(), fresh.begin() + 68 + 80 * 3);
    small[64] = 3;
    small[65] = small[66] = small[67] = 0;
    small.resize(small.size() + 32);
    WriteSeed(dir, "three_entries_resealed", 1, small, fresh);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Check(QintRegFuncEx(&MemoryCallbacks()) == 0, "register");
    UseScratchHostKey();
    if (const char *dir = std::getenv("ZORVA_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > 3 + 2 * 8192) {
        return -1;
    }
    const std::uint8_t flags = data[0];
    const std::size_t rest = size - 3;
    const std::size_t plen = std::min<std::size_t>(data[1] | (data[2] << 8), rest);
    Bytes primary(data + 3, data + 3 + plen);
    Bytes standby(data + 3 + plen, data + size);
    if ((flags & 1) != 0) {
        Reseal(primary);
    }
    if ((flags & 2) != 0) {
        Reseal(standby);
    }
    const bool hasPrimary = (flags & 4) == 0;
    const bool hasStandby = (flags & 8) == 0;
    ClearFiles();
    if (hasPrimary) {
        PutFile(kPrimaryPath, primary);
    }
    if (hasStandby) {
        PutFile(kStandbyPath, standby);
    }
    Reseed(1);

    const QintKeyFileName names{kPrimaryPath, kStandbyPath, nullptr};
    const std::uint64_t rc = QintInitializeEx(0, &names, 0, nullptr);
    Bytes p, s;
    const bool pNow = GetFile(kPrimaryPath, p);
    const bool sNow = GetFile(kStandbyPath, s);
    if (rc == 0) {
        Check(hasPrimary && hasStandby && p == primary && s == standby && p == s, "0 needs two equal valid files");
    } else if (rc == QINT_LOADED_RESTORED) {
        // One copy is used as it was; the other is rewritten from it, or left
        // as it was (a copy of another store, or one that claims to be newer).
        const bool pKept = hasPrimary && p == primary;
        const bool sKept = hasStandby && s == standby;
        Check(pKept || sKept, "254 keeps one copy as it was");
        Check((pNow && sNow && p == s) || (pKept && sKept), "254 leaves two equal files, or both as they were");
    } else {
        Check(IsLoadFailure(rc), "unexpected load result");
        Check(pNow == hasPrimary && sNow == hasStandby, "a failed load creates or removes no file");
        Check((!pNow || p == primary) && (!sNow || s == standby), "a failed load writes no file");
        return 0;
    }

    // A loaded store must decode again, and every domain has an active key.
    zorv::StoreImage image;
    Check(zorv::DecodeStore(p, zorv::CurrentUnlock(), image) == 0, "the trusted copy decodes");
    Check(QintFinalizeEx() == 0, "finalize");
    return 0;
}
