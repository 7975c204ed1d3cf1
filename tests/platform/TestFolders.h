// Temporary folders, environment overrides and small files for tests that touch the disk.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

namespace MV::test {

// A fresh folder below /tmp, removed with everything in it.
struct TempFolder {
    TempFolder() {
        if (mkdtemp(m_path.data()) == nullptr) {
            throw std::runtime_error("cannot make " + m_path);
        }
    }
    ~TempFolder() { std::filesystem::remove_all(m_path, m_ignored); }
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

    std::string m_path = "/tmp/fluxet-test-XXXXXX";
    std::error_code m_ignored;
};

// Sets (or, with nullopt, removes) an environment variable for the life of a scope.
struct ScopedEnvironment {
    ScopedEnvironment(std::string name, const std::optional<std::string>& value)
        : m_name(std::move(name)) {
        if (const char* old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        Set(value);
    }
    ~ScopedEnvironment() { Set(m_old); }
    void Set(const std::optional<std::string>& value) const {
        value ? setenv(m_name.c_str(), value->c_str(), 1) : unsetenv(m_name.c_str());
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

// Writes `content` to `path`, creating the folders above it.
inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string ReadFile(const std::string& path) {
    return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

inline std::set<std::string> FolderEntries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

} // namespace MV::test
