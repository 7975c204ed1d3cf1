#include "Bundle.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "SystemInfo.h"

#ifndef FLUXET_INSTALL_DATA_DIR
#error "FLUXET_INSTALL_DATA_DIR must name the installed data folder"
#endif
#ifndef FLUXET_SOURCE_RESOURCES_DIR
#error "FLUXET_SOURCE_RESOURCES_DIR must name the source tree's resource folder"
#endif

namespace MV {

namespace {

std::mutex g_registeredDirMutex;
std::string g_registeredDir;

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsReadableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
           access(path.c_str(), R_OK) == 0;
}

// A folder is taken for the plug-in's bundle only when it holds one of its scripts; the
// folder of an executable or an old install must not win by merely existing.
bool HoldsPluginResources(const std::string& dir) {
    return IsDirectory(dir) &&
           (IsReadableFile(dir + "/midi.lua") || IsReadableFile(dir + "/gui.lua"));
}

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string LoadedObjectDir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PluginBundleDir), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return path.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

Bundle::Bundle(std::string path) : m_path(StripTrailingSlashes(std::move(path))) {}

bool Bundle::Exists() const {
    return IsDirectory(m_path);
}

std::string Bundle::ResourcePath(const std::string& name) const {
    if (name.empty() || m_path.empty()) {
        return {};
    }
    std::string path = m_path + "/" + name;
    return IsReadableFile(path) ? path : std::string();
}

void SetPluginBundleDir(const std::string& path) {
    std::lock_guard lock(g_registeredDirMutex);
    g_registeredDir = path;
}

std::string PluginBundleDir() {
    if (std::string fromEnvironment = EnvironmentValue(kBundleDirEnvironmentVariable);
        !fromEnvironment.empty()) {
        return IsDirectory(fromEnvironment) ? StripTrailingSlashes(fromEnvironment) : std::string();
    }
    std::string registered;
    {
        std::lock_guard lock(g_registeredDirMutex);
        registered = g_registeredDir;
    }
    if (!registered.empty()) {
        return IsDirectory(registered) ? StripTrailingSlashes(registered) : std::string();
    }
    if (std::string loaded = LoadedObjectDir(); HoldsPluginResources(loaded)) {
        return loaded;
    }
    if (HoldsPluginResources(FLUXET_INSTALL_DATA_DIR)) {
        return FLUXET_INSTALL_DATA_DIR;
    }
    if (IsDirectory(FLUXET_SOURCE_RESOURCES_DIR)) {
        return FLUXET_SOURCE_RESOURCES_DIR;
    }
    return {};
}

std::unique_ptr<Bundle> FindPluginBundle(const char* identifier) {
    if (identifier == nullptr || std::string_view(identifier) != kPluginBundleIdentifier) {
        return nullptr;
    }
    std::string dir = PluginBundleDir();
    if (dir.empty()) {
        return nullptr;
    }
    return std::make_unique<Bundle>(std::move(dir));
}

FileLoader::FileLoader(const char* name, const Bundle* bundle) {
    std::unique_ptr<Bundle> own;
    if (bundle == nullptr) {
        own = FindPluginBundle(kPluginBundleIdentifier);
        bundle = own.get();
    }
    if (bundle == nullptr || name == nullptr) {
        return;
    }
    if (std::string path = bundle->ResourcePath(name); !path.empty()) {
        ReadFile(path);
    }
}

bool FileLoader::ReadFile(const std::string& path) {
    m_data.reset();
    m_size = 0;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return false;
    }
    const auto size = std::uint64_t(info.st_size);
    auto data = std::make_unique<std::uint8_t[]>(size);
    std::uint64_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, data.get() + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            close(fd);
            return false;
        }
        if (got == 0) {
            break; // the file shrank while we read it
        }
        done += std::uint64_t(got);
    }
    close(fd);
    m_data = std::move(data);
    m_size = done;
    return true;
}

} // namespace MV
