// The tool's command-line check.
#ifndef BRIM_TOOL_ARGS_H
#define BRIM_TOOL_ARGS_H

#ifdef __cplusplus
extern "C" {
#endif

#define BRIM_TOOL_COMMAND "encrpyt"

/* 0 when argv is exactly: program, "encrpyt", variable name; -1 otherwise. */
int CheckToolArgs(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_TOOL_ARGS_H */
