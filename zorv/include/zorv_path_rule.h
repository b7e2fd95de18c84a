/*
 * The one rule for key-store files and their backups: each is a regular file
 * reached without links. Its path is absolute and is its own canonical path
 * (no symbolic link, ".", ".." or doubled "/" anywhere on the way), and the
 * file it names is a regular file, not a link, folder or device.
 *
 * The agent refuses to open a key store whose paths break it, and
 * zorvm_keytool refuses to write through a link and tells, in the same words,
 * when the agent would refuse a path.
 */
#ifndef ZORV_PATH_RULE_H
#define ZORV_PATH_RULE_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

/* The refusal: the path, then one of the ZORV_PATH_* reasons below. */
#define ZORV_PATH_RULE_FORMAT "Key-store file (%s) %s; key-store files must be regular files reached without links."

#define ZORV_PATH_IS_LINK "is a symbolic link"
#define ZORV_PATH_NOT_REGULAR "is not a regular file"
#define ZORV_PATH_NOT_CANONICAL "is not its own canonical path (a link, \".\", \"..\" or doubled \"/\" on the way)"
#define ZORV_PATH_NOT_ABSOLUTE "is not an absolute path"
#define ZORV_PATH_UNREADABLE "cannot be examined"

/* Why path breaks the rule, or null when it keeps it. A path that does not
 * exist keeps it here: whoever needs the file reports it missing. */
static inline const char *ZorvPathRuleProblem(const char *path)
{
    struct stat st;
    char *resolved;
    int same;

    if (path == NULL || path[0] != '/') {
        return ZORV_PATH_NOT_ABSOLUTE;
    }
    if (lstat(path, &st) != 0) {
        return errno == ENOENT ? NULL : ZORV_PATH_UNREADABLE;
    }
    if (S_ISLNK(st.st_mode)) {
        return ZORV_PATH_IS_LINK;
    }
    if (!S_ISREG(st.st_mode)) {
        return ZORV_PATH_NOT_REGULAR;
    }
    resolved = realpath(path, NULL);
    if (resolved == NULL) {
        return ZORV_PATH_UNREADABLE;
    }
    same = strcmp(resolved, path) == 0;
    free(resolved);
    return same ? NULL : ZORV_PATH_NOT_CANONICAL;
}

#endif /* ZORV_PATH_RULE_H */
