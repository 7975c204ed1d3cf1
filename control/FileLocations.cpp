#include "FileLocations.h"

#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "SystemInfo.h"

namespace MV {

namespace {

// Folder paths handed to the rest of the system must fit a 256-byte buffer.
constexpr std::size_t kLongestFolderPath = 255;

std::string FromEnvironment(const char* variable, const char* fallback) {
    std::string value = EnvironmentValue(variable);
    return value.empty() ? fallback : value;
}

std::string UserDataFolder() {
    if (std::string data = EnvironmentValue("XDG_DATA_HOME"); !data.empty() && data[0] == '/') {
        return data;
    }
    const std::string home = HomeDirectory();
    return home.empty() ? std::string() : home + "/.local/share";
}

std::string ContentFolder(SInt16 domain, const std::string& product, const char* kind) {
    const std::string support = GetApplicationSupportFolder(domain);
    if (support.empty()) {
        return {};
    }
    return support + "/" + kMakerFolderName + "/" + product + "/" + kind;
}

bool IsReadable(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

bool IsDirectoryEntry(const std::string& path, const dirent& entry) {
    if (entry.d_type == DT_DIR) {
        return true;
    }
    if (entry.d_type != DT_UNKNOWN && entry.d_type != DT_LNK) {
        return false;
    }
    // The file system did not say, or a link: ask what it ends at.
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string GetApplicationSupportFolder(SInt16 domain) {
    std::string folder;
    switch (domain) {
    case kUserDomain:
        folder = UserDataFolder();
        break;
    case kLocalDomain:
        folder = FromEnvironment(kLocalDataDirEnvironmentVariable, "/usr/local/share");
        break;
    case kSystemDomain:
        folder = FromEnvironment(kSystemDataDirEnvironmentVariable, "/usr/share");
        break;
    default:
        return {};
    }
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder.size() <= kLongestFolderPath ? folder : std::string();
}

std::string GetFontFolder(SInt16 domain) {
    const std::string support = GetApplicationSupportFolder(domain);
    return support.empty() ? std::string() : support + "/fonts/";
}

std::unique_ptr<Bundle> LocateSkinBundle(const std::string& name, SInt16 domain,
                                         const std::string& product) {
    const std::string skins = ContentFolder(domain, product, "Skins");
    if (skins.empty()) {
        return nullptr;
    }
    std::string path = skins + "/" + name;
    if (!IsReadable(path)) {
        path += ".bundle";
    }
    if (!IsReadable(path)) {
        return nullptr;
    }
    return std::make_unique<Bundle>(path);
}

std::unique_ptr<Bundle> LocateSkinBundle(const std::string& name, const std::string& product) {
    if (auto bundle = LocateSkinBundle(name, kUserDomain, product)) {
        return bundle;
    }
    return LocateSkinBundle(name, kLocalDomain, product);
}

namespace {

std::mutex g_scriptFolderMutex;
std::string g_scriptFolderOverride;

std::string ScriptFolderOverride() {
    std::lock_guard lock(g_scriptFolderMutex);
    return g_scriptFolderOverride;
}

void AppendScriptsInFolder(std::vector<std::string>& list, const std::string& dir) {
    if (dir.empty()) {
        return;
    }
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) {
        return;
    }
    // readdir is safe for a stream that no other thread uses.
    while (const dirent* entry = readdir(stream)) { // NOLINT(concurrency-mt-unsafe)
        const std::size_t length = std::strlen(entry->d_name);
        if (length < 5 || std::strcmp(entry->d_name + length - 4, ".lua") != 0) {
            continue;
        }
        std::string path = dir + "/" + entry->d_name;
        if (IsDirectoryEntry(path, *entry) || !IsReadable(path)) {
            continue;
        }
        list.push_back(std::move(path));
    }
    closedir(stream);
}

} // namespace

void GetScriptsInDomain(std::vector<std::string>& list, SInt16 domain, const std::string& product) {
    AppendScriptsInFolder(list, ContentFolder(domain, product, "Scripts"));
}

void GetScripts(std::vector<std::string>& list, const std::string& product) {
    if (const std::string folder = ScriptFolderOverride(); !folder.empty()) {
        AppendScriptsInFolder(list, folder);
        return;
    }
    GetScriptsInDomain(list, kUserDomain, product);
    GetScriptsInDomain(list, kLocalDomain, product);
}

void SetScriptFolderOverride(const std::string& folder) {
    std::lock_guard lock(g_scriptFolderMutex);
    g_scriptFolderOverride = folder;
}

} // namespace MV
