#include "protect/pkcs11/pkcs11_module.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace zorv::pkcs11 {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::unique_ptr<Module>> modules;
    bool finalizerRegistered = false;
};

// Never destroyed: modules stay loaded until the process ends, and the exit
// handler below still needs the list after static destructors have begun.
Registry &TheRegistry()
{
    static Registry *registry = new Registry;
    return *registry;
}

// Registered after the first module's dlopen, so it runs before that
// module's own exit-time destructors.
void FinalizeAll()
{
    Registry &registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto &module : registry.modules) {
        std::lock_guard use(module->use);
        if (module->ownsInit && module->initPid == ::getpid()) {
            module->fn->C_Finalize(nullptr);
            module->ownsInit = false;
        }
    }
}

bool OwnedSafely(const struct stat &st)
{
    const bool ownerOk = st.st_uid == 0 || st.st_uid == ::geteuid();
    const bool othersCannotWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    return ownerOk && othersCannotWrite;
}

// A module runs as this process: only a file that nobody else could have
// written (nor swapped, through its folder) is loaded.
bool SafeToLoad(const std::string &path, std::string &resolved)
{
    if (path.empty() || path.front() != '/') {
        return false;
    }
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) {
        return false;
    }
    resolved = buffer;
    struct stat file {};
    struct stat folder {};
    const std::string dir = resolved.substr(0, std::max<std::size_t>(resolved.rfind('/'), 1));
    if (::stat(resolved.c_str(), &file) != 0 || ::stat(dir.c_str(), &folder) != 0) {
        return false;
    }
    const bool stickyFolder = (folder.st_mode & S_ISVTX) != 0 && (folder.st_uid == 0 || folder.st_uid == ::geteuid());
    return S_ISREG(file.st_mode) && OwnedSafely(file) && (OwnedSafely(folder) || stickyFolder);
}

// C_Initialize with the operating system's locking; a module another part of
// this process initialised already is used as it is and left initialised.
Status Initialize(Module &module)
{
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = module.fn->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        return Status::noModule;
    }
    module.ownsInit = rv == CKR_OK;
    module.initPid = ::getpid();
    return Status::ok;
}

} // namespace

Status AcquireModule(const std::string &path, Module *&module)
{
    module = nullptr;
    if (path.empty() || path.front() != '/') {
        return Status::moduleUnsafe;
    }
    if (::access(path.c_str(), F_OK) != 0) {
        return Status::noModule;
    }
    std::string resolved;
    if (!SafeToLoad(path, resolved)) {
        return Status::moduleUnsafe;
    }
    Registry &registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto &known : registry.modules) {
        if (known->path == resolved) {
            std::lock_guard use(known->use);
            if (known->initPid != ::getpid()) {
                // A forked child inherits the module's memory but not its state.
                const Status status = Initialize(*known);
                if (status != Status::ok) {
                    return status;
                }
            }
            module = known.get();
            return Status::ok;
        }
    }
    auto fresh = std::make_unique<Module>();
    fresh->path = resolved;
    fresh->handle = ::dlopen(resolved.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (fresh->handle == nullptr) {
        return Status::noModule;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(fresh->handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST *list = nullptr;
    if (getList == nullptr || getList(&list) != CKR_OK || list == nullptr || list->version.major < 2 ||
        list->C_Initialize == nullptr) {
        ::dlclose(fresh->handle);
        return Status::noModule;
    }
    fresh->fn = list;
    if (const Status status = Initialize(*fresh); status != Status::ok) {
        ::dlclose(fresh->handle);
        return status;
    }
    if (!registry.finalizerRegistered) {
        registry.finalizerRegistered = std::atexit(FinalizeAll) == 0;
    }
    module = fresh.get();
    registry.modules.push_back(std::move(fresh));
    return Status::ok;
}

} // namespace zorv::pkcs11
