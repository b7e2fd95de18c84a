#include "protect/pkcs11/pkcs11_module.h"

#include "crypto/unique_fd.h"
#include "failure_detail.h"
#include "trust/host_config.h"

#include <dlfcn.h>
#include <fcntl.h>
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

constexpr std::size_t kMaxModuleSize = std::size_t{1} << 30;

// C_Initialize with the operating system's locking; a module another part of
// this process initialised already is used as it is and left initialised.
Status Initialize(Module &module)
{
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = module.fn->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        NoteFailureDetail(module.path + ": C_Initialize returned " + ReturnName(rv));
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
    Registry &registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    for (auto &known : registry.modules) {
        if (known->path == path) {
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
    // A module runs as this process: it is loaded only from a file that
    // nobody but root (or this user) could have written or swapped, through
    // the descriptor that was checked, so the file checked is the one loaded.
    ConfigStatus found = ConfigStatus::missing;
    std::string why;
    UniqueFd fd(OpenTrustedFile(path, found, why, kMaxModuleSize));
    if (!fd.valid()) {
        NoteFailureDetail(why);
        return found == ConfigStatus::missing ? Status::noModule : Status::moduleUnsafe;
    }
    auto fresh = std::make_unique<Module>();
    fresh->path = path;
    // The descriptor stays open as long as the module is loaded: the loader
    // knows a library by the name it was opened under, and a descriptor
    // number given back and reused would make a later load of another
    // module return this one.
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd.get());
    fresh->handle = ::dlopen(byDescriptor.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (fresh->handle == nullptr) {
        const char *error = ::dlerror();
        NoteFailureDetail(path + ": " + (error != nullptr ? error : "not loadable"));
        return Status::noModule;
    }
    (void)fd.release(); // open for good from here on (see above)
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(fresh->handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST *list = nullptr;
    if (getList == nullptr || getList(&list) != CKR_OK || list == nullptr || list->version.major < 2 ||
        list->C_Initialize == nullptr) {
        NoteFailureDetail(path + ": not a PKCS#11 module (no usable C_GetFunctionList)");
        ::dlclose(fresh->handle); // its descriptor stays open: the name may outlive dlclose
        return Status::noModule;
    }
    fresh->fn = list;
    if (const Status status = Initialize(*fresh); status != Status::ok) {
        ::dlclose(fresh->handle); // its descriptor stays open: the name may outlive dlclose
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
