#include "platform/audio/audio_file.hpp"

#include <algorithm>
#include <system_error>

#include "platform/audio/ffmpeg_support.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace platform::audio {

using detail::errorText;

struct AudioFile::Decoder {
  detail::FormatContextPtr format;
  detail::CodecContextPtr codec;
  detail::PacketPtr packet;
  detail::FramePtr frame;
  int streamIndex = -1;
  AVRational timeBase{1, 1};
  std::int64_t startTime = 0;  // stream start in timeBase units
  int sampleRate = 0;
  int channels = 0;

  bool frameValid = false;
  int frameOffset = 0;         // samples of `frame` already delivered or skipped
  std::int64_t decodePos = 0;  // file frame of frame->data[frameOffset]
  bool decodePosKnown = true;  // false right after a timestamp seek, until a frame arrives
  bool flushSent = false;
  bool ended = false;
};

namespace {

// Converts `count` samples starting at sample `from` of a decoded frame into float planes.
template <class T, class Scale>
void convertTyped(const AVFrame& frame, bool planar, int channels, int from, int count, float* const* planes,
                  std::uint32_t offset, Scale scale) {
  if (planar) {
    for (int c = 0; c < channels; ++c) {
      const T* src = reinterpret_cast<const T*>(frame.extended_data[c]) + from;
      float* dst = planes[c] + offset;
      for (int i = 0; i < count; ++i) dst[i] = scale(src[i]);
    }
  } else {
    const T* src = reinterpret_cast<const T*>(frame.extended_data[0]) + std::size_t(from) * channels;
    for (int i = 0; i < count; ++i) {
      for (int c = 0; c < channels; ++c) planes[c][offset + i] = scale(src[std::size_t(i) * channels + c]);
    }
  }
}

bool convertSamples(const AVFrame& frame, int channels, int from, int count, float* const* planes,
                    std::uint32_t offset) {
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_U8:
      convertTyped<std::uint8_t>(frame, planar, channels, from, count, planes, offset,
                                 [](std::uint8_t v) { return (float(v) - 128.0f) * (1.0f / 128.0f); });
      return true;
    case AV_SAMPLE_FMT_S16:
      convertTyped<std::int16_t>(frame, planar, channels, from, count, planes, offset,
                                 [](std::int16_t v) { return float(v) * (1.0f / 32768.0f); });
      return true;
    case AV_SAMPLE_FMT_S32:
      convertTyped<std::int32_t>(frame, planar, channels, from, count, planes, offset,
                                 [](std::int32_t v) { return float(double(v) * (1.0 / 2147483648.0)); });
      return true;
    case AV_SAMPLE_FMT_S64:
      convertTyped<std::int64_t>(frame, planar, channels, from, count, planes, offset,
                                 [](std::int64_t v) { return float(double(v) * (1.0 / 9223372036854775808.0)); });
      return true;
    case AV_SAMPLE_FMT_FLT:
      convertTyped<float>(frame, planar, channels, from, count, planes, offset, [](float v) { return v; });
      return true;
    case AV_SAMPLE_FMT_DBL:
      convertTyped<double>(frame, planar, channels, from, count, planes, offset, [](double v) { return float(v); });
      return true;
    default:
      return false;
  }
}

bool isPcmCodec(AVCodecID id) { return id >= AV_CODEC_ID_FIRST_AUDIO && id < AV_CODEC_ID_ADPCM_IMA_QT; }

}  // namespace

AudioFile::AudioFile(std::filesystem::path path, std::unique_ptr<Decoder> decoder)
    : path_(std::move(path)), decoder_(std::move(decoder)) {}

AudioFile::~AudioFile() = default;

void AudioFile::failWith(const std::string& reason) const {
  throw AudioFileError("Cannot read audio file " + path_.string() + ": " + reason);
}

std::unique_ptr<AudioFile::Decoder> AudioFile::openDecoder(const std::filesystem::path& path) {
  const std::string name = path.string();
  auto fail = [&](const std::string& reason) -> std::unique_ptr<Decoder> {
    throw AudioFileError("Cannot open audio file " + name + ": " + reason);
  };
  auto d = std::make_unique<Decoder>();
  AVFormatContext* rawFormat = nullptr;
  int ret = avformat_open_input(&rawFormat, name.c_str(), nullptr, nullptr);
  if (ret < 0) return fail(errorText(ret));
  d->format.reset(rawFormat);
  ret = avformat_find_stream_info(d->format.get(), nullptr);
  if (ret < 0) return fail(errorText(ret));

  const AVCodec* codec = nullptr;
  ret = av_find_best_stream(d->format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (ret == AVERROR_STREAM_NOT_FOUND) return fail("it holds no audio stream");
  if (ret == AVERROR_DECODER_NOT_FOUND || (ret >= 0 && codec == nullptr))
    return fail("no decoder for its audio stream");
  if (ret < 0) return fail(errorText(ret));
  d->streamIndex = ret;
  AVStream* stream = d->format->streams[ret];
  for (unsigned i = 0; i < d->format->nb_streams; ++i) {
    if (int(i) != d->streamIndex) d->format->streams[i]->discard = AVDISCARD_ALL;
  }

  d->codec.reset(avcodec_alloc_context3(codec));
  if (!d->codec) return fail("out of memory");
  ret = avcodec_parameters_to_context(d->codec.get(), stream->codecpar);
  if (ret < 0) return fail(errorText(ret));
  ret = avcodec_open2(d->codec.get(), codec, nullptr);
  if (ret < 0) return fail("cannot open decoder: " + errorText(ret));
  d->packet.reset(av_packet_alloc());
  d->frame.reset(av_frame_alloc());
  if (!d->packet || !d->frame) return fail("out of memory");

  d->sampleRate = d->codec->sample_rate;
  d->channels = d->codec->ch_layout.nb_channels;
  if (d->sampleRate <= 0 || d->channels <= 0 || d->channels > int(AudioFormat::kMaxChannels)) {
    return fail("unsupported sample rate or channel count");
  }
  d->timeBase = stream->time_base;
  d->startTime = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  return d;
}

std::unique_ptr<AudioFile> AudioFile::open(const std::filesystem::path& path) {
  detail::routeFfmpegLogging();
  const std::string name = path.string();
  auto fail = [&](const std::string& reason) -> std::unique_ptr<AudioFile> {
    throw AudioFileError("Cannot open audio file " + name + ": " + reason);
  };

  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) return fail("no such file");
  if (std::filesystem::is_directory(status)) return fail("it is a directory");
  if (!std::filesystem::is_regular_file(status)) return fail("not a regular file");
  if (std::filesystem::file_size(path, ec) == 0 && !ec) return fail("the file is empty");

  auto d = openDecoder(path);
  const AVStream* stream = d->format->streams[d->streamIndex];
  std::int64_t length = 0;
  bool exact = false;
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    length = av_rescale_q(stream->duration, stream->time_base, AVRational{1, d->sampleRate});
    // A PCM length is exact only when the header's data rate agrees with its sample format: a
    // header whose byte rate says otherwise has its duration reckoned from that rate, which can
    // miss the frames actually stored.
    const AVCodecParameters* par = stream->codecpar;
    const std::int64_t frameBits = std::int64_t(av_get_bits_per_sample(par->codec_id)) * d->channels;
    exact = isPcmCodec(par->codec_id) && frameBits > 0 &&
            (par->bit_rate <= 0 || par->bit_rate == frameBits * d->sampleRate);
  } else if (d->format->duration != AV_NOPTS_VALUE && d->format->duration > 0) {
    length = av_rescale(d->format->duration, d->sampleRate, AV_TIME_BASE);
  }
  const auto format = *AudioFormat::standard(d->sampleRate, std::uint32_t(d->channels));
  auto file = std::unique_ptr<AudioFile>(new AudioFile(path, std::move(d)));
  file->processingFormat_ = format;
  file->length_ = length;
  file->lengthIsExact_ = exact;
  return file;
}

void AudioFile::rewind() {
  try {
    decoder_ = openDecoder(path_);
  } catch (const AudioFileError& e) {
    failWith(std::string("cannot reopen: ") + e.what());
  }
  position_ = 0;
}

bool AudioFile::receiveNextFrame() {
  Decoder& d = *decoder_;
  d.frameValid = false;
  if (d.ended) return false;
  for (;;) {
    int ret = avcodec_receive_frame(d.codec.get(), d.frame.get());
    if (ret == 0) {
      const AVFrame& f = *d.frame;
      if (f.ch_layout.nb_channels != d.channels || f.sample_rate != d.sampleRate) {
        failWith("the channel count or sample rate changes inside the stream");
      }
      d.frameValid = true;
      d.frameOffset = 0;
      if (!d.decodePosKnown) {
        const std::int64_t ts = f.best_effort_timestamp;
        d.decodePosKnown = true;
        if (ts == AV_NOPTS_VALUE) failWith("the stream has no timestamps to seek by");
        d.decodePos = av_rescale_q(ts - d.startTime, d.timeBase, AVRational{1, d.sampleRate});
        if (d.decodePos > position_) {
          // The container landed past the target: decode again from the beginning.
          const std::int64_t target = position_;
          rewind();
          position_ = target;
          return receiveNextFrame();
        }
      }
      return true;
    }
    if (ret == AVERROR_EOF) {
      d.ended = true;
      return false;
    }
    if (ret != AVERROR(EAGAIN)) failWith("decoding failed: " + errorText(ret));
    if (d.flushSent) {
      d.ended = true;
      return false;
    }
    ret = av_read_frame(d.format.get(), d.packet.get());
    if (ret == AVERROR_EOF) {
      avcodec_send_packet(d.codec.get(), nullptr);
      d.flushSent = true;
      continue;
    }
    if (ret < 0) failWith("reading failed: " + errorText(ret));
    if (d.packet->stream_index != d.streamIndex) {
      av_packet_unref(d.packet.get());
      continue;
    }
    ret = avcodec_send_packet(d.codec.get(), d.packet.get());
    av_packet_unref(d.packet.get());
    if (ret < 0 && ret != AVERROR(EAGAIN)) failWith("decoding failed: " + errorText(ret));
  }
}

std::uint32_t AudioFile::decodeInto(float* const* planes, std::uint32_t offset, std::uint32_t count) {
  std::uint32_t written = 0;
  while (written < count) {
    Decoder& d = *decoder_;  // re-read each step: receiveNextFrame may reopen the decoder
    if (!d.frameValid || d.frameOffset >= d.frame->nb_samples) {
      if (!receiveNextFrame()) break;
      continue;
    }
    const int available = d.frame->nb_samples - d.frameOffset;
    if (d.decodePos < position_) {
      const auto skip = int(std::min<std::int64_t>(available, position_ - d.decodePos));
      d.frameOffset += skip;
      d.decodePos += skip;
      continue;
    }
    const int n = int(std::min<std::int64_t>(available, count - written));
    if (!convertSamples(*d.frame, d.channels, d.frameOffset, n, planes, offset + written)) {
      failWith("unsupported sample format");
    }
    d.frameOffset += n;
    d.decodePos += n;
    position_ += n;
    written += std::uint32_t(n);
  }
  return written;
}

void AudioFile::setFramePosition(std::int64_t frame) {
  if (frame < 0) failWith("negative read position");
  if (frame == position_) return;
  // Forward: decode and discard up to the frame (close ahead, or a format without exact seeking).
  if (decoder_->decodePosKnown && frame > position_ &&
      (!lengthIsExact_ || frame - position_ <= std::int64_t{decoder_->sampleRate} * 10)) {
    position_ = frame;
    return;
  }
  // Compressed formats carry decoder delay and priming that only a fresh start handles exactly:
  // start again and decode forward.
  if (!lengthIsExact_ || frame == 0) {
    rewind();
    position_ = frame;
    return;
  }
  Decoder& d = *decoder_;
  const std::int64_t ts = d.startTime + av_rescale_q(frame, AVRational{1, d.sampleRate}, d.timeBase);
  const int ret = av_seek_frame(d.format.get(), d.streamIndex, ts, AVSEEK_FLAG_BACKWARD);
  if (ret < 0) {
    rewind();
    position_ = frame;
    return;
  }
  avcodec_flush_buffers(d.codec.get());
  d.frameValid = false;
  d.flushSent = false;
  d.ended = false;
  position_ = frame;
  d.decodePosKnown = false;
  d.decodePos = 0;
}

std::uint32_t AudioFile::read(PcmBuffer& buffer, std::uint32_t frameCount) {
  if (buffer.format().channelCount != processingFormat_.channelCount) {
    throw std::invalid_argument("AudioFile::read: buffer channel count differs from the file's");
  }
  const std::uint32_t count = std::min(frameCount, buffer.frameCapacity());
  float* planes[AudioFormat::kMaxChannels];
  for (std::uint32_t c = 0; c < processingFormat_.channelCount; ++c) planes[c] = buffer.floatChannelData(c);
  const std::uint32_t got = decodeInto(planes, 0, count);
  buffer.setFrameLength(got);
  if (got < count && lengthIsExact_ && position_ < length_) {
    failWith("the file is truncated (audio ends at frame " + std::to_string(position_) + " of " +
             std::to_string(length_) + ")");
  }
  return got;
}

}  // namespace platform::audio
