// Test support: runs zorvm_keytool (path given by ZORVM_KEYTOOL at build
// time) and answers its exit status.
#pragma once

#include <cstdlib>
#include <string>
#include <sys/wait.h>

namespace zorva_test {

inline int RunKeytool(const std::string &arguments)
{
    const std::string command = std::string(ZORVM_KEYTOOL) + " " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int CreateStore(const std::string &primary, const std::string &standby)
{
    return RunKeytool("create --primary '" + primary + "' --standby '" + standby + "'");
}

} // namespace zorva_test
