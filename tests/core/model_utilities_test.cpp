#include "core/model_utilities.hpp"

#include <gtest/gtest.h>

#include "core/model_state.hpp"
#include "support/model_folder_writer.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& file) { testsupport::writeFile(file, "x"); }

const char* kPackageFile = "Data/com.apple.CoreML/model.mlmodel";

TEST(ModelUtilities, DetectModelUrlByName) {
  testsupport::TemporaryFolder folder;
  const fs::path root = folder.path();
  // Empty folder: the compiled path, even though it does not exist.
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder"), root / "Encoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(root), std::nullopt);
  // Package only: its inner model file.
  touch(root / "Encoder.mlpackage" / kPackageFile);
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder"), root / "Encoder.mlpackage" / kPackageFile);
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder", false), root / "Encoder.mlpackage" / kPackageFile);
  EXPECT_EQ(ModelUtilities::detectModelURL(root), root / "Encoder.mlpackage" / kPackageFile);
  // Both: the compiled bundle.
  fs::create_directories(root / "Encoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder"), root / "Encoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(fs::path("/nonexistent-folder-for-tests")), std::nullopt);
}

TEST(ModelUtilities, FirstCompiledEntryInNameOrderWins) {
  testsupport::TemporaryFolder folder;
  const fs::path root = folder.path();
  fs::create_directories(root / "B.mlpackage");
  fs::create_directories(root / "C.mlmodelc");
  fs::create_directories(root / "A.mlmodelc");
  touch(root / "0.txt");
  EXPECT_EQ(ModelUtilities::detectModelURL(root), root / "A.mlmodelc");
}

TEST(ModelUtilities, RecursiveSearch) {
  testsupport::TemporaryFolder folder;
  const fs::path root = folder.path();
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder", true), root / "Encoder.mlmodelc");
  fs::create_directories(root / "b" / "deep" / "Encoder.mlmodelc");
  fs::create_directories(root / "a" / "Decoder.mlmodelc");
  fs::create_directories(root / "c" / "Encoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder", true), root / "b" / "deep" / "Encoder.mlmodelc");
  fs::create_directories(root / "Encoder.mlmodelc");
  EXPECT_EQ(ModelUtilities::detectModelURL(root, "Encoder", true), root / "Encoder.mlmodelc");
}

TEST(ModelUtilities, ShapesAndDimensions) {
  testsupport::TemporaryFolder folder;
  const platform::json::Json description = {
      {"formatVersion", 1},
      {"inputs", {testsupport::feature("key_cache", "float16", {1, 384, 1, 224})}},
      {"outputs", {testsupport::feature("logits", "float32", {1, 1, 51866})}},
      {"graph",
       {{"nodes",
         {{{"op", "constant"},
           {"output", "logits"},
           {"dataType", "float32"},
           {"shape", {1, 1, 1}},
           {"values", {0}}}}}}}};
  const auto model =
      platform::ml::Model::load(testsupport::writeModelFolder(folder.path(), "TextDecoder", description));
  EXPECT_EQ(ModelUtilities::getModelInputShape(model.get(), "key_cache"), (std::vector<std::int64_t>{1, 384, 1, 224}));
  EXPECT_EQ(ModelUtilities::getModelInputShape(model.get(), "logits"), std::nullopt);
  EXPECT_EQ(ModelUtilities::getModelOutputShape(model.get(), "logits"), (std::vector<std::int64_t>{1, 1, 51866}));
  EXPECT_EQ(ModelUtilities::getModelInputShape(nullptr, "key_cache"), std::nullopt);
  EXPECT_EQ(ModelUtilities::getModelInputDimension(model.get(), "key_cache", 3), 224);
  EXPECT_EQ(ModelUtilities::getModelInputDimension(model.get(), "key_cache", 4), std::nullopt);
  EXPECT_EQ(ModelUtilities::getModelInputDimension(model.get(), "key_cache", -1), std::nullopt);
  EXPECT_EQ(ModelUtilities::getModelOutputDimension(model.get(), "logits", 2), 51866);
  EXPECT_EQ(ModelUtilities::getModelOutputDimension(model.get(), "logits", 3), std::nullopt);
}

TEST(ModelState, DescriptionsAndBusyStates) {
  struct Row {
    ModelState state;
    const char* text;
    bool busy;
  };
  const Row rows[] = {{ModelState::unloading, "Unloading", true},     {ModelState::unloaded, "Unloaded", false},
                      {ModelState::loading, "Loading", true},         {ModelState::loaded, "Loaded", false},
                      {ModelState::prewarming, "Specializing", true}, {ModelState::prewarmed, "Specialized", false},
                      {ModelState::downloading, "Downloading", true}, {ModelState::downloaded, "Downloaded", false}};
  for (const Row& row : rows) {
    EXPECT_EQ(description(row.state), row.text);
    EXPECT_EQ(isBusy(row.state), row.busy) << row.text;
  }
}

}  // namespace
}  // namespace noxtal
