// Stand-in key-management component, scriptable through
// zorv_double_control.h.
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "zorv.h"
#include "zorv_double_control.h"

namespace {

constexpr size_t kQueueMax = 8;

struct CallScript {
    uint64_t result = 0;
    std::array<uint64_t, kQueueMax> queue{};
    size_t queued = 0;
    int count = 0;
};

struct State {
    std::mutex mutex;
    std::array<CallScript, ZORV_DOUBLE_CALL_COUNT> calls{};
    const QintCallbacks *record = nullptr;
    QintCallbacks recordCopy{};
    bool haveInitArgs = false;
    ZorvDoubleInitArgs initArgs{};
    bool readFiles = false;
    void (*hook)(ZorvDoubleCall) = nullptr;
    bool loaded = false;
};

State &TheState()
{
    static State state;
    return state;
}

// Counts the call and takes its scripted result.
uint64_t Take(ZorvDoubleCall call)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    CallScript &c = s.calls[call];
    ++c.count;
    if (c.queued > 0) {
        const uint64_t r = c.queue[0];
        for (size_t i = 1; i < c.queued; ++i) {
            c.queue[i - 1] = c.queue[i];
        }
        --c.queued;
        return r;
    }
    return c.result;
}

void RunHook(ZorvDoubleCall call)
{
    void (*hook)(ZorvDoubleCall) = nullptr;
    {
        std::lock_guard lock(TheState().mutex);
        hook = TheState().hook;
    }
    if (hook != nullptr) {
        hook(call);
    }
}

void CopyPath(char (&dest)[256], const char *src)
{
    dest[0] = '\0';
    if (src != nullptr) {
        std::strncpy(dest, src, sizeof dest - 1);
        dest[sizeof dest - 1] = '\0';
    }
}

// Reads a whole file through the registered callbacks, as the real component
// reads its key-store files.
bool ReadThroughCallbacks(const QintCallbacks *cb, const char *path)
{
    if (cb == nullptr || path == nullptr || cb->fileOpen == nullptr || cb->fileRead == nullptr ||
        cb->fileClose == nullptr || cb->fileEof == nullptr) {
        return false;
    }
    if (cb->fileExist != nullptr && cb->fileExist(path) != QINT_TRUE) {
        return false;
    }
    void *stream = cb->fileOpen(path, QINT_OPEN_READ);
    if (stream == nullptr) {
        return false;
    }
    bool ok = true;
    std::array<unsigned char, 64> buffer{};
    for (int guard = 0; guard < 1 << 16; ++guard) {
        if (cb->fileRead(buffer.data(), buffer.size(), stream) != QINT_TRUE) {
            ok = false;
            break;
        }
        int eof = 0;
        cb->fileEof(stream, &eof);
        if (eof != 0) {
            break;
        }
    }
    cb->fileClose(stream);
    return ok;
}

} // namespace

extern "C" {

uint64_t QintRegFuncEx(const QintCallbacks *callbacks)
{
    const uint64_t r = Take(ZORV_DOUBLE_REG);
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    s.record = callbacks;
    if (callbacks != nullptr) {
        std::memcpy(&s.recordCopy, callbacks, sizeof s.recordCopy);
    }
    return r;
}

uint64_t QintInitializeEx(uint32_t flags, const QintKeyFileName *fileName, uint32_t options, void *reserved)
{
    State &s = TheState();
    const uint64_t scripted = Take(ZORV_DOUBLE_INIT);
    const QintCallbacks *cb = nullptr;
    bool readFiles = false;
    {
        std::lock_guard lock(s.mutex);
        s.haveInitArgs = true;
        s.initArgs = ZorvDoubleInitArgs{};
        s.initArgs.record = fileName;
        s.initArgs.flags = flags;
        s.initArgs.options = options;
        s.initArgs.reserved = reserved;
        if (fileName != nullptr) {
            CopyPath(s.initArgs.primary, fileName->primaryFile);
            CopyPath(s.initArgs.standby, fileName->standbyFile);
            s.initArgs.recordReserved = fileName->reserved;
        }
        cb = s.record;
        readFiles = s.readFiles;
    }
    RunHook(ZORV_DOUBLE_INIT);
    if (readFiles && (fileName == nullptr || !ReadThroughCallbacks(cb, fileName->primaryFile) ||
                      !ReadThroughCallbacks(cb, fileName->standbyFile))) {
        return 1;
    }
    if (scripted == 0 || scripted == 254) {
        std::lock_guard lock(s.mutex);
        s.loaded = true;
    }
    return scripted;
}

uint64_t QintResetEx(void)
{
    const uint64_t r = Take(ZORV_DOUBLE_RESET);
    RunHook(ZORV_DOUBLE_RESET);
    return r;
}

uint64_t QintFinalizeEx(void)
{
    const uint64_t r = Take(ZORV_DOUBLE_FINALIZE);
    if (r == 0) {
        std::lock_guard lock(TheState().mutex);
        TheState().loaded = false;
    }
    return r;
}

void ZorvDouble_Reset(void)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    s.calls = {};
    s.record = nullptr;
    s.recordCopy = QintCallbacks{};
    s.haveInitArgs = false;
    s.initArgs = ZorvDoubleInitArgs{};
    s.readFiles = false;
    s.hook = nullptr;
    s.loaded = false;
}

void ZorvDouble_SetResult(ZorvDoubleCall call, uint64_t result)
{
    if (call < 0 || call >= ZORV_DOUBLE_CALL_COUNT) {
        return;
    }
    std::lock_guard lock(TheState().mutex);
    TheState().calls[call].result = result;
}

void ZorvDouble_QueueResult(ZorvDoubleCall call, uint64_t result)
{
    if (call < 0 || call >= ZORV_DOUBLE_CALL_COUNT) {
        return;
    }
    std::lock_guard lock(TheState().mutex);
    CallScript &c = TheState().calls[call];
    if (c.queued < kQueueMax) {
        c.queue[c.queued++] = result;
    }
}

int ZorvDouble_CallCount(ZorvDoubleCall call)
{
    if (call < 0 || call >= ZORV_DOUBLE_CALL_COUNT) {
        return -1;
    }
    std::lock_guard lock(TheState().mutex);
    return TheState().calls[call].count;
}

void ZorvDouble_SetReadFilesOnInit(int on)
{
    std::lock_guard lock(TheState().mutex);
    TheState().readFiles = on != 0;
}

void ZorvDouble_SetHook(void (*hook)(ZorvDoubleCall call))
{
    std::lock_guard lock(TheState().mutex);
    TheState().hook = hook;
}

const QintCallbacks *ZorvDouble_RegisteredRecord(void)
{
    std::lock_guard lock(TheState().mutex);
    return TheState().record;
}

int ZorvDouble_RegisteredCopy(QintCallbacks *out)
{
    std::lock_guard lock(TheState().mutex);
    if (out == nullptr || TheState().record == nullptr) {
        return 0;
    }
    *out = TheState().recordCopy;
    return 1;
}

int ZorvDouble_LastInitArgs(ZorvDoubleInitArgs *out)
{
    std::lock_guard lock(TheState().mutex);
    if (out == nullptr || !TheState().haveInitArgs) {
        return 0;
    }
    *out = TheState().initArgs;
    return 1;
}

int ZorvDouble_IsLoaded(void)
{
    std::lock_guard lock(TheState().mutex);
    return TheState().loaded ? 1 : 0;
}

void ZorvDouble_EmitLog(int level, const char *text1, const char *text2, int number, char *message)
{
    const QintCallbacks *cb = ZorvDouble_RegisteredRecord();
    if (cb != nullptr && cb->log != nullptr) {
        cb->log(level, text1, text2, number, message);
    }
}
}
