#include <gtest/gtest.h>

#include <random>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/hub_file_downloader.hpp"
#include "core/hub/hub_test_support.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/net/http.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::testing;

constexpr std::int64_t kMiB = 1 << 20;

// Cuts a 64 MiB body at random offsets; each resumed download must end byte-identical and leave
// no partial file behind.
TEST(DownloadFaultLoop, CutBodiesResumeToIdenticalFiles) {
  TempFolder tmp;
  const fs::path served = tmp.path() / "served";
  fake_hub::FakeHub hub;
  fake_hub::RepositoryOptions options;
  options.linkedFileThreshold = 1000;
  hub.addRepository("owner/repo", served, options);
  auto serve = [&](const std::string& name, std::size_t size, std::uint32_t seed) {
    std::string content = patternBytes(size, seed);
    writeFile(served / name, content);
    return content;
  };
  auto partialFiles = [](const HubFileDownloader& f) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(f.repoMetadataDestination, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() == ".incomplete") names.push_back(it->path().filename().string());
    }
    return names;
  };
  HubApi api(tmp.path() / "cache", "", hub.endpoint(), false, false);
  const HubApi::Repo repo{"owner/repo", HubRepoType::models};
  const HubFileDownloader f{
      api,          repo,           "main", api.repoDestination(repo), api.repoMetadataDestination(repo), "model.bin",
      std::nullopt, hub.endpoint(), false};

  const std::string content = serve("model.bin", 64 * kMiB, 5);
  const std::string digest = platform::crypto::sha256Hex(content);
  const std::string etag = *getFileMetadata(f.hub, f.source()).etag;
  const fs::path partial = partialFilePath(f.repoMetadataDestination, "model.bin", etag);
  std::mt19937_64 random(20240601);
  std::uniform_int_distribution<std::uint64_t> offsets(1, 64 * kMiB - 1);
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    fs::remove(f.destination());
    fs::remove(f.metadataDestination());
    const std::uint64_t cut = offsets(random);
    fake_hub::Fault fault;
    fault.method = "GET";
    fault.pathContains = "/cdn/";
    fault.cutAfterBytes = cut;
    fault.times = 1;
    hub.addFault(fault);
    {
      prepareFile(partial);
      Downloader first(f.destination(), partial, false, f.hub.transport);
      auto states = first.startDownload(f.source().string(), std::nullopt, std::nullopt, 64 * kMiB, 10.0, 0);
      ASSERT_TRUE(failedWith<platform::net::TransportError>(collectStates(states)));
    }
    EXPECT_EQ(static_cast<std::uint64_t>(partialFileSize(partial)), cut / (10 * kMiB) * (10 * kMiB));
    f.download(nullptr, nullptr);
    ASSERT_EQ(computeFileHash(f.destination()), digest);
    EXPECT_TRUE(partialFiles(f).empty());
  }
}

}  // namespace
}  // namespace noxtal
