// Test support: a fresh directory under /tmp, removed with its content.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace zorva_test {

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zorva-test.XXXXXX").string();
        char *made = mkdtemp(pattern.data());
        // Resolve once so paths handed to the agent are canonical.
        path_ = std::filesystem::canonical(made != nullptr ? made : "/tmp").string();
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    // Creates (or overwrites) a file with the given content; returns its path.
    std::string Write(const std::string &name, const std::string &content) const
    {
        const std::string p = *this / name;
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

private:
    std::string path_;
};

} // namespace zorva_test
