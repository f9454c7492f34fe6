#pragma once
// Per-user folders the programs keep files in. On Linux these are the XDG base
// directories: roaming application data maps to the state folder (logs are
// state, not configuration), program data to the data folder.
#include <string>

namespace platform {

enum class KnownFolder {
  RoamingAppData,  // $XDG_STATE_HOME, else $HOME/.local/state
  ProgramData,     // $XDG_DATA_HOME, else $HOME/.local/share
  Config,          // $XDG_CONFIG_HOME, else $HOME/.config (the settings store)
};

// Resolves a known folder to an absolute path. Returns 0, or an errno value
// when no home folder can be found.
int KnownFolderPath(KnownFolder folder, std::string& path);

// Creates path and every missing parent (new folders get mode 0700). An existing
// folder is success; an existing non-folder gives ENOTDIR. Returns 0 or errno.
int CreateDirectories(const std::string& path);

}  // namespace platform
