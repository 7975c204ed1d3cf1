// Where user-supplied content lives: scripts, skins and fonts, in folders below each
// domain's Application Support folder. Any non-real-time thread; no state is kept.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AUTypes.h"
#include "Bundle.h"

// Folder domains as the host numbers them.
enum : SInt16 {
    kSystemDomain = -32766,
    kLocalDomain = -32765,
    kUserDomain = -32763,
};

namespace MV {

// Environment variables that move the local and system roots (for tests and staged installs).
constexpr const char* kLocalDataDirEnvironmentVariable = "FLUXET_LOCAL_DATA_DIR";
constexpr const char* kSystemDataDirEnvironmentVariable = "FLUXET_SYSTEM_DATA_DIR";

// The maker's folder below an Application Support folder.
constexpr const char* kMakerFolderName = "Morvane";

// user: $XDG_DATA_HOME (when an absolute path, else ~/.local/share); local: /usr/local/share;
// system: /usr/share. Not created when missing. Empty for any other domain, or when the path
// would not fit 256 bytes with its terminating zero.
std::string GetApplicationSupportFolder(SInt16 domain);

// The domain's fonts folder with a "/" appended, or an empty string.
std::string GetFontFolder(SInt16 domain);

// The skin folder Skins/<name> (or Skins/<name>.bundle) of the product in that domain,
// or null when neither can be read.
std::unique_ptr<Bundle> LocateSkinBundle(const std::string& name, SInt16 domain,
                                         const std::string& product);
// The user's skin of that name, else the machine-wide one.
std::unique_ptr<Bundle> LocateSkinBundle(const std::string& name, const std::string& product);

// Appends the readable ".lua" files of the product's Scripts folder in that domain, in the
// order the file system lists them; sub-folders are not entered.
void GetScriptsInDomain(std::vector<std::string>& list, SInt16 domain, const std::string& product);
// The user's scripts, then the machine-wide ones; with a folder override set, only the
// scripts of that folder.
void GetScripts(std::vector<std::string>& list, const std::string& product);

// Makes GetScripts list only the scripts of folder (a host's "run with these scripts"
// option); an empty folder restores the domains. Process-wide; set it before units
// initialise.
void SetScriptFolderOverride(const std::string& folder);

} // namespace MV
