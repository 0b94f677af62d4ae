// The model status machine: every (from, target) pair of the seven cases, payload rules and
// equality.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "transcription/model_status.hpp"

namespace velmoria {
namespace {

std::vector<ModelStatus> oneOfEach() {
  return {ModelStatus::needsDownload(), ModelStatus::downloading(0.25), ModelStatus::compiling(),
          ModelStatus::loading(),       ModelStatus::ready(),             ModelStatus::running(),
          ModelStatus::error(TranscriptionError::invalidInput("x"))};
}

TEST(ModelStatusMachine, TheFortyNineStatusPairs) {
  // Rows: current status; columns: target, both in case order
  // (needsDownload, downloading, compiling, loading, ready, running, error).
  constexpr bool allowed[7][7] = {
      {false, true, false, false, false, false, true},   // needsDownload
      {false, true, true, true, false, false, true},     // downloading
      {false, false, false, true, false, false, true},   // compiling
      {false, false, false, false, true, false, true},   // loading
      {true, false, false, false, false, true, true},    // ready
      {true, false, false, false, true, false, true},    // running
      {true, false, false, false, false, false, true},   // error
  };
  const auto statuses = oneOfEach();
  for (std::size_t from = 0; from < 7; ++from) {
    for (std::size_t to = 0; to < 7; ++to) {
      SCOPED_TRACE(statuses[from].description() + " -> " + statuses[to].description());
      ModelStatusMachine machine(statuses[from]);
      const ModelStatus target = to == from && to == 1 ? ModelStatus::downloading(0.75) : statuses[to];
      EXPECT_EQ(machine.transition(target), allowed[from][to]);
      EXPECT_EQ(machine.current(), allowed[from][to] ? target : statuses[from]);
    }
  }
}

TEST(ModelStatusMachine, PayloadsAndForcedWrites) {
  ModelStatusMachine machine(ModelStatus::downloading(0));
  EXPECT_TRUE(machine.transition(ModelStatus::downloading(0.5)));
  EXPECT_EQ(machine.current().progress(), 0.5);

  const auto first = TranscriptionError::downloadFailed("a");
  const auto second = TranscriptionError::diarizationFailed("b");
  EXPECT_TRUE(machine.transition(ModelStatus::error(first)));
  EXPECT_TRUE(machine.transition(ModelStatus::error(second)));
  ASSERT_NE(machine.current().transcriptionError(), nullptr);
  EXPECT_EQ(*machine.current().transcriptionError(), second);
  EXPECT_FALSE(machine.transition(ModelStatus::running()));
  EXPECT_TRUE(machine.transition(ModelStatus::needsDownload()));

  ModelStatusMachine fresh;
  EXPECT_EQ(fresh.current(), ModelStatus::needsDownload());
  fresh.forceSet(ModelStatus::running());
  EXPECT_EQ(fresh.current(), ModelStatus::running());
}

TEST(ModelStatus, EqualityComparesPayloads) {
  EXPECT_NE(ModelStatus::downloading(std::nan("")), ModelStatus::downloading(std::nan("")));
  EXPECT_EQ(ModelStatus::downloading(0.5), ModelStatus::downloading(0.5));
  EXPECT_NE(ModelStatus::downloading(0.5), ModelStatus::downloading(0.25));
  EXPECT_EQ(ModelStatus::error(TranscriptionError::needsDownload()),
            ModelStatus::error(TranscriptionError::needsDownload()));
  EXPECT_NE(ModelStatus::error(TranscriptionError::invalidInput("a")),
            ModelStatus::error(TranscriptionError::transcriptionFailed("a")));
  EXPECT_NE(ModelStatus::ready(), ModelStatus::running());
  EXPECT_EQ(ModelStatus::downloading(0).description(), "downloading(progress: 0.0)");
  EXPECT_EQ(ModelStatus::error(TranscriptionError::needsDownload()).description(), "error(needsDownload)");
}

TEST(ModelStatusMachine, ConcurrentWritersLeaveAConsistentStatus) {
  ModelStatusMachine machine(ModelStatus::ready());
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&machine] {
      for (int i = 0; i < 500; ++i) {
        machine.transition(ModelStatus::running());
        machine.transition(ModelStatus::ready());
      }
    });
  }
  threads.clear();
  const ModelStatus end = machine.current();
  EXPECT_TRUE(end == ModelStatus::ready() || end == ModelStatus::running());
}

}  // namespace
}  // namespace velmoria
