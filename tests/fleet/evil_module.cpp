// A "PKCS#11 module" that must never be loaded: its constructor appends a
// line to the file named by ZORVA_TEST_EVIL_MARKER, so a test sees whether
// any process ever loaded it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

__attribute__((constructor)) void LeaveMarker()
{
    const char *path = std::getenv("ZORVA_TEST_EVIL_MARKER");
    if (path == nullptr) {
        return;
    }
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!::write(fd, "loaded\n", 7);
        ::close(fd);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) unsigned long C_GetFunctionList(void **list)
{
    *list = nullptr;
    return 5; // CKR_GENERAL_ERROR
}
