// zorvm_keytool COMMAND [options]: administration of a key-store pair.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "keytool.h"
#include "zorv_admin.h"
#include "process_hardening.h"

namespace {

constexpr const char *kUsage =
    "usage: zorvm_keytool COMMAND [--primary PATH] [--standby PATH] [options]\n"
    "\n"
    "commands:\n"
    "  create [--force] [--protect TYPE] [--recovery]\n"
    "                            make a new store pair (one active key per domain)\n"
    "                            protected by TYPE: host (default), tpm2, host+tpm2\n"
    "                            or pkcs11 (a key on a token, see below),\n"
    "                            and with --recovery a recovery passphrase too; the\n"
    "                            host key file is created (0400) if missing, never\n"
    "                            replaced; refuses to overwrite a store without --force\n"
    "  rotate [--domain N | --all]\n"
    "                            retire the active key of domain N (default: of\n"
    "                            every domain) and add a new active key\n"
    "  prune --keep N            keep only the N newest retired keys per domain\n"
    "                            (cipher texts under removed keys stop decrypting)\n"
    "  list                      show keys: domain, key id, state, creation time\n"
    "  verify                    check both files; exit 0 only when both are valid\n"
    "                            and equal\n"
    "  backup --dir DIR          write DIR/zorvm_primary_file.dat.membak and\n"
    "                            DIR/zorvm_standby_file.dat.membak (the same slots:\n"
    "                            on another host they open only through recovery)\n"
    "  protect list              show the protector slots and whether each opens here\n"
    "  protect add TYPE          add a slot: host, tpm2, host+tpm2 or recovery\n"
    "  protect remove SLOT       remove slot SLOT (not the last one that opens here)\n"
    "  migrate --protect TYPE [--recovery]\n"
    "                            new root key under a TYPE slot (and a recovery slot);\n"
    "                            every key and key id stays; turns a store protected\n"
    "                            by the built-in key only into a protected one\n"
    "  host-id                   print this host's identity (one line) for export --for;\n"
    "                            creates the host key file (0400) if missing\n"
    "  export --for HOSTID --out DIR\n"
    "                            write DIR/zorvm_primary_file.dat and\n"
    "                            DIR/zorvm_standby_file.dat: a copy that opens only on\n"
    "                            that host (and through the store's recovery and pkcs11\n"
    "                            slots); safe to carry\n"
    "  import DIR [--protect TYPE] [--force]\n"
    "                            check a copy exported for this host, bind it to this\n"
    "                            host (TYPE host by default, or tpm2, host+tpm2) and\n"
    "                            install it; --force replaces an installed store\n"
    "\n"
    "a key on a PKCS#11 token (create/migrate --protect pkcs11, protect add pkcs11):\n"
    "  --uri URI                 the token key: pkcs11:token=LABEL;object=LABEL\n"
    "                            [?pin-source=file:/path/to/pin]\n"
    "  --module PATH             the PKCS#11 module (absolute path)\n"
    "  --generate-kek            make the token key (AES-256, not extractable) if missing\n"
    "  --pin-fd N                read the token PIN from descriptor N (one line); else the\n"
    "                            URI's pin-source file; never on the command line\n"
    "\n"
    "options:\n"
    "  --primary PATH            primary file (default /etc/zorvm_primary_file.dat)\n"
    "  --standby PATH            standby file (default /etc/zorvm_standby_file.dat)\n"
    "  --host-key PATH           host key file (default $ZORVA_HOST_KEY, else\n"
    "                            /etc/zorvm_host.key)\n"
    "  --tpm2-pcrs LIST          bind new TPM slots to these SHA-256 PCRs (e.g. 7 or 0,7)\n"
    "  --passphrase-fd N         read the recovery passphrase from descriptor N (one\n"
    "                            line); without it the terminal is asked, echo off\n"
    "  --owner USER              commands that write: the files written belong to\n"
    "                            USER (default: the invoking user), mode 0600\n"
    "  -h, --help                this text\n"
    "\n"
    "exit status: 0 success, 1 failure, 2 usage error\n";

int UsageError(const char *format, const char *arg)
{
    std::fprintf(stderr, "zorvm_keytool: ");
    std::fprintf(stderr, format, arg);
    std::fprintf(stderr, "\nTry 'zorvm_keytool --help'.\n");
    return keytool::kExitUsage;
}

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

// Runs one command whose options were checked.
int RunCommand(const std::string &c, const keytool::Options &o)
{
    if (c == "create") {
        return keytool::Create(o);
    }
    if (c == "rotate") {
        if (o.all && o.hasDomain) {
            return UsageError("%s", "rotate takes --domain N or --all, not both");
        }
        keytool::Options every = o;
        every.all = !o.hasDomain; // no domain named: rotate them all
        return keytool::Rotate(every);
    }
    if (c == "prune") {
        if (!o.hasKeep) {
            return UsageError("%s", "prune needs --keep N");
        }
        return keytool::Prune(o);
    }
    if (c == "list") {
        return keytool::List(o);
    }
    if (c == "verify") {
        return keytool::Verify(o);
    }
    if (c == "backup") {
        if (o.dir.empty()) {
            return UsageError("%s", "backup needs --dir DIR");
        }
        return keytool::Backup(o);
    }
    if (c == "protect") {
        return keytool::Protect(o);
    }
    if (c == "migrate") {
        return keytool::Migrate(o);
    }
    if (c == "host-id") {
        return keytool::HostId(o);
    }
    if (c == "export") {
        return keytool::Export(o);
    }
    if (c == "import") {
        return keytool::Import(o);
    }
    return UsageError("unknown command '%s'", c.c_str());
}

} // namespace

// Checks the words after the command: protect list | add TYPE | remove SLOT.
int CheckWords(keytool::Options &o, const std::vector<std::string> &words)
{
    if (o.command == "import") {
        if (words.size() != 1) {
            return UsageError("%s", "import needs the folder of the copy: import DIR");
        }
        o.importDir = words[0];
        return 0;
    }
    if (o.command != "protect") {
        return words.empty() ? 0 : UsageError("unexpected argument '%s'", words[0].c_str());
    }
    o.subcommand = words.empty() ? "" : words[0];
    const std::size_t want = o.subcommand == "list" ? 1 : 2;
    if (o.subcommand != "list" && o.subcommand != "add" && o.subcommand != "remove") {
        return UsageError("%s", "protect takes list, add TYPE or remove SLOT");
    }
    if (words.size() != want) {
        return UsageError("protect %s: wrong number of arguments", o.subcommand.c_str());
    }
    if (want == 2) {
        o.argument = words[1];
    }
    if (o.subcommand == "add" && keytool::SlotTypeByName(o.argument, QINT_SLOT_ADDABLE) == 0) {
        const std::string known = keytool::SlotTypeNames(QINT_SLOT_ADDABLE, 0, ", ");
        return UsageError("%s", ("unknown protection '" + o.argument + "' (" + known + ")").c_str());
    }
    if (o.subcommand == "remove" && (!ParseNumber(o.argument.c_str(), o.slotId) || o.slotId == 0 || o.slotId > 255)) {
        return UsageError("protect remove needs a slot number, not '%s'", o.argument.c_str());
    }
    return 0;
}

int main(int argc, char **argv)
{
    (void)brim::DisableCoreDumps();
    keytool::Options o;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needValue = [&](const char *name) {
            if (value == nullptr) {
                UsageError("option %s needs a value", name);
                return false;
            }
            ++i;
            return true;
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return keytool::kExitOk;
        } else if (a == "--primary") {
            if (!needValue("--primary")) {
                return keytool::kExitUsage;
            }
            o.primary = value;
        } else if (a == "--standby") {
            if (!needValue("--standby")) {
                return keytool::kExitUsage;
            }
            o.standby = value;
        } else if (a == "--force") {
            o.force = true;
        } else if (a == "--all") {
            o.all = true;
        } else if (a == "--domain") {
            if (!needValue("--domain")) {
                return keytool::kExitUsage;
            }
            if (!ParseNumber(value, o.domain)) {
                return UsageError("--domain needs a number, not '%s'", value);
            }
            o.hasDomain = true;
        } else if (a == "--keep") {
            if (!needValue("--keep")) {
                return keytool::kExitUsage;
            }
            if (!ParseNumber(value, o.keep)) {
                return UsageError("--keep needs a number, not '%s'", value);
            }
            o.hasKeep = true;
        } else if (a == "--owner") {
            if (!needValue("--owner")) {
                return keytool::kExitUsage;
            }
            o.owner = value;
        } else if (a == "--dir") {
            if (!needValue("--dir")) {
                return keytool::kExitUsage;
            }
            o.dir = value;
        } else if (a == "--protect") {
            if (!needValue("--protect")) {
                return keytool::kExitUsage;
            }
            o.protect = keytool::SlotTypeByName(value, QINT_SLOT_PROTECTS);
            if (o.protect == 0) {
                const std::string known = keytool::SlotTypeNames(QINT_SLOT_PROTECTS, 0, " or ");
                return UsageError("%s", ("--protect takes " + known + ", not '" + value + "'").c_str());
            }
            o.hasProtect = true;
        } else if (a == "--recovery") {
            o.recovery = true;
        } else if (a == "--host-key") {
            if (!needValue("--host-key")) {
                return keytool::kExitUsage;
            }
            if (value[0] == '\0') {
                return UsageError("%s", "--host-key needs a path");
            }
            o.hostKey = value;
        } else if (a == "--tpm2-pcrs") {
            if (!needValue("--tpm2-pcrs")) {
                return keytool::kExitUsage;
            }
            if (!ParsePcrs(value, o.pcrMask)) {
                return UsageError("--tpm2-pcrs takes PCR numbers 0..23 separated by commas, not '%s'", value);
            }
            o.hasPcrs = true;
        } else if (a == "--passphrase-fd") {
            std::uint32_t fd = 0;
            if (!needValue("--passphrase-fd")) {
                return keytool::kExitUsage;
            }
            if (!ParseNumber(value, fd) || fd > 1024) {
                return UsageError("--passphrase-fd needs a descriptor number, not '%s'", value);
            }
            o.passphraseFd = static_cast<int>(fd);
        } else if (a == "--uri" || a == "--module" || a == "--for" || a == "--out") {
            if (!needValue(argv[i])) {
                return keytool::kExitUsage;
            }
            if (value[0] == '\0') {
                return UsageError("%s needs a value", argv[i - 1]);
            }
            (a == "--uri" ? o.uri : a == "--module" ? o.module : a == "--for" ? o.forHost : o.outDir) = value;
        } else if (a == "--generate-kek") {
            o.generateKek = true;
        } else if (a == "--pin-fd") {
            std::uint32_t fd = 0;
            if (!needValue("--pin-fd")) {
                return keytool::kExitUsage;
            }
            if (!ParseNumber(value, fd) || fd > 1024) {
                return UsageError("--pin-fd needs a descriptor number, not '%s'", value);
            }
            o.pinFd = static_cast<int>(fd);
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("unknown option '%s'", argv[i]);
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            words.emplace_back(a);
        }
    }
    if (o.command.empty()) {
        return UsageError("%s", "no command given");
    }
    if (o.primary.empty() || o.standby.empty()) {
        return UsageError("%s", "--primary and --standby need a path");
    }
    if (const int rc = CheckWords(o, words); rc != 0) {
        return rc;
    }
    const std::string &c = o.command;
    // Options that belong to another command are mistakes, not no-ops.
    const bool forceOk = c == "create";
    const bool domainOk = c == "rotate";
    const bool keepOk = c == "prune";
    const bool dirOk = c == "backup";
    const bool protectOk = c == "create" || c == "migrate";
    const bool adds = c == "protect" && o.subcommand == "add";
    const bool pcrsOk = protectOk || adds || c == "import";
    const bool ownerOk = c == "create" || c == "rotate" || c == "prune" || c == "backup" || c == "migrate" ||
                         c == "protect" || c == "export" || c == "import";
    // A pkcs11 slot is made by create/migrate --protect pkcs11 or protect add pkcs11.
    const std::uint32_t made =
        protectOk ? o.protect : adds ? keytool::SlotTypeByName(o.argument, QINT_SLOT_ADDABLE) : 0;
    const bool makesPkcs11 = (keytool::SlotTypeNeeds(made) & QINT_NEEDS_TOKEN) != 0;
    if ((o.force && !forceOk && c != "import") || ((o.all || o.hasDomain) && !domainOk) ||
        (o.hasKeep && !keepOk) || (!o.dir.empty() && !dirOk) ||
        ((o.hasProtect || o.recovery) && !protectOk && !(c == "import" && !o.recovery)) ||
        (o.hasPcrs && !pcrsOk) || ((!o.uri.empty() || !o.module.empty() || o.generateKek) && !makesPkcs11) ||
        ((!o.forHost.empty() || !o.outDir.empty()) && c != "export") || (!o.owner.empty() && !ownerOk)) {
        return UsageError("an option given does not apply to '%s'", c.c_str());
    }
    constexpr std::uint32_t kThisHost = QINT_NEEDS_HOST_KEY | QINT_NEEDS_TPM;
    if (c == "import" && o.hasProtect && (keytool::SlotTypeNeeds(o.protect) & kThisHost) == 0) {
        const std::string bindable = keytool::SlotTypeNames(QINT_SLOT_PROTECTS, kThisHost, " or ");
        return UsageError("%s", ("import binds the copy to this host: --protect " + bindable).c_str());
    }
    if (makesPkcs11 && o.uri.empty()) {
        return UsageError("%s", "a pkcs11 slot needs --uri URI (and --module PATH unless the URI has module-path)");
    }
    if (c == "export" && (o.forHost.empty() || o.outDir.empty())) {
        return UsageError("%s", "export needs --for HOSTID and --out DIR");
    }
    if (c == "migrate" && !o.hasProtect) {
        return UsageError("%s", "migrate needs --protect TYPE");
    }

    if (!o.owner.empty() && !keytool::SetFileOwner(o.owner)) {
        return keytool::kExitFailure;
    }
    keytool::RegisterCallbacks();
    if (!keytool::SetUpProtection(o)) {
        return keytool::kExitFailure;
    }
    const int rc = RunCommand(c, o);
    return keytool::FinishWrites(rc == keytool::kExitOk) ? rc : keytool::kExitFailure;
}

