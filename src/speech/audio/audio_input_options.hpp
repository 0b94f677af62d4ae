// How a multichannel recording becomes one signal, and how a file is loaded: the options the
// speech library's audio processor and its configuration carry.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/json/json.hpp"

namespace vostrane {

// Which channels of a file make the mono signal.
class ChannelMode {
 public:
  // Use the one channel with this 0-based index (channel 0 when it does not exist).
  static ChannelMode specificChannel(int channel) { return ChannelMode(true, channel, false, {}); }
  // Add up the listed channels (0-based; repeats count twice); absent or empty means all.
  static ChannelMode sumChannels() { return ChannelMode(false, 0, false, {}); }
  static ChannelMode sumChannels(std::vector<int> channels) { return ChannelMode(false, 0, true, std::move(channels)); }
  static ChannelMode sumChannels(const std::optional<std::vector<int>>& channels) {
    return channels ? sumChannels(*channels) : sumChannels();
  }

  bool isSpecificChannel() const { return specific_; }
  bool isSumChannels() const { return !specific_; }
  // The index of a specificChannel mode (0 for sumChannels).
  int channel() const { return channel_; }
  // The list of a sumChannels mode (absent for specificChannel).
  std::optional<std::vector<int>> channels() const {
    if (!hasList_) return std::nullopt;
    return list_;
  }

  friend bool operator==(const ChannelMode&, const ChannelMode&) = default;

  // Hash: case position (0 or 1), then the index, or a presence flag and, when present, the
  // element count and every element.
  std::size_t hash() const;

  // {"specificChannel":{"_0":n}}, {"sumChannels":{"_0":[...]}}, {"sumChannels":{}}.
  platform::json::Json toJson() const;
  // Reads the form above; unknown keys are ignored. Throws platform::json::JsonError with
  // "Invalid number of keys found, expected one." when not exactly one known key is present,
  // and JsonError for a missing or ill-typed payload.
  static ChannelMode fromJson(const platform::json::Json& json);

 private:
  ChannelMode(bool specific, int channel, bool hasList, std::vector<int> list)
      : specific_(specific), channel_(channel), hasList_(hasList), list_(std::move(list)) {}

  bool specific_;
  int channel_;            // specificChannel only
  bool hasList_;           // sumChannels only: a list was given
  std::vector<int> list_;  // sumChannels only
};

// Whole file at once, or a long file in pieces.
class AudioLoadingMode {
 public:
  static constexpr double defaultChunkDurationSeconds = 120.0;
  static constexpr int defaultMaxBufferedChunks = 2;

  static AudioLoadingMode incremental(double chunkDurationSeconds = defaultChunkDurationSeconds,
                                      int maxBufferedChunks = defaultMaxBufferedChunks) {
    return AudioLoadingMode(true, chunkDurationSeconds, maxBufferedChunks);
  }
  static AudioLoadingMode fullFile() { return AudioLoadingMode(false, 0, 0); }

  bool isIncremental() const { return incremental_; }
  bool isFullFile() const { return !incremental_; }
  // Payload of the incremental case (0 for fullFile).
  double chunkDurationSeconds() const { return chunkDurationSeconds_; }
  int maxBufferedChunks() const { return maxBufferedChunks_; }

  friend bool operator==(const AudioLoadingMode&, const AudioLoadingMode&) = default;

 private:
  AudioLoadingMode(bool incremental, double seconds, int chunks)
      : incremental_(incremental), chunkDurationSeconds_(seconds), maxBufferedChunks_(chunks) {}
  bool incremental_;
  double chunkDurationSeconds_;
  int maxBufferedChunks_;
};

struct AudioInputOptions {
  ChannelMode channelMode = ChannelMode::sumChannels();
  AudioLoadingMode audioLoadingMode = AudioLoadingMode::fullFile();

  AudioInputOptions() = default;
  AudioInputOptions(ChannelMode mode, AudioLoadingMode loading)
      : channelMode(std::move(mode)), audioLoadingMode(loading) {}
};

}  // namespace vostrane

template <>
struct std::hash<vostrane::ChannelMode> {
  std::size_t operator()(const vostrane::ChannelMode& mode) const noexcept { return mode.hash(); }
};
