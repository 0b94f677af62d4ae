#include "transcription/model_repository_lock.hpp"

namespace velmoria {

std::filesystem::path modelRepositoryLockPath(const std::filesystem::path& storageBase, const std::string& repository) {
  std::string name = repository;
  if (const auto slash = name.find('/'); slash != std::string::npos) name.replace(slash, 1, "--");
  return storageBase / "locks" / (name + ".lock");
}

platform::fs::FileLock lockModelRepository(const std::filesystem::path& storageBase, const std::string& repository) {
  return platform::fs::FileLock::acquire(modelRepositoryLockPath(storageBase, repository));
}

}  // namespace velmoria
