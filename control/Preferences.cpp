#include "Preferences.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <plist/plist.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "AUStateFile.h"
#include "SystemInfo.h"

namespace {

// One lock for the whole store: every access is a read-modify-write of one file.
std::mutex g_preferencesMutex;
bool g_reportedUnreadable = false;

// Values a run of a program sets for itself; never written to the file.
std::mutex g_overridesMutex;
std::map<std::string, int, std::less<>> g_intOverrides;

std::optional<int> IntOverride(const char* key) {
    std::lock_guard lock(g_overridesMutex);
    const auto found = g_intOverrides.find(std::string_view(key));
    if (found == g_intOverrides.end()) {
        return std::nullopt;
    }
    return found->second;
}

struct PlistDeleter {
    void operator()(void* node) const {
        if (node != nullptr) {
            plist_free(node);
        }
    }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

struct FileCloser {
    int fd;
    ~FileCloser() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

enum class LoadResult {
    kLoaded, // the file's dictionary, or an empty one when there is no file
    kMovedAside,
    kUntouchable, // the file exists but cannot be read or moved: neither use nor replace it
};

void ReportUnreadableOnce(const std::string& path, const std::string& movedTo) {
    if (g_reportedUnreadable) {
        return;
    }
    g_reportedUnreadable = true;
    if (movedTo.empty()) {
        std::fprintf(stderr,
                     "Preferences file %s cannot be read; leaving it alone, defaults apply\n",
                     path.c_str());
    } else {
        std::fprintf(stderr, "Preferences file %s cannot be read; moved it to %s, defaults apply\n",
                     path.c_str(), movedTo.c_str());
    }
}

// Renames without replacing anything: a file already moved aside is never lost.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the flag: a hard link refuses to replace as well.
    if (link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    unlink(from.c_str());
    return true;
}

std::string MoveAside(const std::string& path) {
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".corrupt-" + stamp;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (RenameNoReplace(path, target)) {
            return target;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {};
}

// Reads the domain's dictionary. A file that is not a property-list dictionary within the
// limits every property list is held to (its size and nesting are checked before it is parsed)
// is moved aside and reported (once per process), never parsed into defaults and written over.
LoadResult Load(const std::string& path, Plist& dictionary) {
    dictionary.reset(plist_new_dict());
    // Not blocking: a named pipe in the file's place must not hang whoever reads preferences.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return LoadResult::kLoaded;
        }
        ReportUnreadableOnce(path, {});
        return LoadResult::kUntouchable;
    }
    FileCloser closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ReportUnreadableOnce(path, {});
        return LoadResult::kUntouchable;
    }
    plist_t root = nullptr;
    if (std::size_t(info.st_size) <= kAUPropertyListMaxBytes) {
        std::string text(std::size_t(info.st_size), '\0');
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t got = read(fd, text.data() + done, text.size() - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return LoadResult::kUntouchable;
            }
            if (got == 0) {
                break;
            }
            done += std::size_t(got);
        }
        AUPropertyListFromMemory(text.data(), done, &root);
    }
    Plist parsed(root);
    if (parsed && plist_get_node_type(parsed.get()) == PLIST_DICT) {
        dictionary = std::move(parsed);
        return LoadResult::kLoaded;
    }
    const std::string movedTo = MoveAside(path);
    ReportUnreadableOnce(path, movedTo);
    return movedTo.empty() ? LoadResult::kUntouchable : LoadResult::kMovedAside;
}

// The file a path names once symbolic links are followed, so that a preferences file kept
// elsewhere (in a dotfiles repository, say) stays where its link points. The target need not
// exist yet. A link loop leaves the path as it is.
std::string FollowLinks(std::string path) {
    constexpr int kMostLinks = 40;
    for (int hop = 0; hop < kMostLinks; ++hop) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length <= 0 || std::size_t(length) >= target.size()) {
            return path;
        }
        target.resize(std::size_t(length));
        if (const std::size_t slash = path.rfind('/');
            target[0] != '/' && slash != std::string::npos) {
            target.insert(0, path, 0, slash + 1);
        }
        path = std::move(target);
    }
    return path;
}

bool MakeDirectories(const std::string& dir) {
    struct stat info {};
    if (stat(dir.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    const auto slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) {
        return false;
    }
    return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t wrote = write(fd, data, size);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        data += wrote;
        size -= std::size_t(wrote);
    }
    return true;
}

// Written to a temporary file in the same folder and renamed over the old one, so that a
// reader (or a crash) sees the old file or the new one, never a part of either.
bool Store(const std::string& path, plist_t dictionary) {
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!MakeDirectories(dir)) {
        return false;
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dictionary, &xml, &length);
    if (xml == nullptr) {
        return false;
    }
    std::unique_ptr<char, void (*)(char*)> xmlOwner(xml, plist_to_xml_free);

    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat old {};
    bool ok = true;
    if (stat(path.c_str(), &old) == 0) {
        ok = fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd, xml, length) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // The rename itself lasts only once the folder is on disk too.
    if (const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

// Sets one key and writes the file, unless it holds something we may not replace.
void Update(const char* key, plist_t value) {
    Plist owned(value);
    const std::string link = MV::PreferencesFilePath();
    if (key == nullptr || link.empty()) {
        return;
    }
    std::lock_guard lock(g_preferencesMutex);
    const std::string path = FollowLinks(link);
    Plist dictionary;
    if (Load(path, dictionary) == LoadResult::kUntouchable) {
        return;
    }
    plist_dict_set_item(dictionary.get(), key, owned.release());
    Store(path, dictionary.get());
}

// Calls `use` with the key's value node (or null) while the dictionary is alive.
template <typename Use> void Lookup(const char* key, Use use) {
    const std::string link = MV::PreferencesFilePath();
    if (key == nullptr || link.empty()) {
        use(nullptr);
        return;
    }
    std::lock_guard lock(g_preferencesMutex);
    const std::string path = FollowLinks(link);
    Plist dictionary;
    Load(path, dictionary);
    use(plist_dict_get_item(dictionary.get(), key));
}

} // namespace

int GetPrefInt(const char* key, int defaultValue) {
    if (std::optional<int> value = IntOverride(key)) {
        return *value;
    }
    int result = defaultValue;
    Lookup(key, [&](plist_t node) {
        if (node == nullptr) {
            return;
        }
        if (plist_get_node_type(node) == PLIST_UINT) {
            uint64_t bits = 0;
            plist_get_uint_val(node, &bits);
            // Signed values are stored in two's complement.
            const auto value = static_cast<int64_t>(bits);
            if (value >= INT_MIN && value <= INT_MAX) {
                result = int(value);
            }
        } else if (plist_get_node_type(node) == PLIST_REAL) {
            double value = 0.0;
            plist_get_real_val(node, &value);
            if (std::isfinite(value) && value > double(INT_MIN) - 1.0 &&
                value < double(INT_MAX) + 1.0) {
                result = int(value);
            }
        }
    });
    return result;
}

void SetPrefInt(const char* key, int value) {
    Update(key, plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(value))));
}

void GetPrefString(const char* key, std::string& out) {
    Lookup(key, [&](plist_t node) {
        if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
            return;
        }
        char* text = nullptr;
        plist_get_string_val(node, &text);
        if (text != nullptr) {
            out = text;
            std::free(text);
        }
    });
}

void SetPrefString(const char* key, const std::string& value) {
    Update(key, plist_new_string(value.c_str()));
}

namespace MV {

void SetPrefIntOverride(const char* key, int value) {
    std::lock_guard lock(g_overridesMutex);
    g_intOverrides[key] = value;
}

void ClearPrefIntOverride(const char* key) {
    std::lock_guard lock(g_overridesMutex);
    const auto found = g_intOverrides.find(std::string_view(key));
    if (found != g_intOverrides.end()) {
        g_intOverrides.erase(found);
    }
}

std::string PreferencesFilePath() {
    std::string dir;
    if (std::string config = EnvironmentValue("XDG_CONFIG_HOME");
        !config.empty() && config[0] == '/') {
        dir = std::move(config);
    } else {
        const std::string home = HomeDirectory();
        if (home.empty()) {
            return {};
        }
        dir = home + "/.config";
    }
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir + "/" + kPreferencesDomain + ".plist";
}

} // namespace MV
