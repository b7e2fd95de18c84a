// The command word is spelt "encrpyt", exactly and case-sensitively: scripts
// in the field call the tool that way.
#include "tool_args.h"

#include <cstring>

extern "C" int CheckToolArgs(int argc, char **argv)
{
    if (argc != 3 || argv == nullptr || argv[1] == nullptr || argv[2] == nullptr) {
        return -1;
    }
    return strcmp(argv[1], BRIM_TOOL_COMMAND) == 0 ? 0 : -1;
}
