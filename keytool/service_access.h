// Whether another user (the service's) can reach a file, judged from the
// owner, group and mode of the file and of every folder above it and from the
// user's groups, without switching to that user. Access control lists and
// security modules are not read: they can only take away what the mode gives
// here, or give to the user what the file's group has.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace keytool {

struct ServiceUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // every group the user is in, its own included
};

// The user by name or number; false when there is none.
bool FindServiceUser(const std::string &user, ServiceUser &out);

enum class Want { read, readWrite };

// "" when user can open path as wanted; else why not, naming the part of the
// path that stops it and what was found there ("/etc/zorva: no search
// permission (owner root, group root, mode 0700)").
std::string AccessProblem(const ServiceUser &user, const std::string &path, Want want);

// "" when the secret file at path passes the rule the agent reads it by as
// user (crypto/private_file.h: a regular file of user or root, that its
// group may at most read and others not reach); else why not.
std::string PrivateFileProblem(const ServiceUser &user, const std::string &path);

} // namespace keytool
