#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/ml/model.hpp"
#include "support/model_folder_writer.hpp"

namespace platform::ml {
namespace {

using platform::json::Json;
using testsupport::feature;

// Many threads predict on one shared model; every result must equal the single-threaded one.
TEST(ModelConcurrency, PredictionsOnOneModelFromManyThreads) {
  testsupport::TemporaryFolder folder;
  std::string weights;
  std::vector<float> matrix(16 * 8);
  for (std::size_t i = 0; i < matrix.size(); ++i) matrix[i] = static_cast<float>(i % 7) - 3.0f;
  const std::int64_t offset = testsupport::appendFloats(weights, matrix);
  const Json model = {
      {"formatVersion", 1},
      {"inputs", {feature("x", "float16", {-1, 16})}},
      {"outputs", {feature("y", "float32", {-1, 8}), feature("norm", "float32", {-1, 8})}},
      {"graph",
       {{"nodes",
         {{{"op", "constant"}, {"output", "w"}, {"dataType", "float32"}, {"shape", {16, 8}}, {"offset", offset}},
          {{"op", "matmul"}, {"inputs", {"x", "w"}}, {"output", "xw"}},
          {{"op", "tanh"}, {"inputs", {"xw"}}, {"output", "y"}},
          {{"op", "l2_normalize"}, {"inputs", {"xw"}}, {"output", "norm"}, {"axis", -1}}}}}}};
  const auto loaded = Model::load(testsupport::writeModelFolder(folder.path(), "Shared", model, weights));

  auto inputFor = [](int request) {
    DictionaryFeatureProvider input;
    MultiArray x({4, 16}, DataType::float32);
    for (std::int64_t i = 0; i < x.count(); ++i) x.setFloat(i, static_cast<float>((i * 31 + request) % 11) / 8.0f);
    input.set("x", x);
    return input;
  };
  constexpr int kRequests = 16;
  std::vector<std::vector<float>> expected;
  for (int r = 0; r < kRequests; ++r)
    expected.push_back(loaded->predict(inputFor(r)).multiArray("norm")->toFloatVector());

  constexpr int kThreads = 8;
  std::vector<int> mismatches(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 20; ++round) {
          const int r = (t + round) % kRequests;
          const auto output = loaded->predict(inputFor(r));
          if (output.multiArray("norm")->toFloatVector() != expected[static_cast<std::size_t>(r)])
            ++mismatches[static_cast<std::size_t>(t)];
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

}  // namespace
}  // namespace platform::ml
