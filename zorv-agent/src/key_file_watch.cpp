// Change detection of the primary key-store file: its identity and change
// stamps (device, inode, size, modification time to the nanosecond), and only
// when one of them moved, the SHA-256 of its contents, each compared with the
// status saved at the last check. Whole seconds alone would miss a second
// rotation within the same second: the keytool replaces the file by rename,
// which always yields a new inode, and the time carries the nanoseconds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "agent_log.h"
#include "crypto_support.h"

using namespace zorva;
using namespace zorva::crypto;

namespace {

constexpr int32_t kDigestSize = 32;

// Holds g_stZorvaStatusRwLock for its lifetime.
class StatusHold {
public:
    explicit StatusHold(bool write)
    {
        if (write) {
            (void)pthread_rwlock_wrlock(&g_stZorvaStatusRwLock);
        } else {
            (void)pthread_rwlock_rdlock(&g_stZorvaStatusRwLock);
        }
    }
    ~StatusHold() { (void)pthread_rwlock_unlock(&g_stZorvaStatusRwLock); }
    StatusHold(const StatusHold &) = delete;
    StatusHold &operator=(const StatusHold &) = delete;
};

struct FileCloser {
    void operator()(FILE *f) const { (void)std::fclose(f); }
};

// The key file's contents: wiped before they are freed.
struct WipedBytes {
    unsigned char *data = nullptr;
    size_t size = 0;
    ~WipedBytes()
    {
        if (data != nullptr) {
            (void)memset_s(data, size, 0, size);
            std::free(data);
        }
    }
};

// Whether the file at the watched path may differ from the one saved: any
// difference leads to the SHA-256 comparison, which decides.
bool StampsDiffer(const struct stat &a, const struct stat &b)
{
    return a.st_dev != b.st_dev || a.st_ino != b.st_ino || a.st_size != b.st_size ||
           a.st_mtim.tv_sec != b.st_mtim.tv_sec || a.st_mtim.tv_nsec != b.st_mtim.tv_nsec;
}

} // namespace

extern "C" {

struct stat g_stOldStat = {};
char g_sha256SumOld[ZORVA_SHA256_TEXT_LEN] = {};

int ZORVA_CheckTimeStamp(struct stat *status)
{
    struct stat current = {};
    if (status == nullptr || stat(g_szZorvaPriKeyFile, &current) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_CheckTimeStamp", "Stat file failed.");
        return 0;
    }
    *status = current;
    StatusHold hold(false);
    return StampsDiffer(current, g_stOldStat) ? 1 : 0;
}

int ZORVA_Checksha256(char *hashText)
{
    if (access(g_szZorvaPriKeyFile, F_OK) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_Checksha256", "File (%s) not exist.", g_szZorvaPriKeyFile);
        return 0;
    }
    unsigned char digest[kDigestSize] = {};
    if (ZORVA_GetKeyFileSha256(digest, kDigestSize) != RET_OK) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_Checksha256", "Fail to get key file sha256.");
        return 0;
    }
    for (int i = 0; i < kDigestSize; ++i) {
        if (sprintf_s(hashText + 2 * i, ZORVA_SHA256_TEXT_LEN - 2 * i, "%02x", digest[i]) < 0) {
            ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_Checksha256", "Sprintf_s failed.");
            return 0;
        }
    }
    bool same = false;
    {
        StatusHold hold(false);
        same = std::strncmp(hashText, g_sha256SumOld, ZORVA_SHA256_TEXT_LEN) == 0;
    }
    if (same) {
        return 0;
    }
    ZORVA_LOG(ZORVA_LOG_INFO, kCodeKeyFile, "ZORVA_Checksha256", "Zorvm_pri file sha256 is not same, need to reload.");
    return 1;
}

int ZORVA_GetKeyFileSha256(unsigned char *digest, int32_t capacity)
{
    if (digest == nullptr || capacity < kDigestSize) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_GetKeyFileSha256", "Value length error.");
        return RET_ERR;
    }
    std::unique_ptr<FILE, FileCloser> file(std::fopen(g_szZorvaPriKeyFile, "rb"));
    if (!file) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_GetKeyFileSha256", "Open file path is fail.");
        return RET_ERR;
    }
    // Unbuffered, so no stdio buffer is freed holding store bytes.
    (void)std::setvbuf(file.get(), nullptr, _IONBF, 0);
    long size = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
        size = std::ftell(file.get());
    }
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_GetKeyFileSha256", "Get file seie fail.");
        return RET_ERR;
    }
    // One spare byte for the terminator; a size that leaves no room for it
    // fails the allocation.
    WipedBytes contents;
    const size_t bytes = static_cast<size_t>(size);
    if (bytes < SIZE_MAX) {
        contents.data = static_cast<unsigned char *>(std::malloc(bytes + 1));
    }
    if (contents.data == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_GetKeyFileSha256", "Malloc memory failed.");
        return RET_ERR;
    }
    contents.size = bytes + 1;
    (void)memset_s(contents.data, contents.size, 0, contents.size);
    const size_t got = std::fread(contents.data, 1, bytes, file.get());
    if (got < bytes) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeKeyFile, "ZORVA_GetKeyFileSha256", "Read (%llu) but file size(%llu).",
                  static_cast<unsigned long long>(got), static_cast<unsigned long long>(bytes));
        return RET_ERR;
    }
    contents.data[bytes] = '\0';
    if (EVP_Digest(contents.data, bytes, digest, nullptr, EVP_sha256(), nullptr) != 1) {
        return RET_ERR;
    }
    return RET_OK;
}

void ZORVA_SaveKeyFileStatus(const struct stat *status, const char *hashText, uint32_t hashTextLen)
{
    if (status == nullptr || hashText == nullptr) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeReload, "ZORVA_SaveKeyFileStatus", "Update key file status failed.");
        return;
    }
    int statusCopy = 0;
    int hashCopy = 0;
    {
        StatusHold hold(true);
        statusCopy = memcpy_s(&g_stOldStat, sizeof g_stOldStat, status, sizeof g_stOldStat);
        // Never more than the saved text's own size: a longer length is
        // refused (and the saved text cleared) instead of written past it.
        hashCopy = memcpy_s(g_sha256SumOld, sizeof g_sha256SumOld, hashText, hashTextLen);
    }
    // Logged outside the status lock: the log function is the caller's code.
    if (statusCopy != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeReload, "ZORVA_SaveKeyFileStatus", "Memcpy_s timestamp failed.");
    }
    if (hashCopy != 0) {
        ZORVA_LOG(ZORVA_LOG_ERROR, kCodeReload, "ZORVA_SaveKeyFileStatus", "Memcpy_s sha256 failed.");
    }
}
}
