// A PKCS#11 module that forwards to another and logs the calls that reach a
// token's secrets or the module's life, one name a line.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include <p11-kit/pkcs11.h>

namespace {

CK_FUNCTION_LIST *real = nullptr;
CK_FUNCTION_LIST forwarded;

void Note(const char *name)
{
    const char *log = std::getenv("ZORVA_TEST_P11_LOG");
    if (log == nullptr) {
        return;
    }
    if (FILE *f = std::fopen(log, "a")) {
        std::fprintf(f, "%s\n", name);
        std::fclose(f);
    }
}

CK_RV Initialize(void *args)
{
    Note("C_Initialize");
    return real->C_Initialize(args);
}
CK_RV Finalize(void *reserved)
{
    Note("C_Finalize");
    return real->C_Finalize(reserved);
}
CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    Note("C_Login");
    return real->C_Login(session, user, pin, len);
}
CK_RV Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    Note("C_Decrypt");
    return real->C_Decrypt(session, in, inLen, out, outLen);
}
CK_RV UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped,
                CK_ULONG wrappedLen, CK_ATTRIBUTE_PTR attrs, CK_ULONG count, CK_OBJECT_HANDLE_PTR out)
{
    Note("C_UnwrapKey");
    return real->C_UnwrapKey(session, mechanism, key, wrapped, wrappedLen, attrs, count, out);
}

} // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list)
{
    if (real == nullptr) {
        const char *path = std::getenv("ZORVA_TEST_P11_REAL");
        void *handle = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
        auto get = handle != nullptr ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"))
                                     : nullptr;
        if (get == nullptr || get(&real) != CKR_OK || real == nullptr) {
            real = nullptr;
            return CKR_GENERAL_ERROR;
        }
        forwarded = *real;
        forwarded.C_Initialize = Initialize;
        forwarded.C_Finalize = Finalize;
        forwarded.C_Login = Login;
        forwarded.C_Decrypt = Decrypt;
        forwarded.C_UnwrapKey = UnwrapKey;
    }
    *list = &forwarded;
    return CKR_OK;
}
