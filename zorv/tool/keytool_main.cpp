// zorvm_keytool COMMAND [options]: administration of a key-store pair.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "keytool.h"

namespace {

constexpr const char *kUsage =
    "usage: zorvm_keytool COMMAND [--primary PATH] [--standby PATH] [options]\n"
    "\n"
    "commands:\n"
    "  create [--force]          make a new store pair (one active key per domain);\n"
    "                            refuses to overwrite an existing store without --force\n"
    "  rotate [--domain N | --all]\n"
    "                            retire the active key of domain N (default: of\n"
    "                            every domain) and add a new active key\n"
    "  prune --keep N            keep only the N newest retired keys per domain\n"
    "                            (cipher texts under removed keys stop decrypting)\n"
    "  list                      show keys: domain, key id, state, creation time\n"
    "  verify                    check both files; exit 0 only when both are valid\n"
    "                            and equal\n"
    "  backup --dir DIR          write DIR/zorvm_primary_file.dat.membak and\n"
    "                            DIR/zorvm_standby_file.dat.membak\n"
    "\n"
    "options:\n"
    "  --primary PATH            primary file (default /etc/zorvm_primary_file.dat)\n"
    "  --standby PATH            standby file (default /etc/zorvm_standby_file.dat)\n"
    "  --owner USER              create, rotate, prune, backup: files written belong\n"
    "                            to USER (default: the invoking user), mode 0600\n"
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
    return UsageError("unknown command '%s'", c.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    keytool::Options o;
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
        } else if (!a.empty() && a[0] == '-') {
            return UsageError("unknown option '%s'", argv[i]);
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            return UsageError("unexpected argument '%s'", argv[i]);
        }
    }
    if (o.command.empty()) {
        return UsageError("%s", "no command given");
    }
    if (o.primary.empty() || o.standby.empty()) {
        return UsageError("%s", "--primary and --standby need a path");
    }
    const std::string &c = o.command;
    // Options that belong to another command are mistakes, not no-ops.
    const bool forceOk = c == "create";
    const bool domainOk = c == "rotate";
    const bool keepOk = c == "prune";
    const bool dirOk = c == "backup";
    const bool ownerOk = c == "create" || c == "rotate" || c == "prune" || c == "backup";
    if ((o.force && !forceOk) || ((o.all || o.hasDomain) && !domainOk) || (o.hasKeep && !keepOk) ||
        (!o.dir.empty() && !dirOk) || (!o.owner.empty() && !ownerOk)) {
        return UsageError("an option given does not apply to '%s'", c.c_str());
    }

    if (!o.owner.empty() && !keytool::SetFileOwner(o.owner)) {
        return keytool::kExitFailure;
    }
    keytool::RegisterCallbacks();
    const int rc = RunCommand(c, o);
    return keytool::FinishWrites(rc == keytool::kExitOk) ? rc : keytool::kExitFailure;
}

