// The daemon, the tool and the reference client as a user meets them: real
// agent and key store, a key store made by zorvm_keytool at the fixed paths,
// all inside a private mount namespace (tests/isolated.sh).
#include "processes.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace {

using namespace e2e;
using namespace std::chrono_literals;

// The cipher text of secret, as the tool prints it after "cipher_text:".
std::string CipherOf(const std::string &secret)
{
    const Outcome o = Encrypt(secret);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out.rfind("cipher_text:", 0), 0u) << o.out;
    return o.out.size() > 12 ? o.out.substr(12) : std::string();
}

std::string UniqueName(const std::string &tag) { return "zorva-e2e-" + tag + "-" + std::to_string(getpid()); }

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// Base64 both ways, to forge cipher texts the way an attacker edits them.
std::string Unbase64(const std::string &text)
{
    std::string raw(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(raw.data()),
                                  reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    raw.resize(n > 0 ? static_cast<size_t>(n) - std::count(text.end() - 2, text.end(), '=') : 0);
    return raw;
}

std::string Base64(const std::string &raw)
{
    std::string text(4 * ((raw.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()),
                                  reinterpret_cast<const unsigned char *>(raw.data()), static_cast<int>(raw.size()));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

const std::regex kConsoleLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[(Warn|Error)\]\[[A-Za-z]+\]\[\d+\][^\n]*)");

// ---------------------------------------------------------------------------
// Start-up and the socket name

TEST(DaemonStart, WithoutSocketNameTwoErrorLinesAndStatus255)
{
    Daemon daemon(std::nullopt);
    EXPECT_EQ(daemon.WaitExit(5s), 255);
    const std::string err = daemon.Err();
    EXPECT_TRUE(std::regex_match(err, std::regex(R"(\[[^\]]+\]\[Error\]\[BrimInitServerConf\]\[\d+\]Failed get unix socket\.\n)"
                                                 R"(\[[^\]]+\]\[Error\]\[main\]\[\d+\]Failed create init server\.\n)")))
        << err;
    EXPECT_EQ(daemon.Out(), "");
}

TEST(DaemonStart, NameOf107CharactersBindsAnd108IsRefused)
{
    const std::string tail = UniqueName("len");
    const std::string longest = "@" + tail + std::string(106 - tail.size(), 'n');
    ASSERT_EQ(longest.size(), 107u);
    {
        Daemon daemon(longest);
        EXPECT_TRUE(daemon.WaitListening());
    }
    Daemon daemon(longest + "n");
    EXPECT_EQ(daemon.WaitExit(5s), 255);
    EXPECT_NE(daemon.Err().find("][Error][BrimInitServerConf]["), std::string::npos);
    EXPECT_NE(daemon.Err().find("]Failed copy unix name, ret{162}.\n"), std::string::npos) << daemon.Err();
    EXPECT_NE(daemon.Err().find("]Failed create init server.\n"), std::string::npos);
}

TEST(DaemonStart, FirstCharacterIsDroppedAndNoFileIsMade)
{
    const std::string name = UniqueName("abc");
    Daemon daemon("X" + name, {"--ignored", "arguments"});
    ASSERT_TRUE(daemon.WaitListening());
    EXPECT_FALSE(AbstractNameBound("X" + name));
    EXPECT_TRUE(Talk(name, Frame("x"), AsUser(0)).connected);
    EXPECT_FALSE(Talk("X" + name, Frame("x")).connected);
    EXPECT_EQ(RunProgram({"/bin/ls", "-A", daemon.WorkDir()}).out, "") << "the socket lives in no folder";
}

TEST(DaemonStart, ProgramsLoadTheAgentAndExportOnlyTheBoundedFunctions)
{
    if (kSanitized) {
        GTEST_SKIP() << "a sanitizer runtime exports its own interceptors from every program";
    }
    const std::string expected =
        "SecVsnprintfImpl\nmemcpy_s\nmemcpy_sOptAsm\nmemcpy_sOptTc\nmemset_s\nmemset_sOptAsm\nmemset_sOptTc\n"
        "sprintf_s\nstrcpy_error\nstrcpy_s\nvsprintf_s\n";
    for (const char *program : {"uds_decrypt_server", "encrypt_tool"}) {
        const Outcome nm = RunProgram({"/bin/sh", "-c",
                                "nm -D --defined-only " + BinPath(program) +
                                    " | awk '$2 != \"A\" && $3 !~ /^__(asan|lsan|ubsan|tsan|sanitizer)_/ {print $3}'"
                                    " | LC_ALL=C sort"});
        EXPECT_EQ(nm.out, expected) << program;
        const Outcome needed = RunProgram({"/bin/sh", "-c", "readelf -d " + BinPath(program) + " | grep NEEDED"});
        for (const char *lib : {"[libzorva.so]", "[libZORV.so]", "[libMUR.so]"}) {
            EXPECT_NE(needed.out.find(lib), std::string::npos) << program << " " << lib;
        }
    }
}

// ---------------------------------------------------------------------------
// Serving, with a key store and a running daemon

class Serving : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!Isolated()) {
            return;
        }
        RemoveKeyStore();
        const Outcome created = Keytool("create");
        ASSERT_EQ(created.status, 0) << created.out << created.err;
        name_ = new std::string(UniqueName("serve"));
        daemon_ = new Daemon("@" + *name_);
        ASSERT_TRUE(daemon_->WaitListening()) << daemon_->Err();
    }
    static void TearDownTestSuite()
    {
        delete daemon_;
        delete name_;
        daemon_ = nullptr;
        name_ = nullptr;
    }
    void SetUp() override
    {
        REQUIRE_ISOLATION();
        ASSERT_NE(daemon_, nullptr);
        outBefore_ = daemon_->Out().size();
        errBefore_ = daemon_->Err().size();
    }
    // Console text the daemon wrote since the test began.
    std::string NewOut() const { return daemon_->Out().substr(outBefore_); }
    std::string NewErr() const { return daemon_->Err().substr(errBefore_); }
    Exchange Ask(const std::string &data, const ExchangeOptions &options = ExchangeOptions()) const
    {
        return Talk(*name_, Frame(data), options);
    }
    Outcome Client(const std::vector<std::string> &args, uint32_t uid, const std::string &stdinText = "") const
    {
        std::vector<std::string> argv{BinPath("uds_decrypt_client")};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, WithEnv({{"DS_MINIO_UDS_NAME", "@" + *name_}}, uid, stdinText));
    }

    static Daemon *daemon_;
    static std::string *name_;
    size_t outBefore_ = 0, errBefore_ = 0;
};
Daemon *Serving::daemon_ = nullptr;
std::string *Serving::name_ = nullptr;

TEST_F(Serving, AnswerIsTheFramedPlainTextThenClose)
{
    const std::string cipher = CipherOf("s3cret value");
    const Exchange e = Ask(cipher);
    ASSERT_TRUE(e.connected);
    EXPECT_EQ(e.response, Response("s3cret value"));
    EXPECT_EQ(e.response.substr(0, 4), std::string("\0\0\0\x0c", 4)) << "length big-endian in bytes 0 to 3";
    EXPECT_EQ(e.response.substr(4, 60), std::string(60, '\0'));
    EXPECT_EQ(NewOut() + NewErr(), "");
}

TEST_F(Serving, NoCopyOfTheSecretStaysInTheDaemonAfterTheAnswer)
{
    const std::string secret = "wipe-me-" + std::to_string(getpid()) + "-7f3a9c";
    ASSERT_EQ(Ask(CipherOf(secret)).response, Response(secret));
    ASSERT_TRUE(MemoryHolds(daemon_->Pid(), "DS_MINIO_UDS_NAME=@" + *name_)) << "the daemon's memory is readable";
    EXPECT_FALSE(MemoryHolds(daemon_->Pid(), secret));
}

TEST_F(Serving, ReferenceClientPrintsThePlainTextAlone)
{
    const std::string cipher = CipherOf("from the client");
    Outcome o = Client({cipher}, 1000);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "from the client");
    o = Client({}, 1000, cipher + "\n");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "from the client");

    o = Client({cipher}, 0);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("uds_decrypt_client: "), std::string::npos);

    o = RunProgram({BinPath("uds_decrypt_client"), cipher}, WithEnv({{"DS_MINIO_UDS_NAME", std::nullopt}}));
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("DS_MINIO_UDS_NAME"), std::string::npos);
    o = RunProgram({BinPath("uds_decrypt_client"), cipher}, WithEnv({{"DS_MINIO_UDS_NAME", "@nobody-listens-here"}}));
    EXPECT_EQ(o.status, 2);
    o = RunProgram({BinPath("uds_decrypt_client"), "--help"});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("Usage: uds_decrypt_client"), std::string::npos);
    // Refused at once, not after the daemon's time-out.
    for (const std::string &bad : {std::string(), std::string(2048, 'A')}) {
        o = Client({bad}, 1000);
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find(bad.empty() ? "no cipher text" : "too long"), std::string::npos) << o.err;
    }
}

TEST_F(Serving, RootIsRefusedWithoutAByteAndTheNextClientIsServed)
{
    const std::string cipher = CipherOf("after root");
    // A user id's refusal is shown at most once a second; the tests before
    // may have had root refused a moment ago.
    std::this_thread::sleep_for(1100ms);
    const Exchange refused = Ask(cipher, AsUser(0));
    EXPECT_TRUE(refused.connected);
    EXPECT_EQ(refused.response, "");
    EXPECT_EQ(Ask(cipher).response, Response("after root"));
    EXPECT_TRUE(std::regex_search(NewOut(), std::regex(R"(\]\[Warn\]\[BrimGetRequest\]\[\d+\]connect from unallow client uid\{0\}\.\n)")))
        << NewOut();
}

TEST_F(Serving, DataOf2047BytesIsReadAnd2048Refused)
{
    EXPECT_EQ(Ask(std::string(2047, 'A')).response, "");
    EXPECT_NE(NewErr().find("][Error][BrimDecrypt]["), std::string::npos) << "2047 bytes reached decryption";
    EXPECT_EQ(NewOut().find("Failed recv from client"), std::string::npos);
    EXPECT_EQ(Ask(std::string(2048, 'A')).response, "");
    EXPECT_NE(NewOut().find("][Warn][BrimGetRequest]["), std::string::npos);
    EXPECT_NE(NewOut().find("]Failed recv from client, ret{2048}.\n"), std::string::npos) << NewOut();
}

TEST_F(Serving, PlainTextOf960BytesIsAnsweredAnd961IsNot)
{
    const std::string largest(960, 'L');
    const Exchange fits = Ask(CipherOf(largest));
    EXPECT_EQ(fits.response.size(), 1024u);
    EXPECT_EQ(fits.response, Response(largest));
    EXPECT_EQ(Ask(CipherOf(largest + "M")).response, "");
    EXPECT_NE(NewErr().find("][Error][BrimSendResponse]["), std::string::npos);
    EXPECT_NE(NewErr().find("]Data length {961} exceeded.\n"), std::string::npos) << NewErr();
}

TEST_F(Serving, EmptySecretIsAnsweredWithLengthZero)
{
    const std::string cipher = CipherOf("");
    EXPECT_EQ(Ask(cipher).response, std::string(64, '\0'));
    const Outcome o = Client({cipher}, 1000);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(NewOut() + NewErr(), "");
}

TEST_F(Serving, FailedDecryptionClosesSilentlyAndTheNextClientIsServed)
{
    const std::string cipher = CipherOf("still served");
    std::string tampered = cipher;
    tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
    EXPECT_EQ(Ask(tampered).response, "");
    EXPECT_EQ(Ask("bm90IGEgY2lwaGVyIHRleHQ=").response, "");
    EXPECT_EQ(Ask(cipher).response, Response("still served"));
    EXPECT_EQ(Count(NewErr(), "]Failed to decrypt, ret {"), 2u) << NewErr();
    EXPECT_TRUE(std::regex_search(NewErr(), std::regex(R"(\]\[Error\]\[BrimDecrypt\]\[\d+\]Failed to decrypt, ret \{-?\d+\}\.\n)")));
}

// After "Failed to decrypt" the daemon names the cause in one more line; the
// agent's own lines stay off the console.
TEST_F(Serving, FailedDecryptionIsFollowedByItsCause)
{
    const std::string beforePruning = CipherOf("made under a retired key");
    ASSERT_EQ(Keytool("rotate", {"--domain", "9"}).status, 0);
    ASSERT_EQ(Keytool("prune", {"--keep", "0"}).status, 0);
    const std::string sealed = Unbase64(CipherOf("the cause is told"));
    ASSERT_GT(sealed.size(), 40u);
    std::string otherDomain = sealed;
    otherDomain[4] = 5; // the header's domain field, little-endian
    std::string tampered = sealed;
    tampered[sealed.size() - 20] ^= 0x01;

    const std::vector<std::pair<std::string, std::string>> cases{
        {"not*Base64*at*all!", "Cause: not Base64 text."},
        {Base64(sealed.substr(0, 30)), "Cause: malformed or truncated cipher text."},
        {Base64(otherDomain), "Cause: unknown domain (the cipher text is for another key domain)."},
        {beforePruning, "Cause: key id not in the key store (pruned, or a cipher text from another store)."},
        {Base64(tampered), "Cause: authentication failed (damaged or tampered cipher text)."},
    };
    for (const auto &[request, cause] : cases) {
        const size_t errBefore = daemon_->Err().size();
        EXPECT_EQ(Ask(request).response, "") << cause;
        const std::string err = daemon_->Err().substr(errBefore);
        EXPECT_TRUE(std::regex_match(err, std::regex(R"(\[[^\]]+\]\[Error\]\[BrimDecrypt\]\[\d+\]Failed to decrypt, ret \{-1\}\.\n)"
                                                     R"(\[[^\]]+\]\[Error\]\[BrimDecrypt\]\[\d+\])" +
                                                     std::regex_replace(cause, std::regex(R"([().])"), R"(\$&)") +
                                                     "\n")))
            << err;
    }
    EXPECT_EQ(NewOut(), "");
}

TEST_F(Serving, IdleClientIsDroppedAfterTheTimeOutAndOthersAreServed)
{
    const std::string cipher = CipherOf("not held up");
    auto idle = std::async(std::launch::async, [&] { return Ask("", SendingNothing()); });
    std::this_thread::sleep_for(300ms);
    const Exchange next = Ask(cipher);
    const Exchange dropped = idle.get();
    EXPECT_EQ(next.response, Response("not held up"));
    EXPECT_TRUE(dropped.connected);
    EXPECT_EQ(dropped.response, "");
    EXPECT_GE(dropped.seconds, 4.0) << "dropped by the time-out, not at once";
    EXPECT_NE(NewOut().find("]Failed recv msghead from client, ret{-1}.\n"), std::string::npos) << NewOut();
}

TEST_F(Serving, ClientIsAnsweredWhileAnEarlierOneIsStillSilent)
{
    const std::string first = CipherOf("first"), second = CipherOf("second");
    auto slow = std::async(std::launch::async, [&] { return Ask(first, SilentFor(1000ms)); });
    std::this_thread::sleep_for(200ms);
    const Exchange next = Ask(second);
    const Exchange served = slow.get();
    EXPECT_EQ(served.response, Response("first"));
    EXPECT_EQ(next.response, Response("second"));
    EXPECT_LT(next.seconds, served.seconds) << "the second did not wait for the first connection";
}

TEST_F(Serving, RotatedKeysStillOpenOldCipherTexts)
{
    const std::string before = CipherOf("old and new");
    const Outcome rotated = Keytool("rotate", {"--domain", "9"});
    ASSERT_EQ(rotated.status, 0) << rotated.out << rotated.err;
    const std::string after = CipherOf("old and new");
    EXPECT_NE(before, after);
    EXPECT_EQ(Ask(before).response, Response("old and new"));
    EXPECT_EQ(Ask(after).response, Response("old and new"));
}

TEST_F(Serving, ConsoleLinesHaveOneFormatAndErrorsGoToStandardError)
{
    Ask("x", AsUser(0));
    Ask("bm90IGEgY2lwaGVy");
    const std::string out = NewOut(), err = NewErr();
    ASSERT_FALSE(out.empty());
    ASSERT_FALSE(err.empty());
    std::istringstream outLines(out), errLines(err);
    for (std::string line; std::getline(outLines, line);) {
        EXPECT_TRUE(std::regex_match(line, kConsoleLine)) << line;
        EXPECT_NE(line.find("][Warn]["), std::string::npos) << line;
    }
    for (std::string line; std::getline(errLines, line);) {
        EXPECT_TRUE(std::regex_match(line, kConsoleLine)) << line;
        EXPECT_NE(line.find("][Error]["), std::string::npos) << line;
    }
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(err.back(), '\n');
}

// ---------------------------------------------------------------------------
// The tool

class Tool : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (Isolated()) {
            RemoveKeyStore();
            const Outcome created = Keytool("create");
            ASSERT_EQ(created.status, 0) << created.out << created.err;
        }
    }
    void SetUp() override { REQUIRE_ISOLATION(); }
};

TEST_F(Tool, PrintsTheCipherTextWithoutANewline)
{
    const Outcome o = Encrypt("tool secret");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(std::regex_match(o.out, std::regex("cipher_text:[A-Za-z0-9+/]+=*"))) << o.out;
    EXPECT_EQ(o.err, "");
}

TEST_F(Tool, CipherTextBeyond4095CharactersEndsWith162)
{
    const Outcome fits = Encrypt(std::string(2900, 'k'));
    EXPECT_EQ(fits.status, 0);
    EXPECT_LT(fits.out.size(), 12u + 4096u);
    const Outcome tooLong = Encrypt(std::string(3100, 'k'));
    EXPECT_EQ(tooLong.status, 162);
    EXPECT_EQ(tooLong.out + tooLong.err, "");
}

TEST_F(Tool, CommandLineMistakesEndSilentlyWith255)
{
    const RunOptions withSecret = WithEnv({{"E2E_SECRET", "x"}});
    const std::string tool = BinPath("encrypt_tool");
    for (const auto &argv : std::vector<std::vector<std::string>>{
             {tool, "encrypt", "E2E_SECRET"},
             {tool, "ENCRPYT", "E2E_SECRET"},
             {tool, "encrpyt", "E2E_SECRET", "extra"},
             {tool, "encrpyt"},
             {tool},
             {tool, "encrpyt", "E2E_NOT_SET_ANYWHERE"}}) {
        const Outcome o = RunProgram(argv, withSecret);
        EXPECT_EQ(o.status, 255) << argv.size();
        EXPECT_EQ(o.out + o.err, "") << argv.size();
    }
}

// ---------------------------------------------------------------------------
// No key store: a cause no retry can mend, named on the console at once

TEST(MissingKeyStore, ToolAndDaemonNameTheMissingFiles)
{
    REQUIRE_ISOLATION();
    RemoveKeyStore();
    const std::string cause = "]Cause: key store not loaded: " + kPrimary + " or " + kStandby + " does not exist";
    const Outcome tool = Encrypt("nowhere to go");
    EXPECT_EQ(tool.status, 255);
    EXPECT_EQ(tool.out, "");
    EXPECT_TRUE(std::regex_search(tool.err, std::regex(R"(\[[^\]]+\]\[Error\]\[BrimEncrypt\]\[\d+\]Failed to init zorv, ret \{-?\d+\}\.\n)")))
        << tool.err;
    EXPECT_NE(tool.err.find(cause), std::string::npos) << tool.err;

    const std::string name = UniqueName("nokeys");
    Daemon daemon("@" + name);
    ASSERT_TRUE(daemon.WaitListening());
    const Exchange e = Talk(name, Frame("c29tZXRoaW5n"));
    EXPECT_EQ(e.response, "");
    EXPECT_EQ(Count(daemon.Err(), "][Error][BrimDecrypt]["), 2u);
    EXPECT_NE(daemon.Err().find("]Failed to init zorv, ret {"), std::string::npos) << daemon.Err();
    EXPECT_NE(daemon.Err().find(cause), std::string::npos) << daemon.Err();
}

// ---------------------------------------------------------------------------
// Each family of key-store causes reaches the daemon's console, with the
// thing to look at; a load that succeeded but found something says so too.

TEST(StoreCauses, EachFamilyReachesTheDaemonsConsole)
{
    REQUIRE_ISOLATION();
    RemoveKeyStore();
    const std::string hostKey = "/etc/zorvm_host.key";
    ::unlink(hostKey.c_str());
    ASSERT_EQ(Keytool("create").status, 0);
    const std::string cipher = CipherOf("causes");
    const std::string name = UniqueName("causes");
    Daemon daemon("@" + name);
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
    // The console lines one request adds (Warn lines go to standard output,
    // Error lines to standard error); the request is answered as answer says.
    const auto ask = [&](bool answered) {
        const size_t out = daemon.Out().size();
        const size_t err = daemon.Err().size();
        const Exchange e = Talk(name, Frame(cipher));
        const std::string lines = daemon.Out().substr(out) + daemon.Err().substr(err);
        EXPECT_EQ(e.response == Response("causes"), answered) << lines;
        return lines;
    };
    const auto has = [](const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    };
    const std::string notLoaded = "]Cause: key store not loaded: ";

    ASSERT_EQ(::rename(hostKey.c_str(), (hostKey + ".away").c_str()), 0);
    std::string err = ask(false);
    EXPECT_TRUE(has(err, notLoaded + "host key file does not exist: host key file " + hostKey + ".")) << err;
    ASSERT_EQ(::rename((hostKey + ".away").c_str(), hostKey.c_str()), 0);
    ASSERT_EQ(::chmod(hostKey.c_str(), 0644), 0);
    err = ask(false);
    EXPECT_TRUE(has(err, "found owner uid 0, mode 0644")) << err;
    ASSERT_EQ(::chmod(hostKey.c_str(), 0400), 0);

    const std::string key = ReadFile(hostKey);
    std::string other = key;
    other[0] = static_cast<char>(other[0] ^ 1);
    ASSERT_EQ(::unlink(hostKey.c_str()), 0);
    std::ofstream(hostKey, std::ios::binary) << other;
    ASSERT_EQ(::chmod(hostKey.c_str(), 0400), 0);
    err = ask(false);
    EXPECT_TRUE(has(err, notLoaded + "no protector slot opens with this host's key")) << err;
    ASSERT_EQ(::unlink(hostKey.c_str()), 0);
    std::ofstream(hostKey, std::ios::binary) << key;
    ASSERT_EQ(::chmod(hostKey.c_str(), 0400), 0);

    const std::string pin = ReadFile("/etc/zorva/store");
    std::ofstream("/etc/zorva/store") << "store-id 00000000000000000000000000000000\nnewest-update 1\n";
    err = ask(false);
    EXPECT_TRUE(has(err, notLoaded + "not the store this host serves")) << err;
    std::ofstream("/etc/zorva/store") << pin;

    std::string damaged = ReadFile(kStandby);
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x10);
    std::ofstream(kStandby, std::ios::binary | std::ios::trunc) << damaged;
    err = ask(true);
    EXPECT_TRUE(has(err, "[Warn][BrimDecrypt]") && has(err, "restored from " + kPrimary)) << err;
    EXPECT_EQ(ReadFile(kStandby), ReadFile(kPrimary));
    err = ask(true);
    EXPECT_EQ(err, "") << "said once, when the files were read";
    RemoveKeyStore();
}

// A store made for the service's user stays root's to administer.
TEST(StoreCauses, RootAdministersAStoreMadeForAnotherUser)
{
    REQUIRE_ISOLATION();
    RemoveKeyStore();
    ::unlink("/etc/zorvm_host.key");
    ASSERT_EQ(Keytool("create", {"--owner", "1000"}).status, 0);
    struct stat st {};
    ASSERT_EQ(::stat("/etc/zorvm_host.key", &st), 0);
    EXPECT_EQ(st.st_uid, 1000u);
    for (const char *command : {"list", "verify", "rotate"}) {
        const Outcome o = Keytool(command);
        EXPECT_EQ(o.status, 0) << command << ": " << o.err;
    }
    EXPECT_FALSE(CipherOf("root encrypts").empty());
    ASSERT_EQ(::stat(kPrimary.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1000u) << "a rotation keeps the files the service's";
    RemoveKeyStore();
}

// ---------------------------------------------------------------------------
// A store reached through a link: refused, and the console says why

TEST(RefusedKeyStore, ALinkedStoreIsRefusedAndTheConsoleSaysWhy)
{
    REQUIRE_ISOLATION();
    RemoveKeyStore();
    ASSERT_EQ(Keytool("create").status, 0);
    const std::string moved = "/etc/zorvm_standby_file.dat.moved";
    ASSERT_EQ(rename(kStandby.c_str(), moved.c_str()), 0);
    ASSERT_EQ(symlink(moved.c_str(), kStandby.c_str()), 0);
    const std::string rule = "Key-store file (" + kStandby +
                             ") is a symbolic link; key-store files must be regular files reached without links.";

    const Outcome tool = Encrypt("not through a link");
    EXPECT_EQ(tool.status, 255);
    EXPECT_EQ(tool.out, "");
    EXPECT_NE(tool.err.find("]Failed to init zorv, ret {-1}.\n"), std::string::npos) << tool.err;
    EXPECT_NE(tool.err.find("][Error][BrimEncrypt]["), std::string::npos) << tool.err;
    EXPECT_NE(tool.err.find("]" + rule + "\n"), std::string::npos) << tool.err;
    EXPECT_EQ(Count(tool.err, "\n"), 2u) << tool.err;

    const Outcome verify = Keytool("verify");
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.err.find("zorvm_keytool: " + rule + "\n"), std::string::npos) << verify.err;
    unlink(kStandby.c_str());
    unlink(moved.c_str());
}

// ---------------------------------------------------------------------------
// The key lifecycle: rotate, rewrap, disable and enable, with the daemon's
// usage record carried over its restarts

TEST(Lifecycle, RewrappedTextsServeUnderTheNewKeyAndADisabledKeyIsRefusedWithItsCause)
{
    REQUIRE_ISOLATION();
    RemoveKeyStore();
    ASSERT_EQ(Keytool("create").status, 0);
    setenv("ZORVA_AUDIT", "1", 1);
    const std::string name = UniqueName("lifecycle");
    const std::string first = CipherOf("first secret"), second = CipherOf("second secret");
    auto daemon = std::make_unique<Daemon>("@" + name);
    ASSERT_TRUE(daemon->WaitListening());
    EXPECT_EQ(Talk(name, Frame(first)).response, Response("first secret"));
    daemon.reset(); // a stop writes the record

    ASSERT_EQ(Keytool("rotate", {"--domain", "9"}).status, 0);
    const Outcome rewrap =
        RunProgram({BinPath("zorvm_keytool"), "rewrap", "--primary", kPrimary, "--standby", kStandby},
                   WithEnv({}, 0, "cipher_text:" + first + "\nnot a cipher text\n" + second + "\n"));
    EXPECT_EQ(rewrap.status, 1);
    EXPECT_NE(rewrap.err.find("rewrap: line 2: not a cipher text"), std::string::npos) << rewrap.err;
    std::vector<std::string> out;
    std::istringstream lines(rewrap.out);
    for (std::string line; std::getline(lines, line);) {
        out.push_back(line);
    }
    ASSERT_EQ(out.size(), 3u) << rewrap.out;
    EXPECT_EQ(out[1], "not a cipher text");
    ASSERT_EQ(out[0].rfind("cipher_text:", 0), 0u);
    const std::string rewrapped = out[0].substr(12);
    EXPECT_EQ(Unbase64(rewrapped)[8], 2) << "the header names key 2";

    daemon = std::make_unique<Daemon>("@" + name);
    ASSERT_TRUE(daemon->WaitListening());
    EXPECT_EQ(Talk(name, Frame(rewrapped)).response, Response("first secret"));
    EXPECT_EQ(Talk(name, Frame(out[2])).response, Response("second secret"));
    ASSERT_EQ(Keytool("disable", {"--domain", "9", "--key-id", "1"}).status, 0);
    std::smatch update;
    const std::string list = Keytool("list").out;
    ASSERT_TRUE(std::regex_search(list, update, std::regex(R"(, update (\d+),)")));
    EXPECT_NE(ReadFile("/etc/zorva/store").find("newest-update " + update[1].str() + "\n"), std::string::npos)
        << "the host's pin follows the write";
    EXPECT_EQ(Talk(name, Frame(first)).response, "");
    EXPECT_NE(daemon->Err().find("]Cause: key disabled"), std::string::npos) << daemon->Err();
    EXPECT_NE(daemon->Out().find("domain{9} key{1}: key disabled."), std::string::npos) << daemon->Out();
    ASSERT_EQ(Keytool("enable", {"--domain", "9", "--key-id", "1"}).status, 0);
    EXPECT_EQ(Talk(name, Frame(first)).response, Response("first secret"));
    daemon.reset();
    unsetenv("ZORVA_AUDIT");

    const std::string record = ReadFile("/var/lib/zorva/key-usage");
    EXPECT_TRUE(std::regex_search(record, std::regex(R"(\n9 1 2 \d+ 1 \d+\n9 2 2 \d+ 0 0\n$)"))) << record;
    for (const std::string &secret : {std::string("first secret"), std::string("secret"), first, rewrapped}) {
        EXPECT_EQ(record.find(secret), std::string::npos) << secret;
    }
    const Outcome use = Keytool("usage");
    EXPECT_TRUE(std::regex_search(use.out, std::regex(R"(\n +9 +1  retired .* +2 +1\n)"))) << use.out;
}


// rewrap hands back every line as it came unless it rewrapped it: line
// ends, empty lines and a last line without a newline included.
TEST(Lifecycle, RewrapKeepsEveryLineItCannotRewrapAndNamesItsCause)
{
    REQUIRE_ISOLATION();
    RemoveKeyStore();
    ASSERT_EQ(Keytool("create").status, 0);
    const std::string old = CipherOf("under key one");
    ASSERT_EQ(Keytool("rotate", {"--domain", "9"}).status, 0);
    const std::string current = CipherOf("under key two");
    std::string tampered = Unbase64(current), unknown = Unbase64(old);
    tampered[30] ^= 1;
    unknown[8] = 9; // a key id the store never had
    ASSERT_EQ(Keytool("disable", {"--domain", "9", "--key-id", "1"}).status, 0);
    const auto rewrap = [](const std::string &input) {
        return RunProgram({BinPath("zorvm_keytool"), "rewrap", "--primary", kPrimary, "--standby", kStandby},
                          WithEnv({}, 0, input));
    };
    const std::string input = current + "\r\n\n" + Base64(tampered) + "\n" + old + "\ncipher_text:" + Base64(unknown) +
                              "\n" + std::string(1100000, 'A') + "\ncipher_text:" + current;
    Outcome r = rewrap(input);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, input) << "nothing to rewrap: every line as it came";
    for (const char *cause : {"line 3: authentication failed", "line 4: key disabled: key 1 of domain 9",
                              "line 5: unknown key: key 9 of domain 9", "line 6: not a cipher text (longer than",
                              "0 rewrapped, 2 under the active key"}) {
        EXPECT_NE(r.err.find(cause), std::string::npos) << cause << "\n" << r.err;
    }
    ASSERT_EQ(Keytool("enable", {"--domain", "9", "--key-id", "1"}).status, 0);
    r = rewrap(old);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\n'), std::string::npos);
    EXPECT_EQ(Unbase64(r.out)[8], 2);
}

} // namespace
