// zorvm_keytool: the command line, the callbacks it registers and the
// commands, each printing what it did or naming the file and the cause.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "crypto/secret.h"
#include "zorv_admin.h"

namespace keytool {

class JsonWriter;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char *kDefaultPrimary = "/etc/zorvm_primary_file.dat";
constexpr const char *kDefaultStandby = "/etc/zorvm_standby_file.dat";

struct Options {
    std::string command;    // the first word: "create", "protect"
    std::string subcommand; // the second word of a two-word command: "add"
    std::uint64_t given = 0; // the options on the command line (Bit(Opt), command_line.h)
    std::string primary = kDefaultPrimary;
    std::string standby = kDefaultStandby;
    bool force = false;
    bool hasDomain = false;
    std::uint32_t domain = 0;
    bool hasKeep = false;
    std::uint32_t keep = 0;
    std::string dir;
    // The positional argument: import DIR, protect add TYPE, protect remove
    // SLOT, help COMMAND.
    std::string argument;
    std::uint32_t slotType = 0; // QINT_PROTECT_ of TYPE
    std::uint32_t slotId = 0;   // SLOT
    // Protection.
    bool hasProtect = false;
    std::uint32_t protect = 0; // QINT_PROTECT_ of --protect TYPE
    bool recovery = false;
    std::string hostKey;       // --host-key PATH
    bool hasPcrs = false;
    std::uint32_t pcrMask = 0; // --tpm2-pcrs, tpm2-policy sign --pcrs
    std::string tpm2Signer;    // --tpm2-signer PUBFILE: new TPM slots open through its signed policies
    int passphraseFd = -1;
    std::string owner; // --owner USER: owner of the files written
    // A key on a PKCS#11 token; stores carried to other hosts.
    std::string uri;           // --uri: the token key's PKCS#11 URI
    std::string module;        // --module: the PKCS#11 module's path
    bool generateKek = false;  // --generate-kek
    int pinFd = -1;            // --pin-fd N
    std::string forHost;       // export --for HOSTID
    std::string outDir;        // export --out DIR
    std::string signWith;      // export --sign-with FILE (administrator key)
    std::string token;         // pkcs11 add/remove --token LABEL
    std::string pinSource;     // pkcs11 add --pin-source SOURCE; protect add pkcs11
    bool json = false;         // --json: list, verify, protect list and usage print one JSON object
    std::string serviceUser;   // verify --service-user USER
    bool replace = false;      // migrate --replace: drop the recovery and pkcs11 slots too
    // The key lifecycle.
    bool hasKeyId = false;
    std::uint32_t keyId = 0;         // disable/enable --key-id K
    std::uint32_t unusedDays = 30;   // prune --unused-days N
    bool dryRun = false;             // prune --dry-run
    std::string record;              // --record FILE: the daemon's usage record (default in the state folder)
    std::vector<std::string> usage;  // --usage FILE: a host's 'usage --json', once per host
    // Signed PCR policies (tpm2-policy sign).
    std::string signer;     // --signer KEYFILE
    bool current = false;   // --current: the values the PCRs hold now
    std::string valuesFile; // --values FILE: predicted values
};

// Applies --host-key, --tpm2-pcrs and the recovery passphrase: read from
// --passphrase-fd, else from the terminal with echo off when the command
// makes a recovery slot (asked twice) or when only a recovery slot would
// open the store. False, with a message, when no passphrase could be read.
bool SetUpProtection(const Options &o);

// Reads the token PIN from --pin-fd (one line) into wiping storage. False,
// with a message, when none could be read. Null until read.
bool ReadTokenPin(const Options &o);
const unsigned char *TokenPin(std::size_t &length);

// The slot types as the key store describes them (QintSlotTypeEx).
// SlotTypeByName: the QINT_PROTECT_ code of the type called name that has
// use (QINT_SLOT_), 0 when there is none. SlotTypeName: "unknown" for a
// code that is no type. SlotTypeNeeds: QINT_NEEDS_ of code (0 when none).
// SlotTypeNames: the names of the types with use and (when needs is not 0)
// one of needs, in the key store's order: "host, tpm2 or pkcs11", with
// lastSeparator " or " (", " lists them all alike).
std::uint32_t SlotTypeByName(const std::string &name, std::uint32_t use);
const char *SlotTypeName(std::uint32_t code);
std::uint32_t SlotTypeNeeds(std::uint32_t code);
std::string SlotTypeNames(std::uint32_t use, std::uint32_t needs, const char *lastSeparator);

// Registers stdio callbacks that create files owner-only and sync on flush.
// Written files replace the old ones by rename, a pair at a time. Every file
// is reached without links: the folder and the file are opened with
// O_NOFOLLOW, and a folder that users other than its owner can write (or
// that belongs to another user) is never written into.
void RegisterCallbacks();

// Files written from now on belong to user (name or number) instead of the
// invoking user. False, with a message, when there is no such user.
bool SetFileOwner(const std::string &user);

// Makes the folder dir and the folders above it that are missing, each mode
// 0700 and owned as the files will be (backup --dir, export --out). False,
// with a message naming the folder, when one cannot be made.
bool MakeFolders(const Options &o, const std::string &dir);

// True when path keeps the rule of zorv_path_rule.h; otherwise says, in the
// agent's words, why the agent would refuse it, and answers false.
bool KeepsPathRule(const std::string &path);

// At the end of a command: renames the files still waiting (publish) or
// throws them away (a failed command leaves the store as it was). False,
// with a message, when a rename failed.
bool FinishWrites(bool publish);

// Shared by the commands: the failure message (names the file: a store
// file, or the host key file), the slot table, the host key file.
int Fail(const Options &o, std::uint64_t rc, const QintAdminReport &r);
bool PrintSlots(const Options &o, FILE *out); // true when some slot opens here
// The slots of the store and whether each opens here; false when the store
// cannot say (no store, unreadable files).
bool StoreSlots(const Options &o, std::vector<QintSlotInfo> &slots);
// --json: the member "slots" (one object per slot), and "copies" (one
// object per copy of the pair, as verify judges it).
void SlotsJson(const std::vector<QintSlotInfo> &slots, JsonWriter &j);
void CopiesJson(const Options &o, const QintPairHealth &h, JsonWriter &j);
// A read-only command that used one copy while the other is damaged, older or
// missing says so on standard error, naming 'repair'; true when it did.
bool NoteDamage(const Options &o, const QintAdminReport &r);
bool HasRecoverySlot(const Options &o);
bool HostKeyExists();
// After a command that may have made the host key file: says so, and gives
// a new one the owner of the primary file.
void NoteHostKeyCreated(const Options &o, bool hadHostKey);

// The host's pin of the store it serves: commands that write a store ask for
// it to follow (takeAsServed: create, migrate, import of the served pair
// make it the served store; other writes move the pin of the served store
// forwards); FinishHostConfig does it once the files are in place.
void PinAfterWrite(const Options &o, bool takeAsServed);
// At the end of a command: on success the pin follows the store written;
// on failure a PKCS#11 entry the command added for its slot is taken back.
bool FinishHostConfig(const Options &o, bool succeeded);

// Files of the host configuration and the small files given on the command
// line. ReadSmallFile: a regular file of at most 16 KiB, reached without a
// link, read whole into out (wiping storage); false with why. CreateFile:
// creates path (never replacing, never through a link) holding text; false
// with a message. WriteConfig: replaces the host configuration file name
// (root only: temporary file, fsync, rename); false with a message.
bool ReadSmallFile(const std::string &path, zorv::SecretBytes &out, std::string &why);
bool CreateFile(const std::string &path, std::string_view text, mode_t mode);
bool WriteConfig(const char *name, const std::string &text, mode_t mode);

// The administrator's signing key for export, read whole into wiping storage.
bool ReadSigningKey(const std::string &path, zorv::SecretBytes &pem);
// Records module, token and PIN source in the host configuration (a new
// pkcs11 slot opens only through what is recorded there).
bool ConfigurePkcs11Slot(const std::string &module, const std::string &token, const std::string &pinSource);
// The same for the slot the command line describes (--uri, --module,
// --pin-source). False, with a message, when one of them is missing.
bool ConfigureNewPkcs11Slot(const Options &o);

int Adopt(const Options &o);
int AdminKey(const Options &o);
int Trust(const Options &o);
int Pkcs11(const Options &o);
int Create(const Options &o);
int Rotate(const Options &o);
int Prune(const Options &o);
int List(const Options &o);
int Verify(const Options &o);
int Repair(const Options &o);
int Backup(const Options &o);
int ProtectList(const Options &o);
int ProtectAdd(const Options &o);
int ProtectRemove(const Options &o);
int Migrate(const Options &o);
int HostId(const Options &o);
int Export(const Options &o);
int Import(const Options &o);
int Usage(const Options &o);
int Rewrap(const Options &o);
int Disable(const Options &o);
int Enable(const Options &o);
int Tpm2Policy(const Options &o);

} // namespace keytool
