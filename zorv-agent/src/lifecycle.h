// Internal to the agent: the lifecycle steps other files of the library use.
#pragma once

#include "zorva_main.h"

extern "C" {
// Checks the two key-file paths (both exist, primary first; each at most 127
// characters; each a regular file reached without links, zorv_path_rule.h)
// and stages them in g_szZorvaPriKeyFile, g_szZorvaStdKeyFile and
// g_pstZorvaFileName. 0; 10003 when one does not exist; 10002 when one is
// too long; -1 when one breaks the path rule (nothing staged) or a copy
// failed. Logs its own failure line.
int ZORVA_PreInit(const char *primaryKeyFile, const char *standbyKeyFile);
}

namespace zorva {

// g_bZorvaIsInit is a plain exported int; the library reads and writes it
// atomically so a concurrent on-demand check never sees a torn value.
inline bool IsInitialised()
{
    return __atomic_load_n(&g_bZorvaIsInit, __ATOMIC_ACQUIRE) == 1;
}

inline void SetInitialised(bool on)
{
    __atomic_store_n(&g_bZorvaIsInit, on ? 1 : 0, __ATOMIC_RELEASE);
}

} // namespace zorva
