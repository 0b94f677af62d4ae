// The advisory lock of one model repository in a storage folder,
// <storage>/locks/<owner>--<name>.lock: the file that the worker's engine locks around every
// download into that repository. The app side (speaker analyzer, client facade) takes the same
// lock before it writes into or removes the repository, so the app and the worker never write
// one partial file or delete one being written.
#pragma once

#include <filesystem>
#include <string>

#include "platform/fs/file_lock.hpp"

namespace velmoria {

// `repository` is "<owner>/<name>"; a name without "/" is used as it is.
std::filesystem::path modelRepositoryLockPath(const std::filesystem::path& storageBase, const std::string& repository);

// Waits until the repository's lock is held. Throws platform::fs::FileError when the lock file
// cannot be created, opened or locked.
platform::fs::FileLock lockModelRepository(const std::filesystem::path& storageBase, const std::string& repository);

}  // namespace velmoria
