#include "speech/audio/audio_processor.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "core/locks.hpp"
#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sync/task_group.hpp"
#include "platform/sys/checked_cast.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

using noxtal::Logging;
using platform::audio::AudioFileError;
using platform::audio::AudioFormat;
using platform::audio::ResamplerError;
using platform::sys::checkedIntegerCast;

namespace {

// A failure inside the piecewise conversion; the message is the log text.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool debugEnabled() { return Logging::isLoggingEnabled(Logging::LogLevel::debug); }

// A double as the system prints it: shortest form, with ".0" for whole numbers.
std::string decimal(double value) { return noxtal::floatingText(value); }

std::string fixed2(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

std::unique_ptr<platform::audio::AudioFile> openFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    throw WhisperError::loadAudioFailed("Resource path does not exist " + path);
  }
  try {
    return platform::audio::AudioFile::open(path);
  } catch (const AudioFileError& e) {
    throw WhisperError::loadAudioFailed(e.what());
  }
}

// The frames to read: from `start` to `end`, or to the end of the audio when `end` is absent.
struct FrameSpan {
  std::int64_t start = 0;
  std::optional<std::int64_t> end;
  std::optional<std::int64_t> count() const {
    if (!end) return std::nullopt;
    return *end - start;
  }
};

FrameSpan resolveSpan(const platform::audio::AudioFile& file, std::optional<double> startTime,
                      std::optional<double> endTime) {
  const std::string& path = file.path().string();
  const double rate = file.fileFormat().sampleRate;
  if (file.length() > std::int64_t{UINT32_MAX}) {
    throw WhisperError::loadAudioFailed("Audio file " + path + " is too long: " + std::to_string(file.length()) +
                                        " frames");
  }
  const double start = startTime.value_or(0.0);
  const auto startFrame = checkedIntegerCast<std::int64_t>(start * rate);
  if (!startFrame || *startFrame < 0) {
    throw WhisperError::loadAudioFailed("Invalid start time " + decimal(start) + " for " + path);
  }
  FrameSpan span{*startFrame, std::nullopt};
  if (endTime) {
    if (std::isnan(*endTime)) throw WhisperError::loadAudioFailed("Invalid end time for " + path);
    std::int64_t end = platform::sys::saturatingIntegerCast<std::int64_t>(std::max(0.0, *endTime) * rate);
    if (file.lengthIsExact()) end = std::min(end, file.length());
    span.end = std::max(end, span.start);
    // A compressed file's length is only an estimate, so a far end time cannot be clamped by it;
    // one that no span could reach lies past the audio, which ends first.
    if (!file.lengthIsExact() && *span.count() > std::int64_t{UINT32_MAX}) span.end.reset();
  } else if (file.lengthIsExact()) {
    span.end = std::max(file.length(), span.start);
  }
  if (span.count() && *span.count() > std::int64_t{UINT32_MAX}) {
    throw WhisperError::loadAudioFailed("Audio span of " + path + " is too long: " + std::to_string(*span.count()) +
                                        " frames");
  }
  return span;
}

// Output samples expected for a span, for reserving memory (estimate; a little margin).
std::size_t expectedSamples(const platform::audio::AudioFile& file, const FrameSpan& span) {
  std::int64_t frames = span.count() ? *span.count() : std::max<std::int64_t>(0, file.length() - span.start);
  const double samples = double(frames) * AudioProcessor::kTargetSampleRate / file.fileFormat().sampleRate;
  return platform::sys::saturatingIntegerCast<std::size_t>(samples) + 64;
}

void seekTo(platform::audio::AudioFile& file, std::int64_t frame) {
  try {
    file.setFramePosition(frame);
  } catch (const AudioFileError& e) {
    throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") + e.what());
  }
}

// Reads `frames` frames (absent: to the end) of a file that already has the target format.
void readDirect(platform::audio::AudioFile& file, std::optional<std::int64_t> frames, std::uint32_t readSize,
                std::vector<float>& out, const std::stop_token& stopToken = {}) {
  try {
    const std::uint32_t capacity =
        frames ? std::uint32_t(std::min<std::int64_t>(std::max<std::int64_t>(*frames, 1), readSize)) : readSize;
    auto buffer = AudioProcessor::PcmBuffer::create(file.processingFormat(), capacity);
    if (!buffer) throw std::runtime_error("Unable to create audio buffer");
    std::optional<std::int64_t> remaining = frames;
    while (!remaining || *remaining > 0) {
      platform::sync::throwIfStopped(stopToken);
      const auto n = std::uint32_t(remaining ? std::min<std::int64_t>(*remaining, capacity) : capacity);
      const std::uint32_t got = file.read(*buffer, n);
      const float* samples = buffer->floatChannelData(0);
      if (samples == nullptr) throw std::runtime_error("Audio buffer is missing float channel data");
      out.insert(out.end(), samples, samples + got);
      if (remaining) *remaining -= got;
      if (got < n) break;  // the audio ended
    }
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    throw WhisperError::loadAudioFailed(std::string("Failed to read audio file: ") + e.what());
  }
}

// Mixes one block of frames to mono by a channel mode. The block may arrive in several parts
// (add); finish() applies the sum's gain over the whole block.
class MonoMixer {
 public:
  MonoMixer(const ChannelMode& mode, std::uint32_t channels) {
    if (channels < 2) {
      selected_.push_back(0);  // a mono signal is used as it is
      return;
    }
    if (mode.isSpecificChannel()) {
      const int n = mode.channel();
      selected_.push_back(n >= 0 && std::uint32_t(n) < channels ? std::uint32_t(n) : 0);
      return;
    }
    summing_ = true;
    const auto list = mode.channels();
    if (list && !list->empty()) {
      for (int c : *list) {
        if (c >= 0 && std::uint32_t(c) < channels) selected_.push_back(std::uint32_t(c));
      }
    } else {
      for (std::uint32_t c = 0; c < channels; ++c) selected_.push_back(c);
    }
    if (selected_.empty()) {
      summing_ = false;
      defaulted_ = true;
      selected_.push_back(0);
    }
  }

  // Mixes the input's frames into destination[0 ..< frames].
  void add(const platform::audio::PcmBuffer& input, float* destination) {
    const std::uint32_t frames = input.frameLength();
    if (!summing_) {
      std::copy_n(input.floatChannelData(selected_.front()), frames, destination);
      return;
    }
    std::fill_n(destination, frames, 0.0f);
    for (std::uint32_t c : selected_) {
      const float* source = input.floatChannelData(c);
      float channelPeak = 0;
      for (std::uint32_t i = 0; i < frames; ++i) {
        destination[i] += source[i];
        channelPeak = std::max(channelPeak, std::fabs(source[i]));
      }
      peak_ = std::max(peak_, channelPeak);
    }
  }

  // Ends the block of `frames` samples at `block`: keeps the loudest selected channel's peak,
  // but only ever scales down, so a mix whose channels partly cancel is not amplified.
  void finish(float* block, std::size_t frames) {
    if (defaulted_) Logging::debug("No valid channel indices provided, defaulting to first channel");
    if (summing_) {
      float sumPeak = 0;
      for (std::size_t i = 0; i < frames; ++i) sumPeak = std::max(sumPeak, std::fabs(block[i]));
      const float gain = peak_ / std::max(sumPeak, 0.0001f);
      if (gain < 1.0f) {
        for (std::size_t i = 0; i < frames; ++i) block[i] *= gain;
      }
    }
    peak_ = 0;
  }

 private:
  std::vector<std::uint32_t> selected_;
  bool summing_ = false;
  bool defaulted_ = false;
  float peak_ = 0;
};

// Reads a span of an open file piece by piece, mixes each read to mono and converts it with one
// resampler for the whole span, so consecutive pieces join without a seam.
class SpanConverter {
 public:
  SpanConverter(platform::audio::AudioFile& file, const ChannelMode& mode, double targetRate,
                std::uint32_t maxReadFrameSize)
      : file_(file),
        maxRead_(std::max<std::uint32_t>(1, maxReadFrameSize)),
        mixer_(mode, file.processingFormat().channelCount) {
    const AudioFormat& format = file.processingFormat();
    if (!AudioFormat::standard(targetRate, 1)) throw ConversionError("Failed to create output audio format");
    // A block of up to maxRead_ frames is mixed to mono, decoding it in smaller parts so the
    // multichannel buffer stays small.
    readBuffer_ = AudioProcessor::PcmBuffer::create(format, std::min(maxRead_, kDecodeFrames));
    monoBuffer_ = AudioProcessor::PcmBuffer::create(*AudioFormat::standard(format.sampleRate, 1), maxRead_);
    if (!readBuffer_ || !monoBuffer_) throw ConversionError("Failed to create output buffer");
    resampler_ = AudioProcessor::Resampler::create(format.sampleRate, targetRate, 1);
    if (!resampler_) throw ConversionError("Failed to create audio converter");
  }

  // Converts up to `frames` frames (absent: to the end) from the file's position and appends
  // the output to `out`. Returns the frames read; fewer than asked means the audio ended.
  std::int64_t convert(std::optional<std::int64_t> frames, std::vector<float>& out) {
    const double rate = file_.processingFormat().sampleRate;
    std::int64_t total = 0;
    while (!frames || total < *frames) {
      const auto n = std::uint32_t(frames ? std::min<std::int64_t>(*frames - total, maxRead_) : maxRead_);
      const std::int64_t position = file_.framePosition();
      if (debugEnabled()) {
        Logging::debug("Resampling " + fixed2(double(position) / rate) + "s - " + fixed2(double(position + n) / rate) +
                       "s");
      }
      std::uint32_t got = 0;
      try {
        while (got < n) {
          const std::uint32_t want = std::min(n - got, readBuffer_->frameCapacity());
          const std::uint32_t part = file_.read(*readBuffer_, want);
          mixer_.add(*readBuffer_, monoBuffer_->floatChannelData(0) + got);
          got += part;
          if (part < want) break;  // the audio ended
        }
      } catch (const AudioFileError& e) {
        throw ConversionError(std::string("Error reading audio file: ") + e.what());
      }
      if (got == 0) break;
      monoBuffer_->setFrameLength(got);
      mixer_.finish(monoBuffer_->floatChannelData(0), got);
      const AudioProcessor::PcmBuffer* mono = monoBuffer_.get();
      try {
        append(resampler_->process(mono->channel(0)), out);
      } catch (const ResamplerError& e) {
        throw ConversionError(std::string("Failed to resample audio chunk: ") + e.what());
      }
      total += got;
      if (got < n) break;
    }
    return total;
  }

  // Drains the resampler: the last samples of the span.
  void finish(std::vector<float>& out) {
    try {
      append(resampler_->flush().front(), out);
    } catch (const ResamplerError& e) {
      throw ConversionError(std::string("Failed to resample audio chunk: ") + e.what());
    }
  }

 private:
  static void append(const std::vector<float>& samples, std::vector<float>& out) {
    out.insert(out.end(), samples.begin(), samples.end());
  }

  static constexpr std::uint32_t kDecodeFrames = 32768;

  platform::audio::AudioFile& file_;
  std::uint32_t maxRead_;
  MonoMixer mixer_;
  std::unique_ptr<AudioProcessor::PcmBuffer> readBuffer_;
  std::unique_ptr<AudioProcessor::PcmBuffer> monoBuffer_;
  std::unique_ptr<AudioProcessor::Resampler> resampler_;
};

// The whole span converted to mono at `targetRate`; throws ConversionError.
std::vector<float> convertSpan(platform::audio::AudioFile& file, double targetRate, const ChannelMode& mode,
                               std::optional<std::int64_t> frameCount, std::uint32_t maxReadFrameSize) {
  const double rate = file.processingFormat().sampleRate;
  const std::int64_t count = frameCount ? *frameCount : std::max<std::int64_t>(0, file.length() - file.framePosition());
  if (debugEnabled()) Logging::debug("Resampling " + fixed2(double(count) / rate) + " seconds of audio");
  std::vector<float> out;
  out.reserve(platform::sys::saturatingIntegerCast<std::size_t>(double(count) * targetRate / rate) + 64);
  SpanConverter converter(file, mode, targetRate, maxReadFrameSize);
  converter.convert(frameCount, out);
  converter.finish(out);
  return out;
}

void logBufferDetails(const char* what, double rate, std::uint32_t channels, std::int64_t frames) {
  if (!debugEnabled()) return;
  Logging::debug(std::string(what) + " details - Sample Rate: " + decimal(rate) +
                 " Hz, Channel Count: " + std::to_string(channels) + ", Frame Length: " + std::to_string(frames) +
                 ", Duration: " + decimal(double(frames) / rate) + "s");
}

std::uint32_t readSizeOrDefault(std::optional<std::uint32_t> maxReadFrameSize) {
  const std::uint32_t size = maxReadFrameSize.value_or(AudioProcessor::kDefaultAudioReadFrameSize);
  return size == 0 ? AudioProcessor::kDefaultAudioReadFrameSize : size;
}

bool isTargetFormat(const AudioFormat& format) {
  return format.sampleRate == AudioProcessor::kTargetSampleRate && format.channelCount == 1;
}

}  // namespace

std::unique_ptr<AudioProcessor::PcmBuffer> AudioProcessor::loadAudio(const std::string& fromPath,
                                                                     const ChannelMode& channelMode,
                                                                     std::optional<double> startTime,
                                                                     std::optional<double> endTime,
                                                                     std::optional<std::uint32_t> maxReadFrameSize) {
  auto file = openFile(fromPath);
  return loadAudio(*file, channelMode, startTime, endTime, maxReadFrameSize);
}

std::unique_ptr<AudioProcessor::PcmBuffer> AudioProcessor::loadAudio(AudioFile& fromFile,
                                                                     const ChannelMode& channelMode,
                                                                     std::optional<double> startTime,
                                                                     std::optional<double> endTime,
                                                                     std::optional<std::uint32_t> maxReadFrameSize) {
  const AudioFormat format = fromFile.fileFormat();
  const FrameSpan span = resolveSpan(fromFile, startTime, endTime);
  seekTo(fromFile, span.start);
  const std::uint32_t readSize = readSizeOrDefault(maxReadFrameSize);

  std::vector<float> samples;
  if (isTargetFormat(format)) {
    samples.reserve(expectedSamples(fromFile, span));
    readDirect(fromFile, span.count(), readSize, samples);
  } else {
    try {
      samples = convertSpan(fromFile, kTargetSampleRate, channelMode, span.count(), readSize);
    } catch (const ConversionError& e) {
      throw WhisperError::loadAudioFailed(std::string("Failed to process audio buffer: ") + e.what());
    }
  }
  if (samples.size() > UINT32_MAX) {
    throw WhisperError::loadAudioFailed("Failed to process audio buffer: more than 2^32 - 1 samples");
  }
  auto buffer = PcmBuffer::adopt(*AudioFormat::standard(kTargetSampleRate, 1), std::move(samples));
  if (!buffer) throw WhisperError::loadAudioFailed("Failed to process audio buffer");

  logBufferDetails("Audio source", format.sampleRate, format.channelCount, fromFile.length());
  logBufferDetails("Audio buffer", kTargetSampleRate, 1, buffer->frameLength());
  Logging::logCurrentMemoryUsage("After loadAudio function");
  return buffer;
}

std::unique_ptr<AudioProcessor::PcmBuffer> AudioProcessor::resampleAudio(AudioFile& fromFile, double toSampleRate,
                                                                         std::uint32_t channelCount,
                                                                         const ChannelMode& channelMode,
                                                                         std::optional<std::uint32_t> frameCount,
                                                                         std::uint32_t maxReadFrameSize) {
  const auto outputFormat = AudioFormat::standard(toSampleRate, channelCount);
  if (!outputFormat || channelCount != 1) {
    Logging::error("Failed to create output audio format");
    return nullptr;
  }
  try {
    std::optional<std::int64_t> count;
    if (frameCount) count = *frameCount;
    auto samples = convertSpan(fromFile, toSampleRate, channelMode, count, maxReadFrameSize);
    auto buffer = PcmBuffer::adopt(*outputFormat, std::move(samples));
    if (!buffer) Logging::error("Failed to create output buffer");
    return buffer;
  } catch (const ConversionError& e) {
    Logging::error(e.what());
  } catch (const std::bad_alloc&) {
    Logging::error("Failed to create output buffer");
  }
  return nullptr;
}

std::unique_ptr<AudioProcessor::PcmBuffer> AudioProcessor::resampleAudio(const PcmBuffer& fromBuffer,
                                                                         double toSampleRate,
                                                                         std::uint32_t channelCount) {
  if (!AudioFormat::standard(toSampleRate, channelCount)) {
    Logging::error("Failed to create output audio format");
    return nullptr;
  }
  auto converter = channelCount == fromBuffer.format().channelCount
                       ? Resampler::create(fromBuffer.format().sampleRate, toSampleRate, channelCount)
                       : nullptr;
  if (!converter) {
    Logging::error("Failed to create audio converter");
    return nullptr;
  }
  try {
    return resampleBuffer(fromBuffer, *converter, true);
  } catch (const WhisperError& e) {
    Logging::error("Failed to resample buffer: " + e.message());
    return nullptr;
  }
}

std::unique_ptr<AudioProcessor::PcmBuffer> AudioProcessor::resampleBuffer(const PcmBuffer& buffer, Resampler& converter,
                                                                          bool endOfStream) {
  double capacity = double(buffer.frameLength()) * converter.outputRate() / converter.inputRate();
  if (capacity != std::floor(capacity)) {
    const double rounded = std::max(1.0, std::rint(capacity));
    if (debugEnabled()) {
      Logging::debug("Rounding buffer frame capacity from " + decimal(capacity) + " to " + decimal(rounded) +
                     " to better fit new sample rate");
    }
    capacity = rounded;
  }
  const auto frameCapacity = checkedIntegerCast<std::uint32_t>(capacity);
  const auto format = AudioFormat::standard(converter.outputRate(), converter.channelCount());
  if (!frameCapacity || !format) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");
  if (buffer.format().sampleRate != converter.inputRate() || buffer.format().channelCount != converter.channelCount()) {
    throw WhisperError::audioProcessingFailed(
        "Error converting audio: the buffer's format does not match the converter");
  }
  auto output = PcmBuffer::create(*format, *frameCapacity);
  if (!output) throw WhisperError::audioProcessingFailed("Failed to create converted buffer");

  auto take = [&](const std::vector<std::vector<float>>& produced) {
    const std::uint32_t room = output->frameCapacity() - output->frameLength();
    const auto n = std::uint32_t(std::min<std::size_t>(room, produced.front().size()));
    for (std::uint32_t c = 0; c < converter.channelCount(); ++c) {
      std::copy_n(produced[c].data(), n, output->floatChannelData(c) + output->frameLength());
    }
    output->setFrameLength(output->frameLength() + n);
  };
  try {
    if (buffer.frameLength() > 0) {
      std::vector<const float*> planes(converter.channelCount());
      for (std::uint32_t c = 0; c < converter.channelCount(); ++c) planes[c] = buffer.floatChannelData(c);
      take(converter.process(planes, buffer.frameLength()));
    }
    if (endOfStream) take(converter.flush());
  } catch (const ResamplerError& e) {
    throw WhisperError::audioProcessingFailed(std::string("Error converting audio: ") + e.what());
  }
  return output;
}

bool AudioProcessor::mixToMono(const PcmBuffer& input, const ChannelMode& mode, PcmBuffer& output) {
  float* destination = output.floatChannelData(0);
  if (destination == nullptr || output.format().channelCount != 1 || output.frameCapacity() < input.frameLength()) {
    return false;
  }
  MonoMixer mixer(mode, input.format().channelCount);
  mixer.add(input, destination);
  mixer.finish(destination, input.frameLength());
  output.setFrameLength(input.frameLength());
  return true;
}

std::shared_ptr<AudioProcessor::PcmBuffer> AudioProcessor::convertToMono(std::shared_ptr<PcmBuffer> buffer,
                                                                         const ChannelMode& mode) {
  if (!buffer || buffer->format().channelCount < 2) return buffer;
  const auto monoFormat = AudioFormat::standard(buffer->format().sampleRate, 1);
  if (!monoFormat) {
    Logging::error("Failed to create AVAudioFormat object.");
    return nullptr;
  }
  std::shared_ptr<PcmBuffer> output = PcmBuffer::create(*monoFormat, buffer->frameCapacity());
  if (!output) {
    Logging::error("Failed to create mono buffer.");
    return nullptr;
  }
  if (!mixToMono(*buffer, mode, *output)) return buffer;
  return output;
}

std::vector<float> AudioProcessor::loadAudioAsFloatArray(const std::string& fromPath, const ChannelMode& channelMode,
                                                         std::optional<double> startTime, std::optional<double> endTime,
                                                         std::stop_token stopToken) {
  platform::sync::throwIfStopped(stopToken);
  auto file = openFile(fromPath);
  const AudioFormat format = file->fileFormat();
  const FrameSpan span = resolveSpan(*file, startTime, endTime);
  if (span.end && *span.end <= span.start) return {};
  seekTo(*file, span.start);

  std::vector<float> samples;
  samples.reserve(expectedSamples(*file, span));
  if (isTargetFormat(format)) {
    readDirect(*file, span.count(), kDefaultAudioReadFrameSize, samples, stopToken);
  } else {
    try {
      // Pieces of at most 600 s, all through one converter that is flushed once at the end.
      const auto pieceFrames = checkedIntegerCast<std::int64_t>(kPieceSeconds * format.sampleRate).value_or(1);
      SpanConverter converter(*file, channelMode, kTargetSampleRate, kDefaultAudioReadFrameSize);
      std::optional<std::int64_t> remaining = span.count();
      while (!remaining || *remaining > 0) {
        platform::sync::throwIfStopped(stopToken);
        const std::int64_t n = remaining ? std::min(*remaining, pieceFrames) : pieceFrames;
        const std::int64_t got = converter.convert(n, samples);
        if (remaining) *remaining -= got;
        if (got < n) break;
      }
      converter.finish(samples);
    } catch (const ConversionError& e) {
      throw WhisperError::loadAudioFailed(std::string("Failed to process audio buffer: ") + e.what());
    }
  }
  logBufferDetails("Audio source", format.sampleRate, format.channelCount, file->length());
  logBufferDetails("Audio buffer", kTargetSampleRate, 1, std::int64_t(samples.size()));
  Logging::logCurrentMemoryUsage("After loadAudio function");
  return samples;
}

std::vector<float> AudioProcessor::convertBufferToArray(PcmBuffer& buffer, std::size_t chunkSize) {
  float* samples = buffer.floatChannelData(0);
  if (samples == nullptr) return {};
  chunkSize = std::max<std::size_t>(1, chunkSize);
  const std::size_t frames = buffer.frameLength();
  std::vector<float> result;
  result.reserve(frames);
  for (std::size_t offset = 0; offset < frames; offset += chunkSize) {
    const std::size_t n = std::min(chunkSize, frames - offset);
    result.insert(result.end(), samples + offset, samples + offset + n);
    std::fill_n(samples + offset, n, 0.0f);
  }
  return result;
}

std::vector<AudioLoadResult> AudioProcessor::loadAudio(const std::vector<std::string>& at,
                                                       const ChannelMode& channelMode, std::stop_token stopToken) {
  std::vector<AudioLoadResult> results(at.size(), AudioLoadResult::success({}));
  const auto threads = static_cast<std::size_t>(noxtal::ConcurrencyUtilities::activeProcessorCount());
  try {
    platform::sync::runConcurrently(
        at.size(), threads,
        [&](std::size_t i, const std::stop_token& token) {
          try {
            platform::sync::throwIfStopped(token);
            results[i] = AudioLoadResult::success(loadAudioAsFloatArray(at[i], channelMode, 0.0, std::nullopt, token));
          } catch (...) {
            results[i] = AudioLoadResult::failure(std::current_exception());
          }
        },
        std::move(stopToken));
  } catch (...) {
    // The bodies throw nothing, so the group failed before any of them ran (its threads could
    // not be started): no file was loaded.
    const std::exception_ptr error = std::current_exception();
    for (AudioLoadResult& result : results) result = AudioLoadResult::failure(error);
  }
  return results;
}

}  // namespace vostrane
