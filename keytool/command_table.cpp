// The rows of the key tool's command line: its options, its commands and
// their positional arguments.
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "command_line.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

bool ParseNumber(const char *text, std::uint32_t &out)
{
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) {
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

// "7" or "0,2,7": SHA-256 PCR indexes 0..23.
bool ParsePcrs(const char *text, std::uint32_t &mask)
{
    mask = 0;
    std::string_view rest = text;
    while (true) {
        const auto comma = rest.find(',');
        const std::string one(rest.substr(0, comma));
        std::uint32_t pcr = 0;
        if (!ParseNumber(one.c_str(), pcr) || pcr > 23) {
            return false;
        }
        mask |= 1u << pcr;
        if (comma == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(comma + 1);
    }
}

std::string Number(const char *value, std::uint32_t &out, bool &has, const char *option)
{
    if (!ParseNumber(value, out)) {
        return std::string(option) + " needs a number, not '" + value + "'";
    }
    has = true;
    return {};
}

std::string Descriptor(const char *value, int &out, const char *option)
{
    std::uint32_t fd = 0;
    if (!ParseNumber(value, fd) || fd > 1024) {
        return std::string(option) + " needs a descriptor number, not '" + value + "'";
    }
    out = static_cast<int>(fd);
    return {};
}

std::string NonEmpty(const char *value, std::string &out, const char *option)
{
    if (value[0] == '\0') {
        return std::string(option) + " needs a value";
    }
    out = value;
    return {};
}

using G = OptionGroup;
constexpr std::uint32_t kToken = QINT_NEEDS_TOKEN;
constexpr std::uint32_t kTpm = QINT_NEEDS_TPM;

constexpr OptionSpec kOptions[] = {
    {kOptPrimary, "primary", 0, "PATH", G::general, true, 0, "primary file (default /etc/zorvm_primary_file.dat)",
     [](Options &o, const char *v) -> std::string { o.primary = v; return {}; }},
    {kOptStandby, "standby", 0, "PATH", G::general, true, 0, "standby file (default /etc/zorvm_standby_file.dat)",
     [](Options &o, const char *v) -> std::string { o.standby = v; return {}; }},
    {kOptHostKey, "host-key", 0, "PATH", G::general, true, 0,
     "host key file (default $ZORVA_HOST_KEY, else\n/etc/zorvm_host.key)",
     [](Options &o, const char *v) -> std::string {
         if (v[0] == '\0') {
             return "--host-key needs a path";
         }
         o.hostKey = v;
         return {};
     }},
    {kOptTpm2Pcrs, "tpm2-pcrs", 0, "LIST", G::general, false, QINT_NEEDS_TPM,
     "bind new TPM slots to these SHA-256 PCRs (e.g. 7 or 0,7)",
     [](Options &o, const char *v) -> std::string {
         if (!ParsePcrs(v, o.pcrMask)) {
             return std::string("--tpm2-pcrs takes PCR numbers 0..23 separated by commas, not '") + v + "'";
         }
         o.hasPcrs = true;
         return {};
     }},
    {kOptTpm2Signer, "tpm2-signer", 0, "PUBFILE", G::general, false, kTpm,
     "new TPM slots open while the PCRs of --tpm2-pcrs hold\nvalues of an installed policy signed by this key\n"
     "(ECC P-256 or RSA public key, PEM; see tpm2-policy)",
     [](Options &o, const char *v) { return NonEmpty(v, o.tpm2Signer, "--tpm2-signer"); }},
    {kOptPassphraseFd, "passphrase-fd", 0, "N", G::general, true, 0,
     "read the recovery passphrase from descriptor N (one\nline); without it the terminal is asked, echo off",
     [](Options &o, const char *v) { return Descriptor(v, o.passphraseFd, "--passphrase-fd"); }},
    {kOptOwner, "owner", 0, "USER", G::general, false, 0,
     "commands that write: the files written belong to\nUSER (default: the invoking user), mode 0600",
     [](Options &o, const char *v) -> std::string { o.owner = v; return {}; }},
    {kOptHelp, "help", 'h', nullptr, G::general, true, 0, "this text", nullptr},
    {kOptVersion, "version", 0, nullptr, G::general, true, 0, "the version of this program", nullptr},
    {kOptUri, "uri", 0, "URI", G::token, false, kToken,
     "the token key: pkcs11:token=LABEL;object=LABEL\n[?pin-source=file:/path/to/pin]",
     [](Options &o, const char *v) { return NonEmpty(v, o.uri, "--uri"); }},
    {kOptModule, "module", 0, "PATH", G::token, false, kToken, "the PKCS#11 module (absolute path)",
     [](Options &o, const char *v) { return NonEmpty(v, o.module, "--module"); }},
    {kOptGenerateKek, "generate-kek", 0, nullptr, G::token, false, kToken,
     "make the token key (AES-256, not extractable) if missing",
     [](Options &o, const char *) -> std::string { o.generateKek = true; return {}; }},
    {kOptPinFd, "pin-fd", 0, "N", G::token, true, 0,
     "read the token PIN from descriptor N (one line); else the\nURI's pin-source file; never on the command line",
     [](Options &o, const char *v) { return Descriptor(v, o.pinFd, "--pin-fd"); }},
    {kOptPinSource, "pin-source", 0, "SOURCE", G::token, false, kToken,
     "where loads take the token PIN from: file:PATH,\ncredential:NAME (systemd) or none",
     [](Options &o, const char *v) { return NonEmpty(v, o.pinSource, "--pin-source"); }},
    {kOptForce, "force", 0, nullptr, G::command, false, 0,
     "create: overwrite an existing store; import: replace an\ninstalled store",
     [](Options &o, const char *) -> std::string { o.force = true; return {}; }},
    {kOptDomain, "domain", 0, "N", G::command, false, 0, "the key domain (rotate, disable, enable)",
     [](Options &o, const char *v) { return Number(v, o.domain, o.hasDomain, "--domain"); }},
    {kOptAll, "all", 0, nullptr, G::command, false, 0, "every key domain (the default)",
     [](Options &, const char *) -> std::string { return {}; }},
    {kOptKeep, "keep", 0, "N", G::command, false, 0, "retired keys to keep per domain",
     [](Options &o, const char *v) { return Number(v, o.keep, o.hasKeep, "--keep"); }},
    {kOptDir, "dir", 0, "DIR", G::command, false, 0, "the folder of the backup (made 0700 when missing)",
     [](Options &o, const char *v) -> std::string { o.dir = v; return {}; }},
    {kOptProtect, "protect", 0, "TYPE", G::command, false, 0, "the slot type that protects the store",
     [](Options &o, const char *v) -> std::string {
         o.protect = SlotTypeByName(v, QINT_SLOT_PROTECTS);
         if (o.protect == 0) {
             return "--protect takes " + SlotTypeNames(QINT_SLOT_PROTECTS, 0, " or ") + ", not '" + v + "'";
         }
         o.hasProtect = true;
         return {};
     }},
    {kOptRecovery, "recovery", 0, nullptr, G::command, false, 0, "a recovery slot (passphrase) too",
     [](Options &o, const char *) -> std::string { o.recovery = true; return {}; }},
    {kOptFor, "for", 0, "HOSTID", G::command, false, 0, "the identity of the host the copy is for (its host-id)",
     [](Options &o, const char *v) { return NonEmpty(v, o.forHost, "--for"); }},
    {kOptSignWith, "sign-with", 0, "KEYFILE", G::command, false, 0,
     "the administrator key that signs the copy (admin-key create)",
     [](Options &o, const char *v) { return NonEmpty(v, o.signWith, "--sign-with"); }},
    {kOptOut, "out", 0, "DIR", G::command, false, 0,
     "export: the folder of the copy; admin-key: the key file;\ntpm2-policy sign: the policy file",
     [](Options &o, const char *v) { return NonEmpty(v, o.outDir, "--out"); }},
    {kOptToken, "token", 0, "LABEL", G::command, false, kToken, "the token's label",
     [](Options &o, const char *v) { return NonEmpty(v, o.token, "--token"); }},
    {kOptJson, "json", 0, nullptr, G::general, false, 0,
     "list, verify, protect list, usage: one JSON object on\none line (fields in zorvm_keytool(8))",
     [](Options &o, const char *) -> std::string { o.json = true; return {}; }},
    {kOptServiceUser, "service-user", 0, "USER", G::command, false, 0,
     "the user the service runs as (default zorva, when it exists)",
     [](Options &o, const char *v) { return NonEmpty(v, o.serviceUser, "--service-user"); }},
    {kOptReplace, "replace", 0, nullptr, G::command, false, 0,
     "replace the recovery and pkcs11 slots too (default: keep them)",
     [](Options &o, const char *) -> std::string { o.replace = true; return {}; }},
    {kOptKeyId, "key-id", 0, "K", G::command, false, 0, "the key id within the domain",
     [](Options &o, const char *v) { return Number(v, o.keyId, o.hasKeyId, "--key-id"); }},
    {kOptUnusedDays, "unused-days", 0, "N", G::command, false, 0,
     "days a key must have been disabled and unused\n(default 30)",
     [](Options &o, const char *v) -> std::string {
         bool has = false;
         std::string why = Number(v, o.unusedDays, has, "--unused-days");
         return why.empty() && o.unusedDays > 36500 ? "--unused-days takes 0 to 36500 days" : why;
     }},
    {kOptDryRun, "dry-run", 0, nullptr, G::command, false, 0, "say what would go and why each other key stays",
     [](Options &o, const char *) -> std::string { o.dryRun = true; return {}; }},
    {kOptRecord, "record", 0, "FILE", G::command, false, 0,
     "the daemon's usage record (default\n/var/lib/zorva/key-usage)",
     [](Options &o, const char *v) { return NonEmpty(v, o.record, "--record"); }},
    {kOptUsage, "usage", 0, "FILE", G::command, false, 0,
     "a host's 'usage --json' output; once per host",
     [](Options &o, const char *v) -> std::string {
         if (v[0] == '\0') {
             return "--usage needs a file";
         }
         o.usage.emplace_back(v);
         return {};
     }},
    {kOptSigner, "signer", 0, "KEYFILE", G::command, false, 0, "the private key that signs the policy (PEM)",
     [](Options &o, const char *v) { return NonEmpty(v, o.signer, "--signer"); }},
    {kOptPcrs, "pcrs", 0, "LIST", G::command, false, 0, "the SHA-256 PCRs the policy is for (e.g. 7 or 0,7)",
     [](Options &o, const char *v) -> std::string {
         if (!ParsePcrs(v, o.pcrMask)) {
             return std::string("--pcrs takes PCR numbers 0..23 separated by commas, not '") + v + "'";
         }
         o.hasPcrs = true;
         return {};
     }},
    {kOptCurrent, "current", 0, nullptr, G::command, false, 0, "sign the values the PCRs hold now (read from the TPM)",
     [](Options &o, const char *) -> std::string { o.current = true; return {}; }},
    {kOptValues, "values", 0, "FILE", G::command, false, 0,
     "sign predicted values: 'INDEX SHA256-HEX' per line",
     [](Options &o, const char *v) { return NonEmpty(v, o.valuesFile, "--values"); }},
};

constexpr bool InIdOrder()
{
    for (unsigned i = 0; i < std::size(kOptions); ++i) {
        if (kOptions[i].id != i) {
            return false;
        }
    }
    return std::size(kOptions) == kOptCount;
}
static_assert(InIdOrder(), "kOptions[i] is the option with id i");

// Options of every command that writes the store.
constexpr OptMask kWrites = Bit(kOptOwner);
// Options of every command that makes a slot.
constexpr OptMask kMakesSlot = Bit(kOptTpm2Pcrs) | Bit(kOptTpm2Signer) | Bit(kOptUri) | Bit(kOptModule) |
                               Bit(kOptGenerateKek) | Bit(kOptPinSource);
// Options of the commands that configure a PKCS#11 module.
constexpr OptMask kConfiguresModule = Bit(kOptModule) | Bit(kOptToken) | Bit(kOptPinSource);

// A slot sealed to a signer is bound to PCRs: the policies name their values.
std::string SignerNeedsPcrs(const Options &o)
{
    return (o.given & Bit(kOptTpm2Signer)) != 0 && (o.given & Bit(kOptTpm2Pcrs)) == 0
               ? "--tpm2-signer needs --tpm2-pcrs LIST (the PCRs the signed policies are for)"
               : "";
}

std::string ImportBindsToThisHost(const Options &o)
{
    constexpr std::uint32_t kThisHost = QINT_NEEDS_HOST_KEY | QINT_NEEDS_TPM;
    if (o.hasProtect && (SlotTypeNeeds(o.protect) & kThisHost) == 0) {
        return "import binds the copy to this host: --protect " +
               SlotTypeNames(QINT_SLOT_PROTECTS, kThisHost, " or ");
    }
    return {};
}

std::string ImportChecks(const Options &o)
{
    const std::string error = ImportBindsToThisHost(o);
    return error.empty() ? SignerNeedsPcrs(o) : error;
}

std::string NeedsKeyFile(const Options &o)
{
    return (o.given & Bit(kOptOut)) == 0 ? "admin-key create needs --out FILE" : "";
}

std::string NeedsModuleAndToken(const Options &o)
{
    if (o.module.empty() || o.module[0] != '/' || o.token.empty()) {
        return "pkcs11 " + o.subcommand + " needs --module /PATH and --token LABEL";
    }
    return {};
}

std::string NeedsValuesSource(const Options &o)
{
    return (o.given & (Bit(kOptCurrent) | Bit(kOptValues))) == 0
               ? "tpm2-policy sign needs --current or --values FILE (the values to sign)"
               : "";
}

constexpr const char *kTrustUsage = "trust takes list, add PUBFILE or remove FINGERPRINT";
constexpr const char *kPkcs11Usage = "pkcs11 takes list, add or remove";
constexpr const char *kTpm2PolicyUsage = "tpm2-policy takes sign, install FILE, list, values or remove POLICY";

constexpr CommandSpec kCommands[] = {
    {.words = "create",
     .help = "make a new store pair (one active key per domain)\n"
             "protected by TYPE: host (default), tpm2, host+tpm2\n"
             "or pkcs11 (a key on a token, see below),\n"
             "and with --recovery a recovery passphrase too; the\n"
             "host key file is created (0400) if missing, never\n"
             "replaced; refuses to overwrite a store without --force",
     .run = Create,
     .synopsis = "[--force] [--protect TYPE] [--recovery]",
     .options = kWrites | kMakesSlot | Bit(kOptForce) | Bit(kOptProtect) | Bit(kOptRecovery),
     .makesSlot = true,
     .store = StoreUse::makes,
     .check = SignerNeedsPcrs},
    {.words = "rotate",
     .help = "retire the active key of domain N (default: of\nevery domain) and add a new active key",
     .run = Rotate,
     .synopsis = "[--domain N | --all]",
     .options = kWrites | Bit(kOptDomain) | Bit(kOptAll),
     .exclusive = Bit(kOptDomain) | Bit(kOptAll)},
    {.words = "prune",
     .help = "remove the keys disabled for N days (default 30) that\n"
             "the usage record shows unused for as long; with\n"
             "--keep N instead: all but the N newest retired keys\n"
             "per domain (cipher texts under removed keys stop\n"
             "decrypting)",
     .run = Prune,
     .synopsis = "[--unused-days N] [--dry-run] [--keep N]",
     .options = kWrites | Bit(kOptKeep) | Bit(kOptUnusedDays) | Bit(kOptDryRun) | Bit(kOptRecord) | Bit(kOptUsage)},
    {.words = "usage",
     .help = "per key: state, creation, last use and count from\n"
             "the daemon's usage record (and hosts' --usage FILE)",
     .run = Usage,
     .synopsis = "[--json]",
     .options = Bit(kOptJson) | Bit(kOptRecord) | Bit(kOptUsage)},
    {.words = "rewrap",
     .help = "re-encrypt the cipher texts on standard input, one a\n"
             "line, under their domain's active key, to standard\n"
             "output; a line that cannot be is written unchanged\n"
             "and reported",
     .run = Rewrap},
    {.words = "disable",
     .help = "keep a retired key but refuse every use of it",
     .run = Disable,
     .synopsis = "--domain N --key-id K",
     .options = kWrites | Bit(kOptDomain) | Bit(kOptKeyId) | Bit(kOptRecord),
     .required = Bit(kOptDomain) | Bit(kOptKeyId)},
    {.words = "enable",
     .help = "let a disabled key decrypt again",
     .run = Enable,
     .synopsis = "--domain N --key-id K",
     .options = kWrites | Bit(kOptDomain) | Bit(kOptKeyId),
     .required = Bit(kOptDomain) | Bit(kOptKeyId)},
    {.words = "list",
     .help = "show keys: domain, key id, state, creation time",
     .run = List,
     .synopsis = "[--json]",
     .options = Bit(kOptJson)},
    {.words = "verify",
     .help = "the health check: each copy (healthy, damaged and\n"
             "where, another store), each slot, and what the service\n"
             "user can read; exit 0 healthy, 3 served but not\n"
             "healthy, 1 not served",
     .run = Verify,
     .synopsis = "[--service-user USER] [--json]",
     .options = Bit(kOptServiceUser) | Bit(kOptJson)},
    {.words = "repair",
     .help = "rewrite a damaged, missing or older copy from the\n"
             "healthy one; never a copy of another store",
     .run = Repair,
     .options = kWrites},
    {.words = "backup",
     .help = "write DIR/zorvm_primary_file.dat.membak and\n"
             "DIR/zorvm_standby_file.dat.membak (the same slots:\n"
             "on another host they open only through recovery)",
     .run = Backup,
     .synopsis = "--dir DIR",
     .options = kWrites | Bit(kOptDir),
     .required = Bit(kOptDir)},
    {.words = "protect list",
     .help = "show the protector slots and whether each opens here",
     .run = ProtectList,
     .synopsis = "[--json]",
     .options = kWrites | Bit(kOptJson)},
    {.words = "protect add",
     .help = "add a slot: host, tpm2, host+tpm2, recovery or pkcs11",
     .run = ProtectAdd,
     .arguments = "TYPE",
     .options = kWrites | kMakesSlot,
     .makesSlot = true,
     .check = SignerNeedsPcrs},
    {.words = "protect remove",
     .help = "remove slot SLOT (not the last one that opens here)",
     .run = ProtectRemove,
     .arguments = "SLOT",
     .options = kWrites},
    {.words = "migrate",
     .help = "new root key under a TYPE slot, which replaces the\n"
             "host, tpm2 and host+tpm2 slots; the recovery and\n"
             "pkcs11 slots are kept (their passphrase or token is\n"
             "needed) unless --replace; --recovery makes a new\n"
             "recovery slot; every key and key id stays; turns a\n"
             "store protected by the built-in key only into a\n"
             "protected one",
     .run = Migrate,
     .synopsis = "--protect TYPE [--recovery] [--replace]",
     .options = kWrites | kMakesSlot | Bit(kOptProtect) | Bit(kOptRecovery) | Bit(kOptReplace),
     .required = Bit(kOptProtect),
     .makesSlot = true,
     .check = SignerNeedsPcrs},
    {.words = "host-id",
     .help = "print this host's identity (one line) for export --for;\ncreates the host key file (0400) if missing",
     .run = HostId,
     .store = StoreUse::none},
    {.words = "export",
     .help = "write DIR/zorvm_primary_file.dat and\n"
             "DIR/zorvm_standby_file.dat: a copy that opens only on\n"
             "that host (and through the store's recovery and pkcs11\n"
             "slots), signed with the administrator key KEYFILE;\n"
             "safe to carry",
     .run = Export,
     .synopsis = "--for HOSTID --sign-with KEYFILE --out DIR",
     .options = kWrites | Bit(kOptFor) | Bit(kOptSignWith) | Bit(kOptOut),
     .required = Bit(kOptFor) | Bit(kOptSignWith) | Bit(kOptOut)},
    {.words = "import",
     .help = "check a copy exported for this host, bind it to this\n"
             "host (TYPE host by default, or tpm2, host+tpm2) and\n"
             "install it; --force replaces an installed store",
     .run = Import,
     .arguments = "DIR",
     .synopsis = "[--protect TYPE] [--force]",
     .options = kWrites | Bit(kOptTpm2Pcrs) | Bit(kOptTpm2Signer) | Bit(kOptProtect) | Bit(kOptForce),
     .makesSlot = true,
     .store = StoreUse::makes,
     .badArguments = "import needs the folder of the copy: import DIR",
     .check = ImportChecks},
    {.words = "adopt",
     .help = "make the store at --primary and --standby the one this\n"
             "host serves (a store restored by hand from a backup)",
     .run = Adopt},
    {.words = "admin-key create",
     .help = "make an administrator key pair for signing exports:\n"
             "FILE (private, 0600) and FILE.pub",
     .run = AdminKey,
     .synopsis = "--out FILE",
     .options = Bit(kOptOut),
     .store = StoreUse::none,
     .badArguments = "admin-key takes create --out FILE",
     .check = NeedsKeyFile},
    {.words = "trust list", .help = "show the administrator keys whose exports this host takes", .run = Trust,
     .store = StoreUse::none, .badArguments = kTrustUsage},
    {.words = "trust add", .help = "take exports signed by the key in PUBFILE", .run = Trust,
     .arguments = "PUBFILE", .store = StoreUse::none, .badArguments = kTrustUsage},
    {.words = "trust remove", .help = "no longer take exports signed by the key FINGERPRINT", .run = Trust,
     .arguments = "FINGERPRINT", .store = StoreUse::none, .badArguments = kTrustUsage},
    {.words = "pkcs11 list",
     .help = "show the PKCS#11 modules and tokens this host uses",
     .run = Pkcs11,
     .store = StoreUse::none,
     .badArguments = kPkcs11Usage},
    {.words = "pkcs11 add",
     .help = "let pkcs11 slots of token LABEL open through module\n"
             "/PATH, with the PIN from SOURCE: --module /PATH\n"
             "--token LABEL [--pin-source SOURCE]",
     .run = Pkcs11,
     .options = kConfiguresModule,
     .store = StoreUse::none,
     .badArguments = kPkcs11Usage,
     .check = NeedsModuleAndToken},
    {.words = "pkcs11 remove",
     .help = "forget module and token: --module /PATH --token LABEL",
     .run = Pkcs11,
     .options = kConfiguresModule,
     .store = StoreUse::none,
     .badArguments = kPkcs11Usage,
     .check = NeedsModuleAndToken},
    {.words = "tpm2-policy sign",
     .help = "sign a policy that approves values of the PCRs LIST:\n"
             "those they hold now (--current) or those predicted\n"
             "for the next boot (--values FILE); tpm2 slots made\n"
             "with --tpm2-signer open while an installed policy of\n"
             "their signer matches the PCRs",
     .run = Tpm2Policy,
     .synopsis = "--signer KEYFILE --pcrs LIST --current|--values FILE --out FILE",
     .options = Bit(kOptSigner) | Bit(kOptPcrs) | Bit(kOptCurrent) | Bit(kOptValues) | Bit(kOptOut),
     .required = Bit(kOptSigner) | Bit(kOptPcrs) | Bit(kOptOut),
     .exclusive = Bit(kOptCurrent) | Bit(kOptValues),
     .touchesStore = false,
     .store = StoreUse::none,
     .badArguments = kTpm2PolicyUsage,
     .check = NeedsValuesSource},
    {.words = "tpm2-policy install",
     .help = "install the signed policies of FILE in the host\nconfiguration (root)",
     .run = Tpm2Policy,
     .arguments = "FILE",
     .touchesStore = false,
     .store = StoreUse::none,
     .badArguments = kTpm2PolicyUsage},
    {.words = "tpm2-policy list",
     .help = "show the installed signed policies and whether each\nmatches the current PCR values",
     .run = Tpm2Policy,
     .touchesStore = false,
     .store = StoreUse::none,
     .badArguments = kTpm2PolicyUsage},
    {.words = "tpm2-policy values",
     .help = "print the current values of the PCRs LIST in the form\n"
             "--values reads (to sign them on another machine)",
     .run = Tpm2Policy,
     .synopsis = "--pcrs LIST",
     .options = Bit(kOptPcrs),
     .required = Bit(kOptPcrs),
     .touchesStore = false,
     .store = StoreUse::none,
     .badArguments = kTpm2PolicyUsage},
    {.words = "tpm2-policy remove",
     .help = "remove the installed policy POLICY (its id in list)",
     .run = Tpm2Policy,
     .arguments = "POLICY",
     .touchesStore = false,
     .store = StoreUse::none,
     .badArguments = kTpm2PolicyUsage},
    {.words = "help",
     .help = "this text, or the usage and options of COMMAND",
     .run = Help,
     .arguments = "[COMMAND]",
     .touchesStore = false,
     .store = StoreUse::none},
};

constexpr ArgumentSpec kArguments[] = {
    {"TYPE", false, [](const CommandSpec &, Options &o, const std::string &word) -> std::string {
         o.argument = word;
         o.slotType = SlotTypeByName(word, QINT_SLOT_ADDABLE);
         if (o.slotType == 0) {
             return "unknown protection '" + word + "' (" + SlotTypeNames(QINT_SLOT_ADDABLE, 0, ", ") + ")";
         }
         return {};
     }},
    {"SLOT", false, [](const CommandSpec &c, Options &o, const std::string &word) -> std::string {
         o.argument = word;
         if (!ParseNumber(word.c_str(), o.slotId) || o.slotId == 0 || o.slotId > 255) {
             return std::string(c.words) + " needs a slot number, not '" + word + "'";
         }
         return {};
     }},
    // The words of a command, one or two.
    {"COMMAND", true, [](const CommandSpec &, Options &o, const std::string &words) -> std::string {
         o.argument = words;
         if (!words.empty() && CommandsNamed(words).empty()) {
             return "unknown command '" + words + "'";
         }
         return {};
     }},
};

} // namespace

std::span<const OptionSpec> OptionTable() { return kOptions; }
std::span<const CommandSpec> CommandTable() { return kCommands; }
std::span<const ArgumentSpec> ArgumentTable() { return kArguments; }

} // namespace keytool
