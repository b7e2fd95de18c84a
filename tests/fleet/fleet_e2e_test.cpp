// The fleet protectors as an operator meets them, with the real daemon,
// tool and key tool at the fixed paths (inside tests/isolated.sh): a store
// whose only slot is a key on a SoftHSM2 token, a store prepared on an
// administrator's machine for one host, and what someone who can write the
// files a host reads, but holds none of its keys, gets from that.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include "processes.h"
#include "softhsm_token.h"

namespace {

using namespace e2e;
using fleettest::SoftHsm;

using Env = std::map<std::string, std::optional<std::string>>;

Outcome Keytool(const std::vector<std::string> &args, const Env &env = {}, const std::string &stdinText = "")
{
    std::vector<std::string> argv{BinPath("zorvm_keytool")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, WithEnv(env, 0, stdinText));
}

std::string CipherOf(const std::string &secret, Env env)
{
    env["FLEET_SECRET"] = secret;
    const Outcome o = RunProgram({BinPath("encrypt_tool"), "encrpyt", "FLEET_SECRET"}, WithEnv(env));
    EXPECT_EQ(o.status, 0) << o.err;
    return o.out.rfind("cipher_text:", 0) == 0 ? o.out.substr(12) : std::string();
}

int Lines(const std::string &path, const std::string &line)
{
    std::ifstream in(path);
    int n = 0;
    for (std::string l; std::getline(in, l);) {
        n += l == line;
    }
    return n;
}

std::string UniqueName(const std::string &tag) { return "zorva-fleet-" + tag + "-" + std::to_string(::getpid()); }

TEST(FleetPkcs11, StoreOpensThroughTheTokenAndTheDaemonAsksItOnce)
{
    REQUIRE_ISOLATION();
    ZORVA_REQUIRE_SOFTHSM();
    const SoftHsm &hsm = SoftHsm::Get();
    // The counting module in front of SoftHSM logs each process's calls to its own file.
    ::setenv("ZORVA_TEST_P11_REAL", hsm.module().c_str(), 1);
    const std::string toolLog = hsm.dir() + "/tools.log";
    const std::string daemonLog = hsm.dir() + "/daemon.log";
    const Env tools{{"ZORVA_TEST_P11_LOG", toolLog}};
    const std::string uri = hsm.Uri("store-kek");
    RemoveKeyStore();

    Outcome o = Keytool({"create", "--protect", "pkcs11", "--uri", uri, "--module", ZORVA_COUNTING_MODULE,
                         "--generate-kek"},
                        tools);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    o = Keytool({"protect", "list"}, tools);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("pkcs11"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("opens here"), std::string::npos) << o.out;
    // The slot keeps the token and key only; the PIN source went to the host configuration.
    const std::string identity = uri.substr(0, uri.find('?'));
    EXPECT_NE(o.out.find("  token key " + identity + " (module " + ZORVA_COUNTING_MODULE + ")\n"), std::string::npos)
        << o.out;

    const std::string cipher = CipherOf("token-guarded", tools);
    ::setenv("ZORVA_TEST_P11_LOG", daemonLog.c_str(), 1);
    {
        const std::string name = UniqueName("p11");
        Daemon daemon("@" + name);
        ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
        for (int i = 0; i < 4; ++i) {
            const Exchange e = Talk(name, Frame(cipher));
            ASSERT_TRUE(e.connected);
            EXPECT_EQ(e.response, Response("token-guarded")) << daemon.Err();
        }
    }
    ::unsetenv("ZORVA_TEST_P11_LOG");
    EXPECT_EQ(Lines(daemonLog, "C_Initialize"), 1);
    EXPECT_EQ(Lines(daemonLog, "C_Login"), 1) << "one login per process, not one per request";

    // A wrong PIN and a deleted token key: refused, each with its own cause.
    o = Keytool({"protect", "list", "--pin-fd", "0"}, tools, "999999\n");
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.out.find("the token refused the PIN"), std::string::npos) << o.out << o.err;
    ASSERT_TRUE(hsm.DestroyKey("store-kek"));
    o = Keytool({"protect", "list"}, tools);
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.out.find("not on the token"), std::string::npos) << o.out << o.err;
    o = RunProgram({BinPath("encrypt_tool"), "encrpyt", "FLEET_SECRET"}, WithEnv({{"FLEET_SECRET", "x"}}));
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("]Cause: key store not loaded: the token key the URI names is not on the token"),
              std::string::npos)
        << o.err;
    RemoveKeyStore();
}

// A migration to a host slot keeps the token's slot, which then opens the
// new root key: the token's wrapping is bound to the store's salt.
TEST(FleetPkcs11, MigrateKeepsTheTokenSlot)
{
    REQUIRE_ISOLATION();
    ZORVA_REQUIRE_SOFTHSM();
    const SoftHsm &hsm = SoftHsm::Get();
    const Env env{{"ZORVA_HOST_KEY", hsm.dir() + "/migrate-host.key"}};
    RemoveKeyStore();
    Outcome o = Keytool({"create", "--protect", "pkcs11", "--uri", hsm.Uri("migrate-kek"), "--module", hsm.module(),
                         "--generate-kek"},
                        env);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    o = Keytool({"migrate", "--protect", "host"}, env);
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("kept: slot 1 (pkcs11)\nnew: slot 2 (host)\n"), std::string::npos) << o.out;
    ASSERT_EQ(::unlink((hsm.dir() + "/migrate-host.key").c_str()), 0);
    o = Keytool({"protect", "list"}, env);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("pkcs11           opens here"), std::string::npos) << o.out;
    RemoveKeyStore();
}

TEST(FleetExport, CopyForHostAServesOnAAndOpensNowhereElse)
{
    REQUIRE_ISOLATION();
    char tmpl[] = "/tmp/zorva_fleet_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string admin = dir + "/admin.key";
    const std::string hostA = dir + "/a.key";
    const std::string hostB = dir + "/b.key";
    const std::string out = dir + "/for-a";
    RemoveKeyStore();

    // The administrator's machine: its own store, its signing key, and host
    // A's id. Host A trusts the administrator's key (the hosts of this test
    // share one host configuration).
    const std::string signing = dir + "/admin.pem";
    ASSERT_EQ(Keytool({"admin-key", "create", "--out", signing}).status, 0);
    ASSERT_EQ(Keytool({"trust", "add", signing + ".pub"}).status, 0);
    ASSERT_EQ(Keytool({"create", "--host-key", admin}).status, 0);
    const std::string cipher = CipherOf("fleet secret", {{"ZORVA_HOST_KEY", admin}});
    Outcome id = Keytool({"host-id", "--host-key", hostA});
    ASSERT_EQ(id.status, 0) << id.err;
    const std::string idA = id.out.substr(0, id.out.find('\n'));
    ASSERT_EQ(Keytool({"host-id", "--host-key", hostB}).status, 0);
    Outcome o = Keytool({"export", "--for", idA, "--sign-with", signing, "--out", out, "--host-key", admin});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    std::string typo = idA;
    typo[20] = typo[20] == 'x' ? 'y' : 'x';
    o = Keytool({"export", "--for", typo, "--sign-with", signing, "--out", dir + "/typo", "--host-key", admin});
    EXPECT_NE(o.status, 0) << "a mistyped host id is refused";
    EXPECT_NE(o.err.find("mistyped"), std::string::npos) << o.err;
    RemoveKeyStore();

    // Host B: the copy is not for it.
    o = Keytool({"import", out, "--host-key", hostB});
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("another host"), std::string::npos) << o.err;
    EXPECT_FALSE(::access(kPrimary.c_str(), F_OK) == 0) << "nothing installed";

    // A copy without its signature, and an attacker's own store exported for
    // A and signed with a key A does not trust, are refused before any slot
    // of theirs is opened.
    const std::string unsigned_ = dir + "/unsigned";
    ASSERT_EQ(std::system(("cp -r '" + out + "' '" + unsigned_ + "' && rm '" + unsigned_ + "/zorvm_export.sig'").c_str()),
              0);
    o = Keytool({"import", unsigned_, "--host-key", hostA});
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("no valid signature"), std::string::npos) << o.err;
    const std::string rogueKey = dir + "/rogue.pem";
    const std::string rogueStore = dir + "/rogue.key";
    const std::string rogueOut = dir + "/rogue";
    ASSERT_EQ(Keytool({"admin-key", "create", "--out", rogueKey}).status, 0);
    ASSERT_EQ(Keytool({"create", "--host-key", rogueStore, "--force"}).status, 0);
    ASSERT_EQ(Keytool({"export", "--for", idA, "--sign-with", rogueKey, "--out", rogueOut, "--host-key", rogueStore})
                  .status,
              0);
    RemoveKeyStore();
    o = Keytool({"import", rogueOut, "--host-key", hostA});
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("no valid signature"), std::string::npos) << o.err;
    EXPECT_FALSE(::access(kPrimary.c_str(), F_OK) == 0) << "nothing installed";

    // A copy changed on the way is refused.
    const std::string bent = dir + "/bent";
    ASSERT_EQ(std::system(("cp -r '" + out + "' '" + bent + "'").c_str()), 0);
    {
        std::fstream f(bent + "/zorvm_primary_file.dat", std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(0, std::ios::end);
        const auto size = static_cast<std::streamoff>(f.tellg());
        f.seekp(size / 2);
        f.put('\x5a');
    }
    o = Keytool({"import", bent, "--host-key", hostA});
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.err.find("zorvm_primary_file.dat"), std::string::npos) << o.err;

    // Host A: imports, re-binds to its host key, serves.
    o = Keytool({"import", out, "--host-key", hostA});
    ASSERT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("signed by SHA256:"), std::string::npos) << o.out;
    o = Keytool({"protect", "list", "--host-key", hostA});
    EXPECT_NE(o.out.find("host"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("sealed-for"), std::string::npos) << "the sealed slot is gone after import\n" << o.out;
    ::setenv("ZORVA_HOST_KEY", hostA.c_str(), 1);
    {
        const std::string name = UniqueName("hostA");
        Daemon daemon("@" + name);
        ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
        EXPECT_EQ(Talk(name, Frame(cipher)).response, Response("fleet secret")) << daemon.Err();
    }
    ::unsetenv("ZORVA_HOST_KEY");
    EXPECT_NE(RunProgram({BinPath("encrypt_tool"), "encrpyt", "FLEET_SECRET"},
                         WithEnv({{"FLEET_SECRET", "x"}, {"ZORVA_HOST_KEY", hostB}}))
                  .status,
              0)
        << "the installed store does not open with B's key";
    RemoveKeyStore();
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

std::string Bytes(const std::string &path) { return ReadFile(path); }

void Put(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(path.c_str(), 0600);
}

std::string Base64(const std::string &raw)
{
    std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(raw.data()), static_cast<int>(raw.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// A format-3 copy with a pkcs11 slot naming module put before its own
// slots, so it is the first a load would try. Its MAC no longer matches,
// but slots are opened before the MAC can be checked.
std::string WithEvilSlot(std::string store, const std::string &module)
{
    const std::string uri = "pkcs11:token=evil;object=evil";
    std::string slot{'\x06', '\x09'};
    const std::size_t params = 2 + uri.size() + 2 + module.size() + 4;
    slot += {static_cast<char>(params & 0xff), static_cast<char>(params >> 8)};
    slot += {static_cast<char>(uri.size()), '\0'};
    slot += uri;
    slot += {static_cast<char>(module.size()), '\0'};
    slot += module + "blob" + std::string(12 + 32 + 16, '\x5a');
    store[68] = static_cast<char>(store[68] + 1);
    store.insert(88, slot);
    return store;
}

// The daemon serves the victim's cipher text and none of the attacker's, and
// the healthy primary stays byte for byte what it was.
void ServesOnlyTheHealthyStore(const std::string &victim, const std::vector<std::string> &foreign,
                               const std::string &primary, const std::string &what)
{
    const std::string name = UniqueName("trust");
    Daemon daemon("@" + name);
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
    EXPECT_EQ(Talk(name, Frame(victim)).response, Response("victim's secret")) << what << "\n" << daemon.Err();
    for (const std::string &cipher : foreign) {
        EXPECT_EQ(Talk(name, Frame(cipher)).response, "") << what << ": an attacker's cipher text was answered";
    }
    EXPECT_TRUE(Bytes(kPrimary) == primary) << what << ": the healthy primary was changed";
}

TEST(StoreTrust, NothingReadFromACopySteersTheHost)
{
    REQUIRE_ISOLATION();
    char tmpl[] = "/tmp/zorva_trust_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string marker = dir + "/evil-module-ran";
    ::setenv("ZORVA_TEST_EVIL_MARKER", marker.c_str(), 1);
    RemoveKeyStore();

    // The attacker, on his own machine: his own store, rotated past the
    // victim's counter, exported for the victim's public id and signed with
    // his own key; and a cipher text under it.
    Outcome o = Keytool({"host-id"});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string victimId = o.out.substr(0, o.out.find('\n'));
    const std::string rogue = dir + "/rogue.pem", rogueHost = dir + "/rogue.key", rogueOut = dir + "/for-victim";
    const std::vector<std::string> at{"--primary", dir + "/p.dat", "--standby", dir + "/s.dat", "--host-key", rogueHost};
    const auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), at.begin(), at.end());
        return Keytool(args);
    };
    ASSERT_EQ(Keytool({"admin-key", "create", "--out", rogue}).status, 0);
    ASSERT_EQ(with({"create"}).status, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(with({"rotate"}).status, 0);
    }
    ASSERT_EQ(with({"export", "--for", victimId, "--sign-with", rogue, "--out", rogueOut}).status, 0);
    Put(kPrimary, Bytes(dir + "/p.dat"));
    Put(kStandby, Bytes(dir + "/s.dat"));
    const std::string rogueCipher = CipherOf("attacker's secret", {{"ZORVA_HOST_KEY", rogueHost}});
    const std::string format1Cipher = Base64(Bytes(std::string(ZORVA_KEYSTORE_FIXTURES) + "/format1/cipher_key1.bin"));
    RemoveKeyStore();

    // The victim's healthy store, pinned by create.
    ASSERT_EQ(Keytool({"create"}).status, 0);
    const std::string victim = CipherOf("victim's secret", {});
    const std::string primary = Bytes(kPrimary);
    const std::string standby = Bytes(kStandby);

    // One forged copy beside the healthy one: a format-1 store with a higher
    // counter and the attacker's copy sealed for this host are refused and
    // left as they are; a copy whose first slot names a module of the
    // attacker's is damaged (its MAC no longer holds) and repaired.
    struct Forgery {
        const char *what;
        std::string bytes;
        bool foreign;
    };
    const Forgery forgeries[] = {
        {"format-1 standby", Bytes(std::string(ZORVA_KEYSTORE_FIXTURES) + "/format1/zorvm_store.dat"), true},
        {"sealed-for standby", Bytes(rogueOut + "/zorvm_primary_file.dat"), true},
        {"standby naming a module", WithEvilSlot(standby, ZORVA_EVIL_MODULE), false},
    };
    for (const Forgery &f : forgeries) {
        Put(kStandby, f.bytes);
        ServesOnlyTheHealthyStore(victim, {rogueCipher, format1Cipher}, primary, f.what);
        EXPECT_FALSE(CipherOf("still encrypts", {}).empty()) << f.what;
        EXPECT_EQ(Bytes(kStandby) == f.bytes, f.foreign) << f.what << ": left as it is only when foreign";
        o = Keytool({"verify"});
        EXPECT_EQ(o.status != 0, f.foreign) << f.what << "\n" << o.err;
        if (f.foreign) {
            EXPECT_NE(o.err.find(kStandby), std::string::npos) << f.what << "\n" << o.err;
        }
    }

    // The whole pair swapped (as after restoring a backup folder someone
    // wrote): the attacker's format-1 store, or his carried copy, is not
    // served on a host that pinned its store.
    for (const std::string &forged : {forgeries[0].bytes, forgeries[1].bytes}) {
        Put(kPrimary, forged);
        Put(kStandby, forged);
        const std::string name = UniqueName("swapped");
        Daemon daemon("@" + name);
        ASSERT_TRUE(daemon.WaitListening()) << daemon.Err();
        EXPECT_EQ(Talk(name, Frame(rogueCipher)).response, "");
        EXPECT_EQ(Talk(name, Frame(format1Cipher)).response, "");
        EXPECT_TRUE(Bytes(kPrimary) == forged);
    }

    // The carried folder handed to root for import, with a module slot first:
    // refused before any slot of it is opened.
    Put(rogueOut + "/zorvm_primary_file.dat", WithEvilSlot(Bytes(rogueOut + "/zorvm_primary_file.dat"), ZORVA_EVIL_MODULE));
    Put(rogueOut + "/zorvm_standby_file.dat", Bytes(rogueOut + "/zorvm_primary_file.dat"));
    Put(kPrimary, primary);
    Put(kStandby, standby);
    o = Keytool({"import", rogueOut, "--force"});
    EXPECT_NE(o.status, 0);
    EXPECT_TRUE(Bytes(kPrimary) == primary) << "nothing installed";

    EXPECT_NE(::access(marker.c_str(), F_OK), 0) << "the attacker's module ran";
    ::unsetenv("ZORVA_TEST_EVIL_MARKER");
    RemoveKeyStore();
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
