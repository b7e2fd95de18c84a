// zorvm_keytool as an operator uses it: commands, messages, exit statuses.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "json_writer.h"
#include "keystore_support.h"
#include "swtpm_instance.h"

using namespace kstest;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class KeytoolTest : public ::testing::Test {
protected:
    // The tool run from here uses a host key file of the test's own.
    KeytoolTest() { ::setenv("ZORVA_HOST_KEY", hostKey_.c_str(), 1); }

    ToolRun Tool(const std::string &args, bool withPaths = true)
    {
        const std::string out = dir_.File("out.txt"), err = dir_.File("err.txt");
        std::string cmd = std::string(ZORVM_KEYTOOL) + " " + args;
        if (withPaths) {
            cmd += " --primary " + primary_ + " --standby " + standby_;
        }
        cmd += " >" + out + " 2>" + err;
        const int raw = std::system(cmd.c_str());
        return ToolRun{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
    }

    TempDir dir_;
    std::string primary_ = dir_.File("primary.dat");
    std::string standby_ = dir_.File("standby.dat");
    std::string hostKey_ = dir_.File("host.key");
};

bool Has(const std::string &text, const std::string &needle) { return text.find(needle) != std::string::npos; }

// Whether text is exactly one JSON value (integers only as numbers).
class JsonCheck {
public:
    static bool Valid(std::string_view text)
    {
        JsonCheck c(text);
        const bool ok = c.Value();
        c.Space();
        return ok && c.at_ == text.size();
    }

private:
    explicit JsonCheck(std::string_view t) : t_(t) {}
    void Space()
    {
        while (at_ < t_.size() && (t_[at_] == ' ' || t_[at_] == '\n' || t_[at_] == '\t' || t_[at_] == '\r')) {
            ++at_;
        }
    }
    bool Eat(char c)
    {
        Space();
        return at_ < t_.size() && t_[at_] == c && ++at_ != 0;
    }
    bool Word(std::string_view w) { return t_.substr(at_, w.size()) == w && (at_ += w.size()) != 0; }
    bool String()
    {
        if (!Eat('"')) {
            return false;
        }
        while (at_ < t_.size() && t_[at_] != '"') {
            const unsigned char c = static_cast<unsigned char>(t_[at_++]);
            if (c < 0x20 || (c == '\\' && (at_ >= t_.size() || !std::strchr("\"\\/bfnrtu", t_[at_++])))) {
                return false;
            }
            if (c == '\\' && t_[at_ - 1] == 'u' &&
                (at_ + 4 > t_.size() || t_.substr(at_, 4).find_first_not_of("0123456789abcdefABCDEF") !=
                                            std::string_view::npos || (at_ += 4) == 0)) {
                return false;
            }
        }
        return at_++ < t_.size();
    }
    bool Value()
    {
        Space();
        const std::size_t start = at_;
        if (Eat('{') || Eat('[')) {
            const char close = t_[start] == '{' ? '}' : ']';
            if (Eat(close)) {
                return true;
            }
            do {
                if (close == '}' && !(String() && Eat(':'))) {
                    return false;
                }
                if (!Value()) {
                    return false;
                }
            } while (Eat(','));
            return Eat(close);
        }
        if (at_ < t_.size() && t_[at_] == '"') {
            return String();
        }
        if (Word("true") || Word("false") || Word("null")) {
            return true;
        }
        at_ += at_ < t_.size() && t_[at_] == '-';
        const std::size_t digits = at_;
        while (at_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[at_]))) {
            ++at_;
        }
        return at_ > digits && !(t_[digits] == '0' && at_ - digits > 1);
    }

    std::string_view t_;
    std::size_t at_ = 0;
};

// One JSON object on one line.
bool OneJsonLine(const std::string &out)
{
    return !out.empty() && out.find('\n') == out.size() - 1 && out[0] == '{' && JsonCheck::Valid(out);
}

TEST_F(KeytoolTest, UsageErrorsExitTwoAndHelpExitsZero)
{
    ToolRun r = Tool("--help", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "usage: zorvm_keytool COMMAND"));
    EXPECT_TRUE(Has(r.out, "/etc/zorvm_primary_file.dat"));
    EXPECT_EQ(Tool("", false).status, 2);
    r = Tool("frobnicate");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "unknown command 'frobnicate'"));
    EXPECT_EQ(Tool("rotate").status, 1) << "no domain named means all; with no store that fails";
    EXPECT_EQ(Tool("rotate --domain 9 --all").status, 2);
    EXPECT_EQ(Tool("rotate --domain nine").status, 2);
    EXPECT_EQ(Tool("rotate --domain -1").status, 2);
    EXPECT_EQ(Tool("prune --unused-days soon").status, 2);
    EXPECT_EQ(Tool("disable --domain 9").status, 2) << "needs --key-id too";
    EXPECT_EQ(Tool("prune --keep 99999999999").status, 2);
    EXPECT_EQ(Tool("backup").status, 2);
    EXPECT_EQ(Tool("list --force").status, 2);
    EXPECT_EQ(Tool("list --bogus").status, 2);
    EXPECT_EQ(Tool("list --primary").status, 2);
    EXPECT_FALSE(Exists(primary_)) << "usage errors touch nothing";
}

TEST_F(KeytoolTest, HelpOfOneCommandVersionAndOptionsOfAnotherCommand)
{
    ToolRun r = Tool("help prune", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "usage: zorvm_keytool prune [--unused-days N] [--dry-run] [--keep N]")) << r.out;
    EXPECT_TRUE(Has(r.out, "--owner USER") && !Has(r.out, "--dir")) << "the options prune takes, only";
    EXPECT_EQ(Tool("help frobnicate", false).status, 2);
    r = Tool("--version", false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("zorvm_keytool ", 0), 0u) << r.out;
    r = Tool("verify --owner root");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "does not apply to 'verify'")) << r.err;
}

TEST_F(KeytoolTest, CreateListRotatePruneAndBackup)
{
    ToolRun r = Tool("create");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Mode(primary_), 0600u);
    EXPECT_EQ(Mode(standby_), 0600u);

    r = Tool("create");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, primary_ + ": file already exists (use --force to overwrite)")) << r.err;
    const auto before = ReadBytes(primary_);
    EXPECT_EQ(Tool("create --force").status, 0);
    EXPECT_NE(ReadBytes(primary_), before);

    r = Tool("rotate --domain 9");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "rotated domain 9: key id 2 is active"));
    EXPECT_EQ(Tool("rotate --all").status, 0);
    r = Tool("rotate --domain 26");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "domain 26 is not one of the 37 key domains"));

    r = Tool("list");
    EXPECT_EQ(r.status, 0);
    std::istringstream lines(r.out);
    std::string line;
    int active = 0, retired = 0, total = 0;
    while (std::getline(lines, line)) {
        ++total;
        active += Has(line, " active ");
        retired += Has(line, " retired ");
    }
    EXPECT_EQ(active, 37);
    EXPECT_EQ(retired, 38);
    EXPECT_EQ(total, 3 + 75) << "a summary, the slot, a heading and one line per key; nothing else";
    EXPECT_TRUE(Has(r.out, "     9      3  active"));

    r = Tool("prune --keep 0");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "removed 38 retired key(s)"));

    r = Tool("backup --dir " + dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string bp = dir_.File("zorvm_primary_file.dat.membak");
    const std::string bs = dir_.File("zorvm_standby_file.dat.membak");
    EXPECT_EQ(ReadBytes(bp), ReadBytes(primary_));
    EXPECT_EQ(Mode(bs), 0600u);
    r = Tool("backup --dir " + dir_.File("no/such/dir"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Mode(dir_.File("no")), 0700u) << "missing folders on the way are made owner-only";
    EXPECT_EQ(Mode(dir_.File("no/such/dir")), 0700u);
}

// prune removes a disabled key only when no record shows it in use within
// --unused-days, judged from this host's record and hosts' 'usage --json'.
TEST_F(KeytoolTest, PruneRemovesOnlyDisabledKeysNoRecordShowsInUse)
{
    ASSERT_EQ(Tool("create").status, 0);
    ASSERT_EQ(Tool("rotate --domain 9").status, 0);
    ASSERT_EQ(Tool("rotate --domain 9").status, 0);
    ToolRun r = Tool("disable --domain 9 --key-id 3");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "key 3 of domain 9 is the domain's primary key: it cannot be disabled")) << r.err;
    ASSERT_EQ(Tool("disable --domain 9 --key-id 1").status, 0);
    ASSERT_EQ(Tool("disable --domain 9 --key-id 2").status, 0);
    EXPECT_TRUE(Has(Tool("list").out, "     9      1  disabled"));

    // Key 1 was asked for after "now" (a clock set back counts as recent),
    // key 2 forty days ago.
    const long now = static_cast<long>(::time(nullptr));
    const std::string record = dir_.File("key-usage");
    std::ofstream(record) << "zorva-key-usage 1\nwritten " << now << "\n9 1 4 " << now + 3600 << " 0 0\n9 2 7 "
                          << now - 40 * 86400 << " 0 0\n";
    const std::string withRecord = " --unused-days 0 --record " + record;
    const auto before = ReadBytes(primary_);
    r = Tool("prune --dry-run" + withRecord);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "goes   key 2 of domain 9: disabled")) << r.out;
    EXPECT_TRUE(Has(r.out, "stays  key 1 of domain 9: used ")) << r.out;
    EXPECT_TRUE(Has(r.out, "stays  key 1 of domain 0: the domain's primary key"));
    EXPECT_EQ(ReadBytes(primary_), before) << "a dry run writes nothing";
    r = Tool("prune --record " + record);
    EXPECT_TRUE(Has(r.out, "removed 0 key(s)")) << "disabled less than 30 days";

    // The same judged from a host's usage instead of this host's record.
    const std::string host = dir_.File("host1.json");
    std::ofstream(host) << Tool("usage --json --record " + record).out;
    r = Tool("prune --unused-days 0 --record " + dir_.File("none") + " --usage " + host);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "removed key 2 of domain 9")) << r.out;
    r = Tool("list");
    EXPECT_TRUE(Has(r.out, "     9      1  disabled") && !Has(r.out, "     9      2  ")) << r.out;

    // Without any record only --keep removes, and says what it cannot know.
    r = Tool("prune --record " + dir_.File("none"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "no usage record tells whether a key is still used; nothing removed")) << r.err;
    std::ofstream(record) << "zorva-key-usage 1\nwritten 1\n9 1 x\n";
    r = Tool("prune --record " + record);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "line 3: not six numbers")) << r.err;
    r = Tool("prune --keep 0 --record " + dir_.File("none"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "warning: no usage record: --keep 0 removes keys by count alone")) << r.err;
    EXPECT_TRUE(Has(r.out, "removed 1 retired key(s)")) << r.out;

    // Another store's usage is refused.
    const std::string other = " --primary " + dir_.File("p2") + " --standby " + dir_.File("s2");
    ASSERT_EQ(Tool("create" + other, false).status, 0);
    r = Tool("prune --usage " + host + other, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "the usage of another key store")) << r.err;
    // A host's file that is not whole, or from a host without a record.
    const std::string text = Slurp(host);
    std::ofstream(host) << text.substr(0, text.size() / 2);
    EXPECT_TRUE(Has(Tool("prune --usage " + host).err, "not the output of 'zorvm_keytool usage --json'"));
    std::ofstream(host) << Tool("usage --json --record " + dir_.File("none")).out;
    r = Tool("prune --usage " + host);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "had no usable usage record (missing)")) << r.err;
}

// usage says what the record is worth: old, open to others, or missing.
TEST_F(KeytoolTest, UsageShowsEachKeysUseAndSaysWhenTheRecordCannotBeTrusted)
{
    ASSERT_EQ(Tool("create").status, 0);
    ASSERT_EQ(Tool("rotate --domain 9").status, 0);
    const std::string record = dir_.File("key-usage");
    std::ofstream(record) << "zorva-key-usage 1\nwritten 1700000000\n9 1 12 1699999999 3 1700000000\n";
    ToolRun r = Tool("usage --record " + record);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +9 +1  retired .* 2023-11-14T22:13:19Z +12 +3\n)"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +9 +2  primary .* never +0 +0\n)"))) << r.out;
    EXPECT_TRUE(Has(r.err, "was written ") && Has(r.err, "days ago, more than a day")) << r.err;
    r = Tool("usage --json --record " + record);
    EXPECT_TRUE(Has(r.out, "\"key_id\":1,\"state\":\"retired\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"answered\":12,\"last_used\":\"2023-11-14T22:13:19Z\"")) << r.out;

    ASSERT_EQ(::chmod(record.c_str(), 0664), 0);
    r = Tool("usage --record " + record);
    EXPECT_TRUE(Has(r.err, "not used: writable by group or others: not trusted")) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +9 +1  retired .* never +0 +0\n)"))) << "counts unread";
    r = Tool("usage --record " + dir_.File("none"));
    EXPECT_TRUE(Has(r.err, "no usage record at " + dir_.File("none"))) << r.err;
}

TEST_F(KeytoolTest, VerifyNamesTheWrongCopyAndWhyAndServingButDamagedExitsThree)
{
    ASSERT_EQ(Tool("create").status, 0);
    ToolRun r = Tool("verify");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "key store healthy: both copies valid and equal"));

    const auto good = ReadBytes(standby_);
    auto bad = good;
    bad[500] ^= 4;
    WriteBytes(standby_, bad);
    r = Tool("verify");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, standby_ + ": damaged (key index)")) << r.err;
    EXPECT_TRUE(Has(r.err, "run 'zorvm_keytool repair'")) << r.err;
    EXPECT_TRUE(Has(r.out, primary_ + ": healthy (update 1), in use"));

    WriteBytes(standby_, good);
    ::unlink(primary_.c_str());
    r = Tool("verify");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, primary_ + ": file does not exist"));

    WriteBytes(primary_, good);
    ASSERT_EQ(Tool("rotate --domain 1").status, 0);
    WriteBytes(standby_, good); // an older copy
    r = Tool("verify");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, standby_ + ": differs from " + primary_ + " (update 1 against 2)")) << r.err;

    WriteBytes(primary_, std::vector<unsigned char>(good.begin(), good.begin() + 1000));
    r = Tool("verify");
    EXPECT_TRUE(Has(r.err, primary_ + ": damaged (truncated or extended)")) << r.err;
    WriteBytes(standby_, {});
    EXPECT_EQ(Tool("verify").status, 1) << "not served: no copy opens";
}

TEST_F(KeytoolTest, BothCopiesDamagedIsAnErrorAndNothingIsWritten)
{
    ASSERT_EQ(Tool("create").status, 0);
    auto p = ReadBytes(primary_);
    p[0] = 'Q';
    WriteBytes(primary_, p);
    WriteBytes(standby_, {});
    for (const char *cmd : {"rotate --all", "prune --keep 1", "list"}) {
        ToolRun r = Tool(cmd);
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_TRUE(Has(r.err, "no usable key store (both key-store files are damaged)")) << r.err;
        EXPECT_TRUE(Has(r.err, primary_ + ": not a key-store file")) << r.err;
        EXPECT_TRUE(Has(r.err, standby_ + ": wrong length")) << r.err;
    }
    EXPECT_EQ(ReadBytes(primary_), p);
    EXPECT_TRUE(ReadBytes(standby_).empty());
}

// A service may read the store at any moment of a rotation: each file is
// replaced whole by a rename, so a reader that opened the old file still
// reads it complete. The replacement keeps the old file's owner and mode
// only when that mode grants nothing to others.
TEST_F(KeytoolTest, RotationReplacesEachFileWholeKeepingOnlyASafeOwnerAndMode)
{
    ASSERT_EQ(Tool("create").status, 0);
    ASSERT_EQ(::chmod(primary_.c_str(), 0640), 0);
    ASSERT_EQ(::chmod(standby_.c_str(), 0644), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(primary_.c_str(), 1000, 1000), 0);
        ASSERT_EQ(::chown(standby_.c_str(), 1000, 1000), 0);
    }

    const auto before = ReadBytes(primary_);
    std::ifstream held(primary_, std::ios::binary);
    ASSERT_TRUE(held.good());
    ASSERT_EQ(Tool("rotate --all").status, 0);
    const std::vector<unsigned char> seen{std::istreambuf_iterator<char>(held), std::istreambuf_iterator<char>()};
    EXPECT_EQ(seen, before) << "the open old file is neither truncated nor rewritten";
    EXPECT_NE(ReadBytes(primary_), before);

    struct stat st {};
    ASSERT_EQ(::stat(primary_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1000u);
    }
    ASSERT_EQ(::stat(standby_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "a readable copy becomes owner-only";
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(Tool("verify").status, 0);

    // Nothing of the temporary files is left beside the store.
    const std::string listing = dir_.File("listing.txt");
    ASSERT_EQ(std::system(("ls -a " + dir_.path() + " >" + listing).c_str()), 0);
    EXPECT_FALSE(Has(Slurp(listing), ".tmp.")) << Slurp(listing);
}

TEST_F(KeytoolTest, ProtectionWithAPassphraseFromADescriptorAndTheHostKeyNamedInEveryRefusal)
{
    const std::string pass = dir_.File("pass"), wrong = dir_.File("wrong");
    WriteBytes(pass, {'o', 'p', 'e', 'n', ' ', 's', 'e', 's', 'a', 'm', 'e', '\n'});
    WriteBytes(wrong, {'s', 'e', 's', 'a', 'm', 'e', '\n'});
    ToolRun r = Tool("create --recovery --passphrase-fd 3 3<" + pass);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "created host key file " + hostKey_)) << r.out;
    EXPECT_EQ(Mode(hostKey_), 0400u);
    r = Tool("protect list");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "slot   1  host             opens here")) << r.out;
    EXPECT_TRUE(Has(r.out, "slot   2  recovery         not tried: no passphrase given")) << r.out;

    // Another host: no host key file. Every refusal names it.
    ASSERT_EQ(::unlink(hostKey_.c_str()), 0);
    r = Tool("list");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, hostKey_ + ": host key file does not exist")) << r.err;
    r = Tool("protect add host --passphrase-fd 3 3<" + wrong);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "wrong recovery passphrase")) << r.err;
    EXPECT_FALSE(Exists(hostKey_));
    r = Tool("protect add host --passphrase-fd 3 3<" + pass);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "added slot 3 (host)")) << r.out;
    EXPECT_EQ(Tool("verify").status, 0) << "bound to the new host key";
    r = Tool("protect remove 3");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "slot 3: refused")) << r.err;
    EXPECT_EQ(Tool("protect remove 1").status, 0);

    EXPECT_EQ(Tool("migrate").status, 2);
    EXPECT_EQ(Tool("create --protect recovery").status, 2);
    EXPECT_EQ(Tool("protect add disk").status, 2);
    EXPECT_EQ(Tool("protect remove one").status, 2);
    EXPECT_EQ(Tool("list --recovery").status, 2);
    EXPECT_EQ(Tool("rotate --tpm2-pcrs 7").status, 2);
    EXPECT_EQ(Tool("create --force --tpm2-pcrs 24").status, 2);
}

TEST_F(KeytoolTest, MigrateTurnsAFormatOneStoreIntoAHostStore)
{
    const auto old = ReadBytes(ZORVA_KEYSTORE_FIXTURES "/format1/zorvm_store.dat");
    WriteBytes(primary_, old);
    WriteBytes(standby_, old);
    ToolRun r = Tool("list");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "format 1"));
    EXPECT_TRUE(Has(r.out, "builtin")) << r.out;
    EXPECT_TRUE(Has(r.out, "'zorvm_keytool migrate --protect host'")) << r.out;
    r = Tool("rotate --domain 9");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "migrate --protect host")) << r.err;
    EXPECT_EQ(ReadBytes(primary_), old);

    r = Tool("migrate --protect host");
    ASSERT_EQ(r.status, 0) << r.err;
    r = Tool("list");
    EXPECT_TRUE(Has(r.out, "format 3")) << r.out;
    EXPECT_TRUE(Has(r.out, "slot   1  host             opens here")) << r.out;
    EXPECT_TRUE(Has(r.out, "     9      2  active")) << "every key and key id kept";
    EXPECT_EQ(Tool("rotate --domain 9").status, 0);
}

TEST_F(KeytoolTest, ATpmSlotOpensOnlyOnItsTpmWhileThePcrsHoldAndRecoveryMovesTheStore)
{
    if (!zorva_test::SwtpmInstalled()) {
        GTEST_SKIP() << "swtpm is not installed";
    }
    zorva_test::Swtpm home;
    ASSERT_TRUE(home.Ready()) << home.Error();
    const std::string pass = dir_.File("pass");
    WriteBytes(pass, {'t', 'p', 'm', ' ', 'g', 'o', 'n', 'e', '\n'});
    {
        zorva_test::ScopedTcti use(home.Tcti());
        ToolRun r = Tool("create --protect tpm2 --tpm2-pcrs 16 --recovery --passphrase-fd 3 3<" + pass);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Has(r.out, "slot   1  tpm2 (PCR 16)    opens here")) << r.out;
        EXPECT_FALSE(Exists(hostKey_)) << "a tpm2 store needs no host key file";
        EXPECT_EQ(Tool("rotate --domain 9").status, 0);
        EXPECT_EQ(Tool("verify").status, 0);
    }
    {
        zorva_test::Swtpm other;
        ASSERT_TRUE(other.Ready()) << other.Error();
        zorva_test::ScopedTcti use(other.Tcti());
        ToolRun r = Tool("list");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "does not unseal on this TPM")) << r.err;
        // The recovery slot moves it to this "new host" and binds it here.
        r = Tool("protect add host+tpm2 --passphrase-fd 3 3<" + pass);
        ASSERT_EQ(r.status, 0) << r.err;
        r = Tool("protect list");
        EXPECT_TRUE(Has(r.out, "slot   3  host+tpm2        opens here")) << r.out;
    }
    zorva_test::ScopedTcti use(home.Tcti());
    std::string why;
    ASSERT_TRUE(zorva_test::ExtendPcr(home.Tcti(), 16, why)) << why;
    ToolRun r = Tool("protect list");
    EXPECT_TRUE(Has(r.out, "slot   1  tpm2 (PCR 16)    does not open here: the PCR values the slot is bound to have "
                           "changed (PCR 16)"))
        << r.out;
    home.Stop();
    r = Tool("verify");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "no TPM reachable")) << r.err;
}

// A slot sealed to a signer opens only through policies root installed: it
// is made only when one opens it now (else nothing is written), only with a
// signer's public key and PCRs, and not while the installed list is open to
// others' writes.
TEST_F(KeytoolTest, ASignedSlotIsMadeOnlyWhenAnInstalledPolicyOpensIt)
{
    if (!zorva_test::SwtpmInstalled()) {
        GTEST_SKIP() << "swtpm is not installed";
    }
    zorva_test::Swtpm tpm;
    ASSERT_TRUE(tpm.Ready()) << tpm.Error();
    zorva_test::ScopedTcti use(tpm.Tcti());
    const std::string config = dir_.File("config"), key = dir_.File("signer.pem"), pub = key + ".pub";
    ASSERT_EQ(::mkdir(config.c_str(), 0755), 0);
    ::setenv("ZORVA_HOST_CONFIG", config.c_str(), 1);
    EVP_PKEY *pair = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    for (const bool privateKey : {true, false}) {
        BIO *bio = BIO_new_file((privateKey ? key : pub).c_str(), "w");
        ASSERT_EQ(privateKey ? PEM_write_bio_PrivateKey(bio, pair, nullptr, nullptr, 0, nullptr, nullptr)
                             : PEM_write_bio_PUBKEY(bio, pair),
                  1);
        BIO_free(bio);
    }
    EVP_PKEY_free(pair);

    EXPECT_EQ(Tool("create --protect tpm2 --tpm2-signer " + pub).status, 2) << "no PCRs";
    EXPECT_EQ(Tool("create --tpm2-pcrs 16 --tpm2-signer " + pub).status, 2) << "a host slot";
    ToolRun r = Tool("create --protect tpm2 --tpm2-pcrs 16 --tpm2-signer " + key);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "a private key")) << r.err;
    r = Tool("create --protect tpm2 --tpm2-pcrs 16 --tpm2-signer " + pub);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "no signed PCR policy by the slot's signer")) << r.err;
    EXPECT_FALSE(Exists(primary_));

    // A policy file is an installed list of one.
    const std::string installed = config + "/tpm2-policies";
    ASSERT_EQ(Tool("tpm2-policy sign --signer " + key + " --pcrs 16 --current --out " + installed).status, 0);
    r = Tool("create --protect tpm2 --tpm2-pcrs 16 --tpm2-signer " + pub);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "opens here\n  opens through installed PCR policies signed by ")) << r.out;
    ASSERT_EQ(::chmod(installed.c_str(), 0664), 0);
    r = Tool("verify");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "the host configuration is unsafe")) << r.err;
    r = Tool("tpm2-policy list");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, installed + ": writable by group or others")) << r.err;
    ::unsetenv("ZORVA_HOST_CONFIG");
}

// Key-store files and backups are regular files reached without links, in
// folders only their owner can write. Root's backup into a folder another
// user prepared must not overwrite what that user's link names.
TEST_F(KeytoolTest, LinksAndFoldersOthersCanWriteAreNeverWrittenThrough)
{
    ASSERT_EQ(Tool("create").status, 0);
    const std::string target = dir_.File("shadow"); // stands in for /etc/shadow
    {
        std::ofstream(target) << "root:$6$secret:19000::::::\n";
    }
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    auto targetUntouched = [&] {
        EXPECT_EQ(Slurp(target), "root:$6$secret:19000::::::\n");
        EXPECT_EQ(Mode(target), 0640u);
    };

    // A store copy that is a link: refused in the rule's words, nothing written.
    const std::string realStandby = dir_.File("real-standby.dat");
    ASSERT_EQ(::rename(standby_.c_str(), realStandby.c_str()), 0);
    ASSERT_EQ(::symlink(realStandby.c_str(), standby_.c_str()), 0);
    const auto primaryBefore = ReadBytes(primary_), standbyBefore = ReadBytes(realStandby);
    ToolRun r = Tool("rotate --all");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "Key-store file (" + standby_ +
                               ") is a symbolic link; key-store files must be regular files reached without links."))
        << r.err;
    EXPECT_EQ(ReadBytes(primary_), primaryBefore);
    EXPECT_EQ(ReadBytes(realStandby), standbyBefore);
    ASSERT_EQ(::unlink(standby_.c_str()), 0);
    ASSERT_EQ(::rename(realStandby.c_str(), standby_.c_str()), 0);

    // A folder everyone can write, with a planted link to the target.
    const std::string open = dir_.File("open");
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
    ASSERT_EQ(::symlink(target.c_str(), (open + "/zorvm_primary_file.dat.membak").c_str()), 0);
    r = Tool("backup --dir " + open);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "users other than its owner can write this folder")) << r.err;
    targetUntouched();

    // The same link in a folder of our own is refused as a link.
    ASSERT_EQ(::chmod(open.c_str(), 0700), 0);
    r = Tool("backup --dir " + open);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "/zorvm_primary_file.dat.membak) is a symbolic link")) << r.err;
    targetUntouched();

    if (::geteuid() == 0) {
        // A folder of another user: a backup file that user pre-created
        // would leave the keys in that user's hands.
        ASSERT_EQ(::unlink((open + "/zorvm_primary_file.dat.membak").c_str()), 0);
        ASSERT_EQ(::chown(open.c_str(), 1000, 1000), 0);
        r = Tool("backup --dir " + open);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "the folder belongs to another user (uid 1000)")) << r.err;
    }

    // A missing backup folder is made owner-only, its files 0600, owned as asked.
    const std::string fresh = dir_.File("fresh");
    const bool root = ::geteuid() == 0;
    r = Tool(std::string("backup --dir ") + fresh + (root ? " --owner 1000" : ""));
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, root ? 1000u : ::geteuid());
    ASSERT_EQ(::stat((fresh + "/zorvm_standby_file.dat.membak").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, root ? 1000u : ::geteuid());
    EXPECT_EQ(Tool("backup --dir " + fresh + " --owner no-such-user-here").status, 1);
}

// One byte in the standby's slot area is damage of the standby, in that
// slot, not a store of another host: the read-only commands say so, repair
// rewrites it from the primary, and never overwrites a copy of another store.
TEST_F(KeytoolTest, DamageInTheStandbysSlotAreaIsNamedAndRepaired)
{
    const std::string pass = dir_.File("pass");
    WriteBytes(pass, {'s', 'l', 'o', 't', '\n'});
    ASSERT_EQ(Tool("create --recovery --passphrase-fd 3 3<" + pass).status, 0);
    const auto good = ReadBytes(standby_);
    auto bad = good;
    bad[88 + 64 + 18] ^= 1; // past the header and the host slot: inside slot 2
    WriteBytes(standby_, bad);
    ToolRun r = Tool("verify");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, standby_ + ": damaged (slot 2)")) << r.err;
    EXPECT_FALSE(Has(r.err + r.out, "another host")) << r.err;
    for (const std::string &readOnly : {std::string("list"), std::string("protect list"), "backup --dir " + dir_.File("b")}) {
        r = Tool(readOnly);
        EXPECT_EQ(r.status, 0) << readOnly;
        EXPECT_TRUE(Has(r.err, standby_ + ": damaged (slot 2); used " + primary_ + ": run 'zorvm_keytool repair'"))
            << readOnly << ": " << r.err;
    }
    EXPECT_EQ(ReadBytes(standby_), bad) << "read-only commands leave it";

    r = Tool("repair");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "rewrote " + standby_ + " from " + primary_ + " (it was: damaged (slot 2))")) << r.out;
    EXPECT_EQ(ReadBytes(standby_), ReadBytes(primary_));
    EXPECT_EQ(Tool("verify").status, 0);
    EXPECT_TRUE(Has(Tool("repair").out, "nothing to repair"));

    // A standby of another store is left as it is.
    const std::string other = dir_.File("other");
    ASSERT_EQ(Tool("create --primary " + other + ".p --standby " + other + ".s", false).status, 0);
    const auto foreign = ReadBytes(other + ".s");
    WriteBytes(standby_, foreign);
    r = Tool("repair");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "never overwrites a copy of another store")) << r.err;
    EXPECT_EQ(ReadBytes(standby_), foreign);
}

// migrate keeps the recovery slot (it needs its passphrase to take the new
// root key) unless --replace; a slot like one that opens already is not added
// twice; an option for another slot type is a usage error.
TEST_F(KeytoolTest, MigrateKeepsTheRecoverySlotUnlessReplaced)
{
    const std::string pass = dir_.File("pass");
    WriteBytes(pass, {'k', 'e', 'p', 't', '\n'});
    ASSERT_EQ(Tool("create --recovery --passphrase-fd 3 3<" + pass).status, 0);
    const auto before = ReadBytes(primary_);
    ToolRun r = Tool("migrate --protect host </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "slot 2 (recovery) is kept and needs its passphrase")) << r.err;
    EXPECT_TRUE(Has(r.err, "--passphrase-fd N") && Has(r.err, "--replace")) << r.err;
    EXPECT_EQ(ReadBytes(primary_), before);

    r = Tool("migrate --protect host --passphrase-fd 3 3<" + pass);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "kept: slot 2 (recovery)\nreplaced: slot 1 (host)\nnew: slot 1 (host)")) << r.out;
    r = Tool("protect add host");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "slot 1 (host) is such a slot already and opens here; nothing changed")) << r.out;
    ASSERT_EQ(::rename(hostKey_.c_str(), (hostKey_ + ".away").c_str()), 0);
    EXPECT_EQ(Tool("list --passphrase-fd 3 3<" + pass).status, 0) << "the kept slot opens the new root key";
    ASSERT_EQ(::rename((hostKey_ + ".away").c_str(), hostKey_.c_str()), 0);

    r = Tool("migrate --protect host --replace");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "replaced: slot 1 (host), slot 2 (recovery)")) << r.out;
    EXPECT_FALSE(Has(Tool("protect list").out, "recovery"));

    r = Tool("migrate --protect host --tpm2-pcrs 7");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Has(r.err, "--tpm2-pcrs applies only to a slot of type tpm2 or host+tpm2; 'migrate' makes host"))
        << r.err;
    r = Tool("list --primary " + dir_.File("missing.dat"), false);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, dir_.File("missing.dat") + ": no such file")) << "no fall-back to the default store";
}

// On a host where only the recovery slot opens, the service cannot serve:
// verify says so even with the passphrase, and a command that needs the
// passphrase without a terminal names --passphrase-fd.
TEST_F(KeytoolTest, OnlyTheRecoverySlotOpensHereIsNotServedAndNeedsAPassphraseDescriptor)
{
    const std::string pass = dir_.File("pass");
    WriteBytes(pass, {'n', 'e', 'w', '\n'});
    ASSERT_EQ(Tool("create --recovery --passphrase-fd 3 3<" + pass).status, 0);
    ASSERT_EQ(::unlink(hostKey_.c_str()), 0);
    ToolRun r = Tool("verify --passphrase-fd 3 3<" + pass);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "only a recovery slot opens the store here, and the service has no passphrase")) << r.err;
    r = Tool("protect add host </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "no terminal to ask for its passphrase: give it with --passphrase-fd N")) << r.err;

    // export makes its folder and the ones above it, owner-only.
    ASSERT_EQ(Tool("protect add host --passphrase-fd 3 3<" + pass).status, 0);
    ASSERT_EQ(Tool("admin-key create --out " + dir_.File("admin"), false).status, 0);
    const std::string id = Tool("host-id", false).out;
    r = Tool("export --for " + id.substr(0, id.find('\n')) + " --sign-with " + dir_.File("admin") + " --out " +
             dir_.File("to/host1"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Mode(dir_.File("to")), 0700u);
    EXPECT_TRUE(Exists(dir_.File("to/host1/zorvm_export.sig")));
}

TEST_F(KeytoolTest, VerifyFlagsWhatTheServiceUserCannotRead)
{
    ASSERT_EQ(Tool("create").status, 0);
    ToolRun r = Tool("verify --service-user nobody");
    EXPECT_EQ(r.status, 3) << "served, but not by that user";
    EXPECT_TRUE(Has(r.err, "service user nobody cannot read the primary: " + dir_.path() + ": no search permission"))
        << r.err;
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
    r = Tool("verify --service-user nobody");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(Has(r.err, "service user nobody cannot read the standby: " + standby_ + ": not readable (owner "))
        << r.err;
    EXPECT_TRUE(Has(r.err, "service user nobody cannot read the host key: " + hostKey_ + ": not readable")) << r.err;
    EXPECT_EQ(Tool("verify --service-user no-such-user-here").status, 1);
}

TEST_F(KeytoolTest, JsonOfListVerifyAndProtectListParses)
{
    ASSERT_EQ(Tool("create").status, 0);
    ToolRun r = Tool("list --json");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(OneJsonLine(r.out)) << r.out;
    EXPECT_TRUE(Has(r.out, R"("format":3,"update":1,)")) << r.out;
    EXPECT_TRUE(Has(r.out, R"({"domain":150,"key_id":1,"state":"active","created":")")) << r.out;
    auto bad = ReadBytes(standby_);
    bad[100] ^= 1;
    WriteBytes(standby_, bad);
    r = Tool("verify --json");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(OneJsonLine(r.out)) << r.out;
    EXPECT_TRUE(Has(r.out, R"("role":"standby","path":")" + standby_ +
                               R"(","state":"damaged","where":"slot","slot":1,"update":1,"in_use":false)"))
        << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
    r = Tool("protect list --json");
    EXPECT_TRUE(OneJsonLine(r.out)) << r.out;
    EXPECT_TRUE(Has(r.out, R"("slots":[{"id":1,"type":"host","pcrs":[],"token":null,"opens":true,)")) << r.out;

    keytool::JsonWriter j;
    j.BeginObject().Field("p", "q\"b\\\n\x01\x7f\xc3\xa9\xff\xc0\xaf").Key("a").BeginArray().Unsigned(7).Null();
    j.EndArray().EndObject();
    EXPECT_EQ(j.Text(), R"({"p":"q\"b\\\n\u0001\u007f)" "\xc3\xa9" R"(\ufffd\ufffd\ufffd","a":[7,null]})");
    EXPECT_TRUE(JsonCheck::Valid(j.Text()));
    EXPECT_FALSE(JsonCheck::Valid(R"({"a":1,})"));
}

} // namespace
