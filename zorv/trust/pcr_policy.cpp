#include "trust/pcr_policy.h"

#include <openssl/evp.h>
#include <tss2/tss2_mu.h>

#include <algorithm>

#include "crypto/admin_key.h"
#include "trust/host_config.h"

namespace zorv {
namespace {

constexpr const char *kLineWord = "tpm2-pcr-policy";
constexpr const char *kPolicyLineForm = "tpm2-pcr-policy SIGNER PCRS SIGNATURE";

bool Sha256(std::span<const std::uint8_t> in, PolicyDigest &out)
{
    unsigned int n = 0;
    return EVP_Digest(in.data(), in.size(), out.data(), &n, EVP_sha256(), nullptr) == 1 && n == out.size();
}

void PutU32Be(std::vector<std::uint8_t> &out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

template <typename T, typename Fn>
bool Marshal(const T &value, Fn marshal, std::vector<std::uint8_t> &out)
{
    std::array<std::uint8_t, sizeof(T)> buf{};
    std::size_t used = 0;
    if (marshal(&value, buf.data(), buf.size(), &used) != TSS2_RC_SUCCESS) {
        return false;
    }
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

// Unmarshals exactly bytes into value, which must marshal back to them: one
// encoding per value.
template <typename T, typename Un, typename Re>
bool UnmarshalExactly(std::span<const std::uint8_t> bytes, Un unmarshal, Re marshal, T &value)
{
    std::size_t used = 0;
    std::vector<std::uint8_t> again;
    return unmarshal(bytes.data(), bytes.size(), &used, &value) == TSS2_RC_SUCCESS && used == bytes.size() &&
           Marshal(value, marshal, again) && std::equal(again.begin(), again.end(), bytes.begin(), bytes.end());
}

// Only the areas PublicArea makes.
bool CanonicalSigner(const TPMT_PUBLIC &k)
{
    if (k.nameAlg != TPM2_ALG_SHA256 || k.objectAttributes != kSignerAttributes || k.authPolicy.size != 0) {
        return false;
    }
    if (k.type == TPM2_ALG_ECC) {
        const TPMS_ECC_PARMS &ecc = k.parameters.eccDetail;
        return ecc.symmetric.algorithm == TPM2_ALG_NULL && ecc.scheme.scheme == TPM2_ALG_NULL &&
               ecc.curveID == TPM2_ECC_NIST_P256 && ecc.kdf.scheme == TPM2_ALG_NULL && k.unique.ecc.x.size == 32 &&
               k.unique.ecc.y.size == 32;
    }
    if (k.type == TPM2_ALG_RSA) {
        const TPMS_RSA_PARMS &rsa = k.parameters.rsaDetail;
        return rsa.symmetric.algorithm == TPM2_ALG_NULL && rsa.scheme.scheme == TPM2_ALG_NULL &&
               (rsa.keyBits == 2048 || rsa.keyBits == 3072) && rsa.exponent != kRsaDefaultExponent &&
               k.unique.rsa.size == rsa.keyBits / 8;
    }
    return false;
}

// The signature scheme that goes with the key: ECDSA or RSASSA, SHA-256.
bool SignatureFits(const TPMT_PUBLIC &key, const TPMT_SIGNATURE &s)
{
    if (key.type == TPM2_ALG_ECC) {
        return s.sigAlg == TPM2_ALG_ECDSA && s.signature.ecdsa.hash == TPM2_ALG_SHA256 &&
               s.signature.ecdsa.signatureR.size >= 1 && s.signature.ecdsa.signatureR.size <= 32 &&
               s.signature.ecdsa.signatureS.size >= 1 && s.signature.ecdsa.signatureS.size <= 32;
    }
    return s.sigAlg == TPM2_ALG_RSASSA && s.signature.rsassa.hash == TPM2_ALG_SHA256 &&
           s.signature.rsassa.sig.size == key.parameters.rsaDetail.keyBits / 8;
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    for (std::uint8_t b : bytes) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

int HexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool FromHex(std::string_view text, std::span<std::uint8_t> out)
{
    if (text.size() != 2 * out.size()) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = HexDigit(text[2 * i]);
        const int lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

// Base64 of at most max bytes, whatever their number.
bool FromBase64(std::string_view text, std::size_t max, std::vector<std::uint8_t> &out)
{
    const std::size_t bare = text.find_last_not_of('=') + 1;
    const std::size_t n = bare * 3 / 4;
    if (text.empty() || bare == 0 || n > max) {
        return false;
    }
    out.assign(n, 0);
    return FromBase64Text(text, out);
}

std::string FormatPcrs(std::uint32_t mask, const PcrValues &values)
{
    std::string out;
    for (std::uint32_t i = 0; i < kPcrCount; ++i) {
        if ((mask >> i) & 1u) {
            out += (out.empty() ? "" : ",") + std::to_string(i) + ":" + Hex(values[i]);
        }
    }
    return out;
}

// "7:HEX,16:HEX", ascending.
bool ParsePcrs(std::string_view text, std::uint32_t &mask, PcrValues &values)
{
    mask = 0;
    values = PcrValues{};
    int last = -1;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos || colon == 0 || colon > 2 || (comma != std::string_view::npos && text.empty())) {
            return false;
        }
        int index = 0;
        for (char c : item.substr(0, colon)) {
            if (c < '0' || c > '9') {
                return false;
            }
            index = index * 10 + (c - '0');
        }
        if (index <= last || index >= static_cast<int>(kPcrCount) || (colon == 2 && item[0] == '0') ||
            !FromHex(item.substr(colon + 1), values[static_cast<std::size_t>(index)])) {
            return false;
        }
        mask |= 1u << index;
        last = index;
    }
    return mask != 0;
}

} // namespace

TPML_PCR_SELECTION PcrSelection(std::uint32_t mask)
{
    TPML_PCR_SELECTION s{};
    s.count = 1;
    s.pcrSelections[0].hash = TPM2_ALG_SHA256;
    s.pcrSelections[0].sizeofSelect = 3;
    for (std::size_t i = 0; i < 3; ++i) {
        s.pcrSelections[0].pcrSelect[i] = static_cast<std::uint8_t>(mask >> (8 * i));
    }
    return s;
}

bool PcrPolicyDigest(std::uint32_t mask, const PcrValues &values, PolicyDigest &out)
{
    std::vector<std::uint8_t> concatenated;
    for (std::uint32_t i = 0; i < kPcrCount; ++i) {
        if ((mask >> i) & 1u) {
            concatenated.insert(concatenated.end(), values[i].begin(), values[i].end());
        }
    }
    PolicyDigest pcrDigest{};
    std::vector<std::uint8_t> update(32, 0);
    PutU32Be(update, TPM2_CC_PolicyPCR);
    if (!Sha256(concatenated, pcrDigest) || !Marshal(PcrSelection(mask), Tss2_MU_TPML_PCR_SELECTION_Marshal, update)) {
        return false;
    }
    update.insert(update.end(), pcrDigest.begin(), pcrDigest.end());
    return Sha256(update, out);
}

bool AuthorizedPolicyDigest(const KeyName &signer, PolicyDigest &out)
{
    std::vector<std::uint8_t> update(32, 0);
    PutU32Be(update, TPM2_CC_PolicyAuthorize);
    update.insert(update.end(), signer.begin(), signer.end());
    PolicyDigest first{};
    // The second step hashes in the policy reference, which is empty.
    return Sha256(update, first) && Sha256(first, out);
}

bool ApprovalHash(const PolicyDigest &approved, PolicyDigest &out) { return Sha256(approved, out); }

bool SignerName(const TPMT_PUBLIC &key, KeyName &out)
{
    std::vector<std::uint8_t> area;
    PolicyDigest digest{};
    if (!Marshal(key, Tss2_MU_TPMT_PUBLIC_Marshal, area) || !Sha256(area, digest)) {
        return false;
    }
    out[0] = static_cast<std::uint8_t>(TPM2_ALG_SHA256 >> 8);
    out[1] = static_cast<std::uint8_t>(TPM2_ALG_SHA256 & 0xFF);
    std::copy(digest.begin(), digest.end(), out.begin() + 2);
    return true;
}

bool ParsePolicyLine(const std::vector<std::string> &words, SignedPcrPolicy &p)
{
    p = SignedPcrPolicy{};
    std::vector<std::uint8_t> signer, signature;
    return words.size() == 4 && words[0] == kLineWord && FromBase64(words[1], sizeof(TPMT_PUBLIC), signer) &&
           UnmarshalExactly(signer, Tss2_MU_TPMT_PUBLIC_Unmarshal, Tss2_MU_TPMT_PUBLIC_Marshal, p.signer) &&
           CanonicalSigner(p.signer) && SignerName(p.signer, p.signerName) &&
           ParsePcrs(words[2], p.pcrMask, p.values) && FromBase64(words[3], sizeof(TPMT_SIGNATURE), signature) &&
           UnmarshalExactly(signature, Tss2_MU_TPMT_SIGNATURE_Unmarshal, Tss2_MU_TPMT_SIGNATURE_Marshal,
                            p.signature) &&
           SignatureFits(p.signer, p.signature);
}

std::string FormatPolicyLine(const SignedPcrPolicy &p)
{
    std::vector<std::uint8_t> signer, signature;
    if (!Marshal(p.signer, Tss2_MU_TPMT_PUBLIC_Marshal, signer) ||
        !Marshal(p.signature, Tss2_MU_TPMT_SIGNATURE_Marshal, signature)) {
        return {};
    }
    return std::string(kLineWord) + " " + Base64Text(signer) + " " + FormatPcrs(p.pcrMask, p.values) + " " +
           Base64Text(signature);
}

bool ParsePolicies(std::string_view text, std::size_t max, std::vector<SignedPcrPolicy> &out, std::string &why)
{
    out.clear();
    std::size_t number = 0;
    for (const auto &words : ConfigLines(text)) {
        ++number;
        SignedPcrPolicy p;
        if (!ParsePolicyLine(words, p)) {
            why = "entry " + std::to_string(number) + " is not '" + kPolicyLineForm + "'";
            out.clear();
            return false;
        }
        if (out.size() == max) {
            why = "more than " + std::to_string(max) + " policies";
            out.clear();
            return false;
        }
        out.push_back(p);
    }
    if (out.empty()) {
        why = "no policy in it";
        return false;
    }
    return true;
}

std::string PolicyId(const SignedPcrPolicy &p)
{
    const std::string line = FormatPolicyLine(p);
    PolicyDigest digest{};
    if (!Sha256(std::span(reinterpret_cast<const std::uint8_t *>(line.data()), line.size()), digest)) {
        return "?";
    }
    return Hex(std::span(digest).first(8));
}

std::string SignerId(const KeyName &name) { return Hex(std::span(name).subspan(2, 8)); }

bool ParsePcrValues(std::string_view text, std::uint32_t mask, PcrValues &values, std::string &why)
{
    values = PcrValues{};
    std::uint32_t seen = 0;
    std::size_t number = 0;
    for (const auto &words : ConfigLines(text)) {
        ++number;
        const std::string &index = words[0];
        const bool numeric = !index.empty() && index.size() <= 2 && (index.size() == 1 || index[0] != '0') &&
                               std::all_of(index.begin(), index.end(), [](char c) { return c >= '0' && c <= '9'; });
        const std::uint32_t pcr = numeric ? static_cast<std::uint32_t>(std::stoul(index)) : kPcrCount;
        PolicyDigest value{};
        if (words.size() != 2 || pcr >= kPcrCount || !FromHex(words[1], value)) {
            why = "line " + std::to_string(number) + " is not 'INDEX SHA256-HEX' (a PCR 0..23, 64 hex digits)";
            return false;
        }
        if ((seen >> pcr) & 1u) {
            why = "PCR " + std::to_string(pcr) + " is given twice";
            return false;
        }
        seen |= 1u << pcr;
        if ((mask >> pcr) & 1u) {
            values[pcr] = value;
        }
    }
    if ((mask & ~seen) != 0) {
        why = "no value for PCR " + PcrIndexList(mask & ~seen);
        return false;
    }
    return true;
}

std::string PcrIndexList(std::uint32_t mask)
{
    std::string out;
    for (std::uint32_t i = 0; i < kPcrCount; ++i) {
        if ((mask >> i) & 1u) {
            out += (out.empty() ? "" : ", ") + std::to_string(i);
        }
    }
    return out;
}

std::uint32_t DifferingPcrs(std::uint32_t mask, const PcrValues &a, const PcrValues &b)
{
    std::uint32_t differ = 0;
    for (std::uint32_t i = 0; i < kPcrCount; ++i) {
        if (((mask >> i) & 1u) && a[i] != b[i]) {
            differ |= 1u << i;
        }
    }
    return differ;
}

} // namespace zorv
