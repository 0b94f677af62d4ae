// Internal helpers shared by the FFmpeg-backed parts of platform::audio: owning handles for
// FFmpeg's C objects, error texts, and the routing of FFmpeg's own log output into
// platform::log (so the library never prints). Not part of the public interface.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace platform::audio::detail {

struct FormatContextDeleter {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct SwrDeleter {
  void operator()(SwrContext* p) const { swr_free(&p); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;

// FFmpeg's text for an error code.
std::string errorText(int code);

// Installs (once, thread-safely) a log callback that forwards FFmpeg's messages to
// platform::log under the category "FFmpeg" at debug level.
void routeFfmpegLogging();

}  // namespace platform::audio::detail
