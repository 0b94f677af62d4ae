// Model identity and download configuration of the model lifecycle.
//
// ModelInfo names one compiled model inside a hub model repository (its folder name, optional
// version and variant folders, and the compute units it is to be loaded with) and turns that
// identity into the glob selecting its files, its local folder and log text.
// ModelDownloadConfig says where a model repository is fetched from. ModelDownloaderError is the
// error the model downloader throws of its own. The model downloader and the model manager take
// these values; the diarization library builds them for its models.
//
// Repository layout encoded by ModelInfo: <name>/<version>/<variant>/<compiled model and files>.
//
// All three are immutable values; every member is pure and thread-safe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/ml/model.hpp"
#include "platform/sys/error.hpp"

namespace noxtal {

class ModelInfo {
 public:
  ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
            platform::ml::ComputeUnits computeUnits);

  // Version folder below the model's folder; absent = any version.
  const std::optional<std::string>& version() const { return version_; }
  // Variant folder below the version folder (e.g. "W8A16"); absent = any variant.
  const std::optional<std::string>& variant() const { return variant_; }
  // The model's top folder in the repository (e.g. "speaker_embedder").
  const std::string& name() const { return name_; }
  platform::ml::ComputeUnits computeUnits() const { return computeUnits_; }

  // name + "/" + (version or "*") + "/" + (variant or "*") + "/*": the glob selecting the model's
  // files in a repository listing ("*" also matches "/" there).
  std::string downloadPattern() const;
  // baseURL / name [/ version] [/ variant]; absent parts add nothing.
  std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
  // The present parts among name, version, variant joined with "/".
  std::string description() const;
  // "ModelInfo(name: N, version: V|nil, variant: W|nil, computeUnit: <compute units' word>)".
  std::string debugDescription() const;
  // Walks `url` upwards (the URL itself first) while it has at least two path components (the
  // root "/" counts as one) and returns the folder holding the innermost component equal to
  // name (exact comparison); absent when there is none. Purely lexical; a trailing separator is
  // ignored.
  std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;

  bool operator==(const ModelInfo&) const = default;

 private:
  std::optional<std::string> version_;
  std::optional<std::string> variant_;
  std::string name_;
  platform::ml::ComputeUnits computeUnits_;
};

class ModelDownloadConfig {
 public:
  // Memberwise; every argument is given by the caller.
  ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                      std::optional<std::string> modelToken, std::optional<std::string> modelFolder,
                      bool useBackgroundSession, std::string endpoint, std::string revision);

  // Folder under which the local hub cache lives; absent = the hub client's default.
  const std::optional<std::string>& downloadBase() const { return downloadBase_; }
  // Hub repository id "organisation/name".
  const std::string& modelRepo() const { return modelRepo_; }
  // Hub access token; absent = the hub client's own lookup.
  const std::optional<std::string>& modelToken() const { return modelToken_; }
  // A local folder that already holds the models.
  const std::optional<std::string>& modelFolder() const { return modelFolder_; }
  bool useBackgroundSession() const { return useBackgroundSession_; }
  // Base URL of the hub.
  const std::string& endpoint() const { return endpoint_; }
  // Branch name or commit.
  const std::string& revision() const { return revision_; }

  bool operator==(const ModelDownloadConfig&) const = default;

 private:
  std::optional<std::string> downloadBase_;
  std::string modelRepo_;
  std::optional<std::string> modelToken_;
  std::optional<std::string> modelFolder_;
  bool useBackgroundSession_;
  std::string endpoint_;
  std::string revision_;
};

// The model downloader's own error. One case; what() and errorDescription() give the message.
// Derives from platform::sys::ErrorWithCase (domain "ModelDownloaderError").
enum class ModelDownloaderErrorCase { modelUnavailable };

class ModelDownloaderError : public platform::sys::ErrorWithCase<ModelDownloaderErrorCase> {
 public:
  using Case = ModelDownloaderErrorCase;

  static ModelDownloaderError modelUnavailable(std::string message) {
    return ModelDownloaderError(Case::modelUnavailable, "modelUnavailable", std::move(message));
  }

  std::string errorDescription() const { return message(); }

 private:
  ModelDownloaderError(Case c, const char* caseName, std::string message)
      : ErrorWithCase("ModelDownloaderError", c, caseName, message, message) {}
};

}  // namespace noxtal
