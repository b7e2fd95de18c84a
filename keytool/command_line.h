// The key tool's command line as data: one row per option and one row per
// command (command_table.cpp). The parser (command_line.cpp), the help texts,
// the checks of which options apply and the dispatch all read these rows.
//
// To add an option: a value in Opt (in table order), a row in kOptions
// (command_table.cpp) with the setter that stores it in Options, and its bit
// in the rows of the commands it applies to. To add a command: a row in
// kCommands and its handler (int Handler(const Options &)); a positional
// argument that needs checking gets a row in kArguments.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "keytool.h"

namespace keytool {

// Option ids, in the order of the option table (and of the help text).
enum Opt : unsigned {
    kOptPrimary,
    kOptStandby,
    kOptHostKey,
    kOptTpm2Pcrs,
    kOptTpm2Signer,
    kOptPassphraseFd,
    kOptOwner,
    kOptHelp,
    kOptVersion,
    kOptUri,
    kOptModule,
    kOptGenerateKek,
    kOptPinFd,
    kOptPinSource,
    kOptForce,
    kOptDomain,
    kOptAll,
    kOptKeep,
    kOptDir,
    kOptProtect,
    kOptRecovery,
    kOptFor,
    kOptSignWith,
    kOptOut,
    kOptToken,
    kOptJson,
    kOptServiceUser,
    kOptReplace,
    kOptKeyId,
    kOptUnusedDays,
    kOptDryRun,
    kOptRecord,
    kOptUsage,
    kOptSigner,
    kOptPcrs,
    kOptCurrent,
    kOptValues,
    kOptCount,
};

using OptMask = std::uint64_t;
static_assert(kOptCount <= 64);
constexpr OptMask Bit(Opt o) { return OptMask{1} << o; }

// Where an option is explained in the full help text.
enum class OptionGroup {
    command, // in the usage lines of the commands that take it
    token,   // the section on keys on a PKCS#11 token
    general, // the options section
};

struct OptionSpec {
    Opt id;
    const char *name;  // without the leading "--"
    char shortName;    // 0: none
    const char *value; // the value's name in the help ("PATH"); null: a flag
    OptionGroup group;
    bool everyCommand;   // applies to every command
    std::uint32_t needs; // QINT_NEEDS_: applies only to commands that make a slot of such a type
    const char *help;    // lines separated by '\n'
    // Stores the value (null for a flag); "" or the usage error.
    std::string (*set)(Options &o, const char *value);
};

// What a command does with the store at --primary and --standby.
enum class StoreUse {
    reads, // works on an existing store: a copy named on the command line must exist
    makes, // makes the files (create, import)
    none,  // does not use them
};

struct CommandSpec {
    const char *words;                 // "create", "protect add"
    const char *help;                  // lines separated by '\n'
    int (*run)(const Options &o);      // the handler
    const char *arguments = "";        // positional: "DIR", "TYPE", "[COMMAND]" (optional)
    const char *synopsis = "";         // options shown in the usage line after the arguments
    OptMask options = 0;               // the options it takes besides the every-command ones
    OptMask required = 0;              // options it needs ("prune needs --keep N")
    OptMask exclusive = 0;             // options of which it takes at most one
    bool makesSlot = false;            // its options of one slot technology apply to the type it makes
    bool touchesStore = true;          // the callbacks are registered and the passphrase read before run
    StoreUse store = StoreUse::reads;
    const char *badArguments = nullptr; // with the wrong number of arguments; null: "WORDS: wrong number of
                                        // arguments", or "unexpected argument 'X'" for a command without any
    std::string (*check)(const Options &o) = nullptr; // further checks: "" or the usage error
};

std::span<const OptionSpec> OptionTable();
std::span<const CommandSpec> CommandTable();

// Positional arguments by name: checks a word and stores it in Options.
// "" or the usage error; the command's words name it in messages. An
// argument without a row is stored as it is in Options::argument.
struct ArgumentSpec {
    const char *name;
    bool rest; // takes every remaining word, none included
    std::string (*set)(const CommandSpec &c, Options &o, const std::string &word);
};
std::span<const ArgumentSpec> ArgumentTable();

// The handler of "help [COMMAND]": the full help text, or the usage and
// options of COMMAND.
int Help(const Options &o);

// Reads the command line into o and finds the command. -1 when the command
// is to run; otherwise the exit status (help, version, or a usage error,
// reported).
int ParseCommandLine(int argc, char **argv, Options &o, const CommandSpec *&command);

// The QINT_NEEDS_ of the slot type the command makes (--protect TYPE,
// protect add TYPE, host by default); 0 when it makes none.
std::uint32_t MadeSlotNeeds(const CommandSpec &c, const Options &o);

// The rows named by words: the command ("protect add"), or every command of
// a group ("protect"). Empty when none.
std::vector<const CommandSpec *> CommandsNamed(const std::string &words);

// Whether the copies named by --primary and --standby let the command run:
// false, with a message naming the file, when a copy named on the command
// line is missing and the other was not named or is missing too (a command
// never falls back to the default store).
bool NamedCopiesExist(const CommandSpec &c, const Options &o);

// "zorvm_keytool: MESSAGE" and where to find help on standard error;
// answers kExitUsage.
int UsageError(const std::string &message);

} // namespace keytool
