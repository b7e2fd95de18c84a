// The key tool's signed PCR policies (tpm2-policy sign|install|list|remove):
// an administrator signs the PCR values a host holds now or will hold after
// an update, root installs the policy in the host configuration, and every
// tpm2 slot sealed to that signer opens while the PCRs match one of them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "keytool.h"
#include "trust/tpm2_policies.h"
#include "zorv_admin.h"

namespace keytool {
namespace {

using zorv::PcrValues;
using zorv::SignedPcrPolicy;

int Failure(const Options &o, const std::string &message)
{
    std::fprintf(stderr, "zorvm_keytool: tpm2-policy %s: %s\n", o.subcommand.c_str(), message.c_str());
    return kExitFailure;
}

std::string_view Text(const zorv::SecretBytes &bytes)
{
    return {reinterpret_cast<const char *>(bytes.data()), bytes.size()};
}

// The current values of mask's PCRs; false with the cause's text.
bool CurrentValues(std::uint32_t mask, PcrValues &values, std::string &why)
{
    unsigned char raw[24][32] = {};
    const std::uint64_t rc = QintTpm2PcrValuesEx(mask, raw);
    if (rc != 0) {
        why = QintErrorTextEx(rc);
        return false;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::copy(raw[i], raw[i] + 32, values[i].begin());
    }
    return true;
}

// How a policy compares with the PCRs now; matches says whether it is theirs.
std::string Match(const SignedPcrPolicy &p, bool *matches = nullptr)
{
    PcrValues current{};
    std::string why;
    const bool read = CurrentValues(p.pcrMask, current, why);
    const std::uint32_t differ = read ? zorv::DifferingPcrs(p.pcrMask, p.values, current) : 0;
    if (matches != nullptr) {
        *matches = read && differ == 0;
    }
    return !read       ? "current values unknown (" + why + ")"
           : differ == 0 ? std::string("matches the current values")
                         : "PCR " + zorv::PcrIndexList(differ) + " differ from the current values";
}

std::string Describe(const SignedPcrPolicy &p)
{
    return "policy " + zorv::PolicyId(p) + "  signer " + zorv::SignerId(p.signerName) + "  PCR " +
           zorv::PcrIndexList(p.pcrMask);
}

// The installed list, unless the file is unsafe or malformed (then says so).
bool Installed(const Options &o, zorv::InstalledPolicies &installed)
{
    installed = zorv::ReadInstalledPolicies();
    if (installed.status == zorv::ConfigStatus::unsafe || installed.status == zorv::ConfigStatus::unreadable) {
        Failure(o, installed.detail);
        return false;
    }
    return true;
}

int SignPolicy(const Options &o)
{
    zorv::SecretBytes key;
    std::string why;
    if (!ReadSmallFile(o.signer, key, why)) {
        return Failure(o, "--signer " + o.signer + ": " + why);
    }
    PcrValues values{};
    if (o.current) {
        if (!CurrentValues(o.pcrMask, values, why)) {
            return Failure(o, "the current PCR values: " + why);
        }
    } else {
        zorv::SecretBytes text;
        if (!ReadSmallFile(o.valuesFile, text, why) || !zorv::ParsePcrValues(Text(text), o.pcrMask, values, why)) {
            return Failure(o, "--values " + o.valuesFile + ": " + why);
        }
    }
    SignedPcrPolicy policy;
    if (!zorv::SignPolicy(key, o.pcrMask, values, policy, why)) {
        return Failure(o, "--signer " + o.signer + ": " + why);
    }
    const std::string text = "# Signed PCR policy " + zorv::PolicyId(policy) + ": signer " +
                             zorv::SignerId(policy.signerName) + ", PCR " + zorv::PcrIndexList(o.pcrMask) + ", " +
                             (o.current ? "the values at signing" : "the values of " + o.valuesFile) +
                             ".\n# Install it with 'zorvm_keytool tpm2-policy install FILE'.\n" +
                             zorv::FormatPolicyLine(policy) + "\n";
    if (!CreateFile(o.outDir, text, 0644)) {
        return kExitFailure;
    }
    std::printf("signed %s (%s) into %s\n", Describe(policy).c_str(),
                o.current ? "the current values" : ("values of " + o.valuesFile).c_str(), o.outDir.c_str());
    return kExitOk;
}

int InstallPolicies(const Options &o)
{
    zorv::SecretBytes text;
    std::string why;
    std::vector<SignedPcrPolicy> incoming;
    if (!ReadSmallFile(o.argument, text, why) ||
        !zorv::ParsePolicies(Text(text), zorv::kMaxInstalledPolicies, incoming, why)) {
        return Failure(o, o.argument + ": " + why);
    }
    zorv::InstalledPolicies installed;
    if (!Installed(o, installed)) {
        return kExitFailure;
    }
    std::vector<SignedPcrPolicy> added;
    for (const SignedPcrPolicy &p : incoming) {
        const std::string id = zorv::PolicyId(p);
        if (std::any_of(installed.policies.begin(), installed.policies.end(),
                        [&](const SignedPcrPolicy &q) { return zorv::PolicyId(q) == id; })) {
            std::printf("policy %s is installed already\n", id.c_str());
            continue;
        }
        installed.policies.push_back(p);
        added.push_back(p);
    }
    if (installed.policies.size() > zorv::kMaxInstalledPolicies) {
        return Failure(o, "at most " + std::to_string(zorv::kMaxInstalledPolicies) +
                              " policies are installed at a time: remove old ones first ('tpm2-policy list')");
    }
    if (!added.empty() &&
        !WriteConfig(zorv::kTpm2PoliciesFile, zorv::FormatInstalledPolicies(installed.policies), 0644)) {
        return kExitFailure;
    }
    for (const SignedPcrPolicy &p : added) {
        std::printf("installed %s: %s\n", Describe(p).c_str(), Match(p).c_str());
    }
    return kExitOk;
}

int ListPolicies(const Options &o)
{
    zorv::InstalledPolicies installed;
    if (!Installed(o, installed)) {
        return kExitFailure;
    }
    for (const SignedPcrPolicy &p : installed.policies) {
        std::printf("%s  %s\n", Describe(p).c_str(), Match(p).c_str());
    }
    if (installed.policies.empty()) {
        std::printf("no signed PCR policy installed: tpm2 slots sealed to a signer do not open on this host\n");
    }
    return kExitOk;
}

int RemovePolicy(const Options &o)
{
    zorv::InstalledPolicies installed;
    if (!Installed(o, installed)) {
        return kExitFailure;
    }
    const auto it = std::find_if(installed.policies.begin(), installed.policies.end(),
                                 [&](const SignedPcrPolicy &p) { return zorv::PolicyId(p) == o.argument; });
    if (it == installed.policies.end()) {
        return Failure(o, "no installed policy " + o.argument + " ('tpm2-policy list' shows them)");
    }
    const SignedPcrPolicy removed = *it;
    installed.policies.erase(it);
    if (!WriteConfig(zorv::kTpm2PoliciesFile, zorv::FormatInstalledPolicies(installed.policies), 0644)) {
        return kExitFailure;
    }
    bool matched = false;
    std::printf("removed %s (%s)\n", Describe(removed).c_str(), Match(removed, &matched).c_str());
    if (matched) {
        std::fprintf(stderr, "zorvm_keytool: note: it matched the current PCR values: a new process opens slots "
                             "of signer %s only through another installed policy that matches\n",
                     zorv::SignerId(removed.signerName).c_str());
    }
    return kExitOk;
}

// The current values in the form --values reads, for a signer elsewhere.
int PrintValues(const Options &o)
{
    PcrValues values{};
    std::string why;
    if (!CurrentValues(o.pcrMask, values, why)) {
        return Failure(o, "the current PCR values: " + why);
    }
    std::printf("# SHA-256 PCR values of this host now: 'zorvm_keytool tpm2-policy sign --values FILE' reads them\n");
    for (std::uint32_t i = 0; i < zorv::kPcrCount; ++i) {
        if ((o.pcrMask >> i) & 1u) {
            std::printf("%u ", i);
            for (std::uint8_t b : values[i]) {
                std::printf("%02x", b);
            }
            std::printf("\n");
        }
    }
    return kExitOk;
}

} // namespace

int Tpm2Policy(const Options &o)
{
    if (o.subcommand == "sign") {
        return SignPolicy(o);
    }
    if (o.subcommand == "install") {
        return InstallPolicies(o);
    }
    if (o.subcommand == "values") {
        return PrintValues(o);
    }
    return o.subcommand == "list" ? ListPolicies(o) : RemovePolicy(o);
}

} // namespace keytool
