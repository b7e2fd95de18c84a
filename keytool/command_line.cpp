// Reading the key tool's command line with getopt_long, checking it against
// the rows of command_table.cpp, and the help texts made from those rows.
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

constexpr int kLongBase = 256; // getopt_long's value of option id i: kLongBase + i
constexpr std::size_t kHelpColumn = 28;

const OptionSpec &OptionOf(Opt id) { return OptionTable()[id]; }

OptMask EveryCommand()
{
    OptMask mask = 0;
    for (const OptionSpec &spec : OptionTable()) {
        mask |= spec.everyCommand ? Bit(spec.id) : 0;
    }
    return mask;
}

std::string FirstWord(std::string_view words) { return std::string(words.substr(0, words.find(' '))); }

// "--keep N", "-h, --help".
std::string Label(const OptionSpec &spec)
{
    std::string label = spec.shortName != 0 ? std::string("-") + spec.shortName + ", " : std::string();
    label += std::string("--") + spec.name;
    if (spec.value != nullptr) {
        label += std::string(" ") + spec.value;
    }
    return label;
}

// Options of mask as the usage line and messages name them: "A, B and C"
// with lastSeparator " and ".
std::string Labels(OptMask mask, const char *lastSeparator)
{
    std::vector<std::string> labels;
    for (const OptionSpec &spec : OptionTable()) {
        if ((mask & Bit(spec.id)) != 0) {
            labels.push_back(Label(spec));
        }
    }
    std::string out;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == labels.size() ? lastSeparator : ", ") + labels[i];
    }
    return out;
}

std::string Usage(const CommandSpec &c)
{
    std::string usage = c.words;
    for (const char *part : {c.arguments, c.synopsis}) {
        if (part[0] != '\0') {
            usage += std::string(" ") + part;
        }
    }
    return usage;
}

// The lines of text, the first after firstPad spaces, the others after pad.
void PrintLines(FILE *out, std::string_view text, std::size_t firstPad, std::size_t pad)
{
    for (std::size_t indent = firstPad; !text.empty(); indent = pad) {
        const auto end = text.find('\n');
        std::fprintf(out, "%*s%.*s\n", static_cast<int>(indent), "", static_cast<int>(text.substr(0, end).size()),
                     text.data());
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
}

// "  label" and the help's lines from the help column on; a long label gets
// a line of its own.
void PrintEntry(FILE *out, const std::string &label, std::string_view help)
{
    std::fprintf(out, "  %s", label.c_str());
    const std::size_t column = 2 + label.size();
    if (column + 2 > kHelpColumn) {
        std::fputc('\n', out);
        PrintLines(out, help, kHelpColumn, kHelpColumn);
    } else {
        PrintLines(out, help, kHelpColumn - column, kHelpColumn);
    }
}

void PrintOptions(FILE *out, OptionGroup group)
{
    for (const OptionSpec &spec : OptionTable()) {
        if (spec.group == group) {
            PrintEntry(out, Label(spec), spec.help);
        }
    }
}

void PrintUsage(FILE *out)
{
    std::fputs("usage: zorvm_keytool COMMAND [--primary PATH] [--standby PATH] [options]\n\ncommands:\n", out);
    for (const CommandSpec &c : CommandTable()) {
        PrintEntry(out, Usage(c), c.help);
    }
    std::fputs("\na key on a PKCS#11 token (create/migrate --protect pkcs11, protect add pkcs11):\n", out);
    PrintOptions(out, OptionGroup::token);
    std::fputs("\noptions:\n", out);
    PrintOptions(out, OptionGroup::general);
    std::fputs("\nexit status: 0 success, 1 failure, 2 usage error, 3 verify: served but not healthy\n", out);
}

// One command's usage, help and options.
void PrintCommand(FILE *out, const CommandSpec &c)
{
    std::fprintf(out, "usage: zorvm_keytool %s\n\n", Usage(c).c_str());
    PrintLines(out, c.help, 0, 0);
    const OptMask shown = c.options | (EveryCommand() & ~(Bit(kOptHelp) | Bit(kOptVersion)));
    if (shown != 0 && c.touchesStore) {
        std::fputs("\noptions:\n", out);
        // Its own options first, those of its usage line leading.
        for (const OptMask part : {c.options, shown & ~c.options}) {
            for (const OptionGroup group : {OptionGroup::command, OptionGroup::general, OptionGroup::token}) {
                for (const OptionSpec &spec : OptionTable()) {
                    if ((part & Bit(spec.id)) != 0 && spec.group == group) {
                        PrintEntry(out, Label(spec), spec.help);
                    }
                }
            }
        }
    }
}

const OptionSpec *OptionByValue(int value)
{
    if (value >= kLongBase && value < kLongBase + static_cast<int>(kOptCount)) {
        return &OptionOf(static_cast<Opt>(value - kLongBase));
    }
    for (const OptionSpec &spec : OptionTable()) {
        if (spec.shortName != 0 && spec.shortName == value) {
            return &spec;
        }
    }
    return nullptr;
}

// A long option must be spelled out: an abbreviation would change meaning
// when an option is added.
bool SpelledOut(const char *typed, const OptionSpec &spec)
{
    if (std::strncmp(typed, "--", 2) != 0) {
        return true;
    }
    const std::string_view name(typed + 2, std::strcspn(typed + 2, "="));
    return name == spec.name;
}

// Reads the options in order; words gets the other arguments. -1 to go on,
// else the exit status.
int ReadOptions(int argc, char **argv, Options &o, std::vector<std::string> &words)
{
    std::vector<option> longOptions;
    std::string shortOptions = "-:"; // words in order; ':' for a missing value
    for (const OptionSpec &spec : OptionTable()) {
        longOptions.push_back(option{spec.name, spec.value != nullptr ? required_argument : no_argument, nullptr,
                                     kLongBase + static_cast<int>(spec.id)});
        if (spec.shortName != 0) {
            shortOptions += spec.shortName;
            shortOptions += spec.value != nullptr ? ":" : "";
        }
    }
    longOptions.push_back(option{});
    opterr = 0;
    optind = 1;
    for (;;) {
        const int at = optind;
        const int c = ::getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
        if (c == -1) {
            break;
        }
        if (c == 1) {
            words.emplace_back(optarg);
            continue;
        }
        const OptionSpec *spec = OptionByValue(c);
        if (c == ':') {
            return UsageError(std::string("option ") + argv[at] + " needs a value");
        }
        if (c == '?' || spec == nullptr || !SpelledOut(argv[at], *spec)) {
            return UsageError(std::string("unknown option '") + argv[at] + "'");
        }
        // An empty value is no value: "--dir ''" leaves --dir out.
        o.given |= optarg == nullptr || optarg[0] != '\0' ? Bit(spec->id) : 0;
        if (spec->id == kOptHelp) {
            PrintUsage(stdout);
            return kExitOk;
        }
        if (spec->id == kOptVersion) {
            std::printf("zorvm_keytool %s\n", ZORVA_VERSION);
            return kExitOk;
        }
        if (const std::string error = spec->set(o, optarg); !error.empty()) {
            return UsageError(error);
        }
    }
    for (int i = optind; i < argc; ++i) { // after "--"
        words.emplace_back(argv[i]);
    }
    return -1;
}

// Finds the command the words name and reads its arguments.
int ReadCommand(const std::vector<std::string> &words, Options &o, const CommandSpec *&command)
{
    o.command = words[0];
    const std::vector<const CommandSpec *> named = CommandsNamed(words[0]);
    if (named.empty()) {
        return UsageError("unknown command '" + words[0] + "'");
    }
    std::size_t used = 1;
    command = named.size() == 1 && named[0]->words == words[0] ? named[0] : nullptr;
    if (command == nullptr) {
        // A group: the second word picks the command.
        std::string choices;
        for (std::size_t i = 0; i < named.size(); ++i) {
            const std::string usage = Usage(*named[i]).substr(words[0].size() + 1);
            choices += (i == 0 ? "" : i + 1 == named.size() ? " or " : ", ") + usage;
            if (words.size() > 1 && words[0] + " " + words[1] == named[i]->words) {
                command = named[i];
            }
        }
        if (command == nullptr) {
            return UsageError(words[0] + " takes " + choices);
        }
        o.subcommand = words[1];
        used = 2;
    }
    // The arguments' names: "TYPE", "[COMMAND]" (optional).
    std::vector<std::string> names;
    std::size_t required = 0;
    for (std::string_view rest = command->arguments; !rest.empty();) {
        const std::string name(rest.substr(0, rest.find(' ')));
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
        required += name[0] != '[' ? 1 : 0;
        names.push_back(name[0] == '[' ? name.substr(1, name.size() - 2) : name);
    }
    const ArgumentSpec *last = nullptr;
    for (const ArgumentSpec &a : ArgumentTable()) {
        last = !names.empty() && names.back() == a.name ? &a : last;
    }
    const std::size_t given = words.size() - used;
    if (given < required || (given > names.size() && (last == nullptr || !last->rest))) {
        if (names.empty() && used == 1) {
            return UsageError("unexpected argument '" + words[used] + "'");
        }
        return UsageError(command->badArguments != nullptr ? std::string(command->badArguments)
                                                           : std::string(command->words) + ": wrong number of arguments");
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string word;
        if (i + 1 == names.size() && last != nullptr && last->rest) {
            for (std::size_t w = used + i; w < words.size(); ++w) {
                word += (word.empty() ? "" : " ") + words[w];
            }
        } else if (used + i < words.size()) {
            word = words[used + i];
        } else {
            continue; // an optional argument not given
        }
        o.argument = word;
        for (const ArgumentSpec &a : ArgumentTable()) {
            if (names[i] == a.name) {
                if (const std::string error = a.set(*command, o, word); !error.empty()) {
                    return UsageError(error);
                }
            }
        }
    }
    return -1;
}

// The options given must apply to the command and, for those of one slot
// technology, to the slot it makes.
int CheckOptions(const CommandSpec &c, const Options &o)
{
    const std::uint32_t made = MadeSlotNeeds(c, o);
    for (const OptionSpec &spec : OptionTable()) {
        if ((o.given & Bit(spec.id)) == 0) {
            continue;
        }
        if ((Bit(spec.id) & (c.options | EveryCommand())) == 0) {
            return UsageError("--" + std::string(spec.name) + " does not apply to '" + c.words + "'");
        }
        if (spec.needs != 0 && c.makesSlot && (made & spec.needs) == 0) {
            return UsageError("--" + std::string(spec.name) + " applies only to a slot of type " +
                              SlotTypeNames(QINT_SLOT_WRITTEN, spec.needs, " or ") + "; '" + c.words + "' makes " +
                              SlotTypeName(o.hasProtect ? o.protect : o.slotType != 0 ? o.slotType : QINT_PROTECT_HOST));
        }
    }
    if (c.check != nullptr) {
        if (const std::string error = c.check(o); !error.empty()) {
            return UsageError(error);
        }
    }
    if ((made & QINT_NEEDS_TOKEN) != 0 && (o.given & Bit(kOptUri)) == 0) {
        return UsageError("a pkcs11 slot needs --uri URI (and --module PATH unless the URI has module-path)");
    }
    if ((o.given & c.required) != c.required) {
        return UsageError(std::string(c.words) + " needs " + Labels(c.required, " and "));
    }
    const OptMask exclusive = o.given & c.exclusive;
    if ((exclusive & (exclusive - 1)) != 0) {
        return UsageError(std::string(c.words) + " takes " + Labels(c.exclusive, " or ") + ", not both");
    }
    return -1;
}

} // namespace

std::uint32_t MadeSlotNeeds(const CommandSpec &c, const Options &o)
{
    if (!c.makesSlot) {
        return 0;
    }
    return SlotTypeNeeds(o.hasProtect ? o.protect : o.slotType != 0 ? o.slotType : QINT_PROTECT_HOST);
}

bool NamedCopiesExist(const CommandSpec &c, const Options &o)
{
    if (c.store != StoreUse::reads) {
        return true;
    }
    const auto there = [](const std::string &path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
    };
    const bool primaryNamed = (o.given & Bit(kOptPrimary)) != 0, standbyNamed = (o.given & Bit(kOptStandby)) != 0;
    const bool primaryThere = there(o.primary), standbyThere = there(o.standby);
    const std::string *missing = primaryNamed && !primaryThere && !(standbyNamed && standbyThere) ? &o.primary
                                 : standbyNamed && !standbyThere && !(primaryNamed && primaryThere) ? &o.standby
                                                                                                    : nullptr;
    if (missing != nullptr) {
        std::fprintf(stderr, "zorvm_keytool: %s: %s: no such file (--%s)\n", c.words, missing->c_str(),
                     missing == &o.primary ? "primary" : "standby");
    }
    return missing == nullptr;
}

int UsageError(const std::string &message)
{
    std::fprintf(stderr, "zorvm_keytool: %s\nTry 'zorvm_keytool --help'.\n", message.c_str());
    return kExitUsage;
}

std::vector<const CommandSpec *> CommandsNamed(const std::string &words)
{
    std::vector<const CommandSpec *> rows;
    for (const CommandSpec &c : CommandTable()) {
        if (c.words == words || FirstWord(c.words) == words) {
            rows.push_back(&c);
        }
    }
    return rows;
}

int ParseCommandLine(int argc, char **argv, Options &o, const CommandSpec *&command)
{
    std::vector<std::string> words;
    if (const int rc = ReadOptions(argc, argv, o, words); rc >= 0) {
        return rc;
    }
    if (words.empty()) {
        return UsageError("no command given");
    }
    if (o.primary.empty() || o.standby.empty()) {
        return UsageError("--primary and --standby need a path");
    }
    if (const int rc = ReadCommand(words, o, command); rc >= 0) {
        return rc;
    }
    return CheckOptions(*command, o);
}

int Help(const Options &o)
{
    if (o.argument.empty()) {
        PrintUsage(stdout);
        return kExitOk;
    }
    const std::vector<const CommandSpec *> rows = CommandsNamed(o.argument);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::fputs(i == 0 ? "" : "\n", stdout);
        PrintCommand(stdout, *rows[i]);
    }
    return kExitOk;
}

} // namespace keytool
