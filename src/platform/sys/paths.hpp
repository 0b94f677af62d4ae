// Well-known folders of the user and the process: the stand-in for FileManager's directory
// lookups, following the XDG base-directory conventions.
//
// Nothing is created on disk; the folders may not exist. All functions are thread-safe as long
// as no other thread changes the environment at the same time.
#pragma once

#include <filesystem>

namespace platform::sys {

// $HOME when set and non-empty, else the home folder of the user database entry of the real
// user id, else "/".
std::filesystem::path homeDirectory();

// XDG_DOCUMENTS_DIR from $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config/user-dirs.dirs),
// where "$HOME/..." is resolved against homeDirectory(); ~/Documents when the file, the entry
// or a usable (absolute or $HOME-relative) value is missing.
std::filesystem::path documentsDirectory();

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::filesystem::path applicationSupportDirectory();

// $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
std::filesystem::path cachesDirectory();

// The process's current working directory; empty when it cannot be determined (for example
// when it was deleted).
std::filesystem::path currentDirectory();

}  // namespace platform::sys
