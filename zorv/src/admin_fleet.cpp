// Administration across hosts: this host's identity, a copy of a store
// sealed for another host (export), and taking such a copy in (import).
#include <algorithm>
#include <cstring>
#include <new>

#include "admin_common.h"
#include "protect/host/host_key.h"
#include "protect/protector.h"
#include "protect/sealed_for/sealed_for.h"
#include "protect/sealed_for/sealed_for_slot.h"
#include "protect/slot_types.h"
#include "registry.h"
#include "store_codec.h"
#include "store_file.h"
#include "trust/export_signature.h"
#include "trust/trusted_admins.h"
#include "zorv_admin.h"

namespace zorv {
namespace {

std::uint8_t FreeId(const std::vector<Slot> &slots)
{
    for (unsigned id = 1; id <= 255; ++id) {
        if (std::none_of(slots.begin(), slots.end(), [&](const Slot &s) { return s.id == id; })) {
            return static_cast<std::uint8_t>(id);
        }
    }
    return 0;
}

// The copy's own verdict when it is not whole: the cause of the first bad
// file (report names it), or that the two files differ.
std::uint64_t CopyVerdict(const PairLoad &load, QintAdminReport *report)
{
    if (load.primary.status != 0) {
        ReportWrite(report, QINT_FILE_PRIMARY);
        if (report != nullptr) {
            report->primaryStatus = load.primary.status;
        }
        return load.primary.status;
    }
    if (load.standby.status != 0) {
        ReportWrite(report, QINT_FILE_STANDBY);
        if (report != nullptr) {
            report->standbyStatus = load.standby.status;
        }
        return load.standby.status;
    }
    return QINT_ERR_COPIES_DIFFER;
}

bool CopyOut(const std::string &text, char *out, std::size_t capacity)
{
    if (out == nullptr || text.size() >= capacity) {
        return false;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// The signature file beside a carried copy, read whole (it is small, and
// whoever carried the folder chose its contents: nothing in it is trusted
// until the signature checks out).
bool ReadSignatureFile(const Callbacks &cb, const char *path, ExportSignature &sig)
{
    SecretBytes bytes;
    if (path == nullptr || ReadStoreFile(cb, path, bytes) != 0 || bytes.size() > kMaxExportSignatureSize) {
        return false;
    }
    return ParseExportSignature(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()), sig);
}

// Before anything of a carried copy is opened: the signature names this host,
// covers both files as they are, and is made by a key this host trusts.
std::uint64_t CheckImportSignature(const Callbacks &cb, const Unlock &unlock, const PairPaths &from,
                                   const char *signatureFile, std::string &signer, QintAdminReport *report)
{
    ExportSignature sig;
    if (!ReadSignatureFile(cb, signatureFile, sig)) {
        cb.Log(QINT_LOG_FAILURE, "QintAdminImportEx", QINT_ERR_UNSIGNED, "%s: no export signature file",
               signatureFile != nullptr ? signatureFile : "(none)");
        return QINT_ERR_UNSIGNED;
    }
    std::string own;
    if (const std::uint64_t rc = HostIdText(unlock, own); rc != 0) {
        return rc;
    }
    if (sig.recipient != own) {
        return QINT_ERR_NOT_THIS_HOST;
    }
    for (const auto &[path, file] : {std::pair{&from.primary, QINT_FILE_PRIMARY}, {&from.standby, QINT_FILE_STANDBY}}) {
        SecretBytes bytes;
        Sha256 digest{};
        const std::uint64_t rc = ReadStoreFile(cb, path->c_str(), bytes);
        if (rc != 0 || !Sha256Of(bytes, digest) || digest != sig.storeDigest) {
            ReportWrite(report, file);
            if (report != nullptr) {
                (file == QINT_FILE_PRIMARY ? report->primaryStatus : report->standbyStatus) =
                    rc != 0 ? rc : QINT_ERR_SEALED_TAMPERED;
            }
            return rc != 0 ? rc : QINT_ERR_SEALED_TAMPERED;
        }
    }
    const TrustedAdmins trusted = ReadTrustedAdmins();
    if (trusted.status == ConfigStatus::unsafe || trusted.status == ConfigStatus::unreadable) {
        cb.Log(QINT_LOG_FAILURE, "QintAdminImportEx", QINT_ERR_HOST_CONFIG, "%s", trusted.detail.c_str());
        return QINT_ERR_HOST_CONFIG;
    }
    const bool known = std::any_of(trusted.keys.begin(), trusted.keys.end(),
                                   [&](const TrustedAdmin &a) { return a.key == sig.signer; });
    signer = AdminFingerprint(sig.signer);
    if (!known || !ExportSignatureValid(sig)) {
        cb.Log(QINT_LOG_FAILURE, "QintAdminImportEx", QINT_ERR_UNSIGNED, "signature by %s: %s", signer.c_str(),
               known ? "does not verify" : "not a key this host trusts");
        return QINT_ERR_UNSIGNED;
    }
    return 0;
}

} // namespace
} // namespace zorv

using namespace zorv;

extern "C" {

ZORV_API uint64_t QintHostIdEx(char *text, size_t capacity)
{
    try {
        if (text == nullptr || capacity == 0) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        text[0] = '\0';
        const Callbacks cb = RegisteredCallbacks();
        const Unlock unlock = CurrentUnlock();
        bool created = false;
        if (const std::uint64_t rc = EnsureHostKey(cb, unlock.hostKeyPath, created); rc != 0) {
            return rc;
        }
        std::string line;
        if (const std::uint64_t rc = HostIdText(unlock, line); rc != 0) {
            return rc;
        }
        if (line.size() >= capacity) {
            return QINT_ERR_BUFFER_TOO_SMALL;
        }
        std::memcpy(text, line.c_str(), line.size() + 1);
        return 0;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminExportEx(const QintKeyFileName *names, const char *hostId, const QintKeyFileName *target,
                                    const unsigned char *signingKeyPem, size_t signingKeyLength, char *signature,
                                    size_t signatureCapacity, QintAdminReport *report)
{
    try {
        if (signature == nullptr || signatureCapacity == 0) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        signature[0] = '\0';
        SecretBytes pem;
        AdminPublicKey signer{};
        if (signingKeyPem == nullptr || signingKeyLength == 0 || signingKeyLength > 16384) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        pem.assign(signingKeyPem, signingKeyPem + signingKeyLength);
        {
            // The key must sign before anything is written.
            AdminSignature probe{};
            const std::uint8_t nothing = 0;
            if (!AdminSign(pem, {&nothing, 0}, probe, signer)) {
                return QINT_ERR_BAD_ARGUMENT;
            }
        }
        PairPaths paths;
        PairPaths out;
        if (!ToPaths(names, paths) || !ToPaths(target, out)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        Unlock unlock = CurrentUnlock();
        if (hostId == nullptr || sealed::ParseHostId(hostId, unlock.recipient) != sealed::Status::ok) {
            return QINT_ERR_BAD_HOST_ID;
        }
        unlock.hasRecipient = true;
        const Callbacks cb = RegisteredCallbacks();
        PairLoad load = LoadReported(cb, paths, unlock, true, "QintAdminExportEx", report);
        if (load.result != 0 && load.result != QINT_LOADED_RESTORED) {
            return load.result;
        }
        StoreImage image = std::move(load.chosen == Chosen::Standby ? load.standby.image : load.primary.image);
        if (image.Builtin()) {
            return QINT_ERR_BUILTIN_ONLY;
        }
        std::vector<Slot> slots;
        for (const Slot &s : image.slots) {
            if (SlotTypeIs(s.type, QINT_SLOT_TRAVELS)) {
                slots.push_back(s);
            }
        }
        // First in file order: the target host tries it before any token.
        Slot seal;
        if (const std::uint64_t rc = MakeSlot(cb, QINT_PROTECT_SEALED_FOR, FreeId(slots), image.salt, image.root,
                                              unlock, seal);
            rc != 0) {
            return rc;
        }
        slots.insert(slots.begin(), std::move(seal));
        image.slots = std::move(slots);
        image.counter = std::max(load.primary.counter, load.standby.counter);
        SecretBytes written;
        if (const std::uint64_t rc = Store(cb, out, image, report, &written); rc != 0) {
            return rc;
        }
        std::string text;
        if (!SignExport(pem, hostId, written, text, signer)) {
            return QINT_ERR_CRYPTO;
        }
        return CopyOut(text, signature, signatureCapacity) ? 0 : QINT_ERR_BUFFER_TOO_SMALL;
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

ZORV_API uint64_t QintAdminImportEx(const QintKeyFileName *source, const char *signatureFile,
                                    const QintKeyFileName *names, uint32_t protectType, uint32_t flags, char *signer,
                                    size_t signerCapacity, QintAdminReport *report)
{
    try {
        if (signer != nullptr && signerCapacity > 0) {
            signer[0] = '\0';
        }
        PairPaths from;
        PairPaths paths;
        if (!ToPaths(source, from) || !ToPaths(names, paths)) {
            return QINT_ERR_BAD_FILE_NAME;
        }
        if (!SlotTypeIs(protectType, QINT_SLOT_PROTECTS)) {
            return QINT_ERR_BAD_ARGUMENT;
        }
        const Callbacks cb = RegisteredCallbacks();
        const Unlock unlock = CurrentUnlock();
        std::string signedBy;
        const std::uint64_t checked = CheckImportSignature(cb, unlock, from, signatureFile, signedBy, report);
        if (!signedBy.empty()) {
            (void)CopyOut(signedBy, signer, signerCapacity);
        }
        if (checked != 0) {
            return checked;
        }
        // The carried copy opens through its sealed-for slot and nothing else.
        Unlock carried = unlock;
        carried.importOnly = true;
        PairLoad load = LoadReported(cb, from, carried, true, "QintAdminImportEx", report);
        if (load.result == QINT_LOADED_RESTORED) {
            return CopyVerdict(load, report); // a carried copy must arrive whole
        }
        if (load.result != 0) {
            return load.result;
        }
        StoreImage image = std::move(load.primary.image);
        const auto opened = std::find_if(image.slots.begin(), image.slots.end(),
                                         [&](const Slot &s) { return s.id == image.openedSlot; });
        if (image.Builtin() || opened == image.slots.end() ||
            opened->type != QINT_PROTECT_SEALED_FOR) {
            return QINT_ERR_NOT_THIS_HOST;
        }
        const CopyCheck p = CheckCopy(cb, paths.primary, unlock, false);
        const CopyCheck s = CheckCopy(cb, paths.standby, unlock, false);
        const bool pExists = p.status != QINT_ERR_FILE_MISSING;
        const bool sExists = s.status != QINT_ERR_FILE_MISSING;
        if ((flags & QINT_ADMIN_FORCE) == 0 && (pExists || sExists)) {
            ReportWrite(report, pExists ? QINT_FILE_PRIMARY : QINT_FILE_STANDBY);
            return QINT_ERR_EXISTS;
        }
        std::vector<Slot> slots;
        for (const Slot &slot : image.slots) {
            if (SlotTypeIs(slot.type, QINT_SLOT_TRAVELS)) {
                slots.push_back(slot);
            }
        }
        Slot own;
        if (const std::uint64_t rc = MakeSlot(cb, static_cast<std::uint8_t>(protectType), FreeId(slots), image.salt,
                                              image.root, unlock, own);
            rc != 0) {
            return rc;
        }
        slots.insert(slots.begin(), std::move(own));
        image.slots = std::move(slots);
        // Newer than whatever was installed, so no stale copy wins a load.
        image.counter = std::max({image.counter, CounterOf(p), CounterOf(s)}) + 1;
        return Store(cb, paths, image, report);
    } catch (const std::bad_alloc &) {
        return QINT_ERR_NO_MEMORY;
    }
}

} // extern "C"
