// Bundles: folders of resources. The plug-in's own bundle is the folder its files were
// installed in; a skin is a folder of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace MV {

// The identifier under which the plug-in's own bundle is found.
constexpr const char* kPluginBundleIdentifier = "com.Mrvn.test.Flxt";

// Environment variable that names the plug-in's resource folder, ahead of every other rule.
constexpr const char* kBundleDirEnvironmentVariable = "FLUXET_BUNDLE_DIR";

class Bundle {
public:
    explicit Bundle(std::string path);

    // The folder, without a trailing "/".
    const std::string& Path() const { return m_path; }
    // True when the folder exists.
    bool Exists() const;
    // The path of the resource file `name` when it can be read, else an empty string.
    std::string ResourcePath(const std::string& name) const;

private:
    std::string m_path;
};

// Names the folder the host loaded the plug-in from (for instance the LV2 bundle path),
// consulted after FLUXET_BUNDLE_DIR; empty forgets it. Any thread.
void SetPluginBundleDir(const std::string& path);

// The plug-in's resource folder, the first of: $FLUXET_BUNDLE_DIR (when set, and only if it
// is a folder); the folder a host registered (only if it is a folder); the folder of the
// loaded plug-in's shared object and the installed data folder, each only if it holds the
// plug-in's scripts; the source tree's resource folder (a run from the build tree) if it
// exists. Empty when none applies.
std::string PluginBundleDir();

// The bundle with that identifier, or null: only the plug-in's own is known.
std::unique_ptr<Bundle> FindPluginBundle(const char* identifier);

// A whole file read into memory.
class FileLoader {
public:
    FileLoader() = default;
    // Reads the resource `name` of `bundle`, or of the plug-in's own bundle when `bundle` is
    // null. Nothing is read when the bundle or the resource does not exist.
    FileLoader(const char* name, const Bundle* bundle);
    FileLoader(const FileLoader&) = delete;
    FileLoader& operator=(const FileLoader&) = delete;

    // Replaces the contents with the file at `path`; false (and nothing held) on failure.
    bool ReadFile(const std::string& path);

    // Null when nothing was read; an empty file gives a non-null Data() and Size() 0.
    const std::uint8_t* Data() const { return m_data.get(); }
    std::uint64_t Size() const { return m_size; }
    bool IsLoaded() const { return m_data != nullptr; }

private:
    std::unique_ptr<std::uint8_t[]> m_data;
    std::uint64_t m_size = 0;
};

} // namespace MV
