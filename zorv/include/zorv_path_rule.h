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
#include <limits.h>
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

/* Whether the part of path from start, up to the next '/' or its end, is
 * empty, "." or "..". */
static inline int ZorvPathPartIsNotAName(const char *part)
{
    size_t n = strcspn(part, "/");
    return n == 0 || (n == 1 && part[0] == '.') || (n == 2 && part[0] == '.' && part[1] == '.');
}

/* Why path breaks the rule, or null when it keeps it. A path that does not
 * exist keeps it here: whoever needs the file reports it missing.
 *
 * checked carries a path from one call to the next: when *checked is not
 * null, the folders path shares with it are not looked at again (a key-store
 * pair usually shares them all); on return *checked is path when path names
 * a file that keeps the rule, else null.
 *
 * Worked out from the names and one lstat per folder on the way rather than
 * by resolving the path: the agent asks on every load, and this costs one
 * system call per folder where resolving costs one per component and an
 * allocation. */
static inline const char *ZorvPathRuleProblemBeside(const char *path, const char **checked)
{
    const char *before = *checked;
    struct stat st;
    char folder[PATH_MAX];
    size_t len;
    size_t i;

    *checked = NULL;
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
    len = strlen(path);
    if (len >= sizeof folder) {
        return ZORV_PATH_UNREADABLE;
    }
    for (i = 0; i < len; ++i) {
        if (path[i] == '/' && ZorvPathPartIsNotAName(path + i + 1)) {
            return ZORV_PATH_NOT_CANONICAL;
        }
    }
    /* Every folder on the way is a folder itself, not a link to one. */
    for (i = 1; i < len; ++i) {
        if (path[i] != '/' || (before != NULL && strncmp(path, before, i + 1) == 0)) {
            continue;
        }
        memcpy(folder, path, i);
        folder[i] = '\0';
        if (lstat(folder, &st) != 0) {
            return ZORV_PATH_UNREADABLE;
        }
        if (!S_ISDIR(st.st_mode)) {
            return ZORV_PATH_NOT_CANONICAL;
        }
    }
    *checked = path;
    return NULL;
}

static inline const char *ZorvPathRuleProblem(const char *path)
{
    const char *checked = NULL;
    return ZorvPathRuleProblemBeside(path, &checked);
}

#endif /* ZORV_PATH_RULE_H */
