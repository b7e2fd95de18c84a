// The PKCS#11 slot's token side against a SoftHSM2 token: URIs, PINs, the
// token key's life and the failures an operator must be able to tell apart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protect/pkcs11/pkcs11_pin.h"
#include "protect/pkcs11/pkcs11_token.h"
#include "softhsm_token.h"

namespace zorv::pkcs11 {
namespace {

using fleettest::SoftHsm;

std::span<const std::uint8_t> Bytes(const std::string &s)
{
    return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

KeyRef Ref(const std::string &object, const std::string &module = SoftHsm::Get().module())
{
    KeyRef ref;
    ref.module = module;
    EXPECT_EQ(ParseUri(SoftHsm::Get().Uri(object), ref.uri), Status::ok);
    return ref;
}

SecretBytes Pin()
{
    SecretBytes pin;
    EXPECT_EQ(ReadPinFile(SoftHsm::Get().pinFile(), pin), Status::ok);
    return pin;
}

constexpr std::array<std::uint8_t, 32> kSecret = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const std::string kHeader = "slot header";

TEST(Pkcs11Uri, ReadsTheTokenKeyAndPinSourceAndRefusesWhatWouldLeakOrWiden)
{
    Uri uri;
    ASSERT_EQ(ParseUri("pkcs11:token=Fleet%20keys;manufacturer=Acme;object=kek%3b1;id=%01%ff;type=secret-key"
                       "?pin-source=file:///etc/zorva/token.pin&module-path=/usr/lib/m.so&x-vendor=1",
                       uri),
              Status::ok);
    EXPECT_EQ(uri.token, "Fleet keys");
    EXPECT_EQ(uri.manufacturer, "Acme");
    EXPECT_EQ(uri.object, "kek;1");
    EXPECT_TRUE(uri.hasId);
    EXPECT_EQ(uri.id, (std::vector<std::uint8_t>{0x01, 0xff}));
    EXPECT_EQ(uri.pinSource, "/etc/zorva/token.pin");
    EXPECT_EQ(uri.modulePath, "/usr/lib/m.so");

    const char *refused[] = {
        "pkcs11:token=t;object=k?pin-value=1234",       // a PIN in the URI
        "pkcs11:token=t",                               // no key named
        "pkcs11:object=k",                              // no token named
        "pkcs11:token=t;token=u;object=k",              // twice
        "pkcs11:token=t;object=k%2",                    // cut percent-encoding
        "pkcs11:token=t;object=a b",                    // unencoded space
        "pkcs11:token=t;object=k;slot-id=3",            // attribute we would ignore
        "pkcs11:token=t;object=k;type=private",         // not a secret key
        "pkcs11:token=t;object=k?pin-source=token.pin", // relative PIN file
        "pkcs11:token=t;object=k;pin-source=/p",        // query attribute in the path
        "pkcs11:token=%00t;object=k",                   // NUL in a label
        "pkcs11:token=123456789012345678901234567890123;object=k", // longer than a token label
        "pkcs12:token=t;object=k",
    };
    for (const char *text : refused) {
        const char *why = nullptr;
        EXPECT_EQ(ParseUri(text, uri, &why), Status::badUri) << text;
        EXPECT_NE(why, nullptr) << text;
    }
}

TEST(Pkcs11Pin, ComesFromAPrivateFileOrADescriptorWithoutItsNewline)
{
    ZORVA_REQUIRE_SOFTHSM();
    SecretBytes pin;
    ASSERT_EQ(ReadPinFile(SoftHsm::Get().pinFile(), pin), Status::ok);
    EXPECT_EQ(std::string(pin.begin(), pin.end()), SoftHsm::kPin);

    const std::string open = SoftHsm::Get().dir() + "/open.pin";
    std::ofstream(open) << "1234\n";
    ::chmod(open.c_str(), 0644);
    EXPECT_EQ(ReadPinFile(open, pin), Status::noPin) << "a PIN file others can read";
    const std::string link = SoftHsm::Get().dir() + "/link.pin";
    ASSERT_EQ(::symlink(SoftHsm::Get().pinFile().c_str(), link.c_str()), 0);
    EXPECT_EQ(ReadPinFile(link, pin), Status::noPin) << "a link to a PIN file";

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "9876\r\n", 6), 6);
    ::close(fds[1]);
    ASSERT_EQ(ReadPinFd(fds[0], pin), Status::ok);
    ::close(fds[0]);
    EXPECT_EQ(std::string(pin.begin(), pin.end()), "9876");

    ASSERT_EQ(::pipe(fds), 0);
    const std::string tooLong(kMaxPin + 1, '7');
    ASSERT_EQ(::write(fds[1], tooLong.data(), tooLong.size()), static_cast<ssize_t>(tooLong.size()));
    ::close(fds[1]);
    EXPECT_EQ(ReadPinFd(fds[0], pin), Status::noPin);
    EXPECT_TRUE(pin.empty());
    ::close(fds[0]);
}

TEST(Pkcs11Token, GeneratesTheKeyOnceAndWrapsUnderItWithGcmOrKeyWrap)
{
    ZORVA_REQUIRE_SOFTHSM();
    const KeyRef ref = Ref("kek-main");
    const SecretBytes pin = Pin();
    bool created = false;
    ASSERT_EQ(GenerateKey(ref, pin, created), Status::ok);
    EXPECT_TRUE(created);
    ASSERT_EQ(GenerateKey(ref, pin, created), Status::ok);
    EXPECT_FALSE(created) << "an existing key is kept, never replaced";

    std::vector<std::uint8_t> blob;
    ASSERT_EQ(Wrap(ref, pin, kSecret, Bytes(kHeader), Mechanism::automatic, blob), Status::ok);
    EXPECT_EQ(blob[0], static_cast<std::uint8_t>(Mechanism::gcm)) << "SoftHSM offers GCM";
    std::array<std::uint8_t, 32> out{};
    ASSERT_EQ(Unwrap(ref, pin, blob, Bytes(kHeader), out), Status::ok);
    EXPECT_EQ(out, kSecret);

    EXPECT_EQ(Unwrap(ref, pin, blob, Bytes("another header"), out), Status::notThisKey);
    EXPECT_EQ(out, (std::array<std::uint8_t, 32>{})) << "nothing left behind on failure";
    auto changed = blob;
    changed[20] ^= 1;
    EXPECT_EQ(Unwrap(ref, pin, changed, Bytes(kHeader), out), Status::notThisKey);
    changed.pop_back();
    EXPECT_EQ(Unwrap(ref, pin, changed, Bytes(kHeader), out), Status::badBlob);

    std::vector<std::uint8_t> wrapped;
    ASSERT_EQ(Wrap(ref, pin, kSecret, Bytes(kHeader), Mechanism::keyWrapPad, wrapped), Status::ok);
    ASSERT_EQ(Unwrap(ref, pin, wrapped, Bytes(kHeader), out), Status::ok);
    EXPECT_EQ(out, kSecret);
    wrapped[10] ^= 1;
    EXPECT_EQ(Unwrap(ref, pin, wrapped, Bytes(kHeader), out), Status::notThisKey);

    // Another key on the same token does not open what the first wrapped.
    const KeyRef other = Ref("kek-other");
    ASSERT_EQ(GenerateKey(other, pin, created), Status::ok);
    EXPECT_EQ(Unwrap(other, pin, blob, Bytes(kHeader), out), Status::notThisKey);
}

TEST(Pkcs11Token, TellsTheOperatorWhichPartIsWrong)
{
    ZORVA_REQUIRE_SOFTHSM();
    const SecretBytes pin = Pin();
    const KeyRef ref = Ref("kek-doomed");
    bool created = false;
    ASSERT_EQ(GenerateKey(ref, pin, created), Status::ok);
    std::vector<std::uint8_t> blob;
    ASSERT_EQ(Wrap(ref, pin, kSecret, Bytes(kHeader), Mechanism::automatic, blob), Status::ok);
    std::array<std::uint8_t, 32> out{};

    const std::string wrong = "000000";
    EXPECT_EQ(Unwrap(ref, Bytes(wrong), blob, Bytes(kHeader), out), Status::badPin);
    EXPECT_EQ(Unwrap(ref, {}, blob, Bytes(kHeader), out), Status::noPin);

    KeyRef noToken = ref;
    noToken.uri.token = "no such token";
    EXPECT_EQ(Unwrap(noToken, pin, blob, Bytes(kHeader), out), Status::noToken);

    EXPECT_EQ(Unwrap(Ref("kek-doomed", SoftHsm::Get().dir() + "/absent.so"), pin, blob, Bytes(kHeader), out),
              Status::noModule);
    EXPECT_EQ(Unwrap(Ref("kek-doomed", "softhsm2.so"), pin, blob, Bytes(kHeader), out), Status::moduleUnsafe);
    const std::string planted = SoftHsm::Get().dir() + "/planted.so";
    std::ofstream(planted) << "not a module";
    ::chmod(planted.c_str(), 0666);
    EXPECT_EQ(Unwrap(Ref("kek-doomed", planted), pin, blob, Bytes(kHeader), out), Status::moduleUnsafe);
    ::chmod(planted.c_str(), 0600);
    EXPECT_EQ(Unwrap(Ref("kek-doomed", planted), pin, blob, Bytes(kHeader), out), Status::noModule);

    ASSERT_TRUE(SoftHsm::Get().DestroyKey("kek-doomed"));
    EXPECT_EQ(Unwrap(ref, pin, blob, Bytes(kHeader), out), Status::noKey);
    EXPECT_EQ(Wrap(ref, pin, kSecret, Bytes(kHeader), Mechanism::automatic, blob), Status::noKey);
}

// The module is initialised once per process however often it is asked; the
// counting module in front of SoftHSM logs every C_Initialize.
TEST(Pkcs11Token, InitialisesTheModuleOncePerProcess)
{
    ZORVA_REQUIRE_SOFTHSM();
    const std::string log = SoftHsm::Get().dir() + "/calls.log";
    ::setenv("ZORVA_TEST_P11_REAL", SoftHsm::Get().module().c_str(), 1);
    ::setenv("ZORVA_TEST_P11_LOG", log.c_str(), 1);
    const SecretBytes pin = Pin();
    const KeyRef ref = Ref("kek-counted", ZORVA_COUNTING_MODULE);
    bool created = false;
    ASSERT_EQ(GenerateKey(ref, pin, created), Status::ok);
    std::vector<std::uint8_t> blob;
    ASSERT_EQ(Wrap(ref, pin, kSecret, Bytes(kHeader), Mechanism::automatic, blob), Status::ok);
    for (int i = 0; i < 3; ++i) {
        std::array<std::uint8_t, 32> out{};
        ASSERT_EQ(Unwrap(ref, pin, blob, Bytes(kHeader), out), Status::ok);
    }
    std::ifstream in(log);
    int initialise = 0;
    int decrypt = 0;
    for (std::string line; std::getline(in, line);) {
        initialise += line == "C_Initialize";
        decrypt += line == "C_Decrypt";
    }
    EXPECT_EQ(initialise, 1);
    EXPECT_EQ(decrypt, 3);
}

} // namespace
} // namespace zorv::pkcs11
