#pragma once
// Owning handles for FFmpeg objects.
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace kalto::media::ffmpeg {

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
// An output context whose pb the owner manages (custom I/O or AvioHandle).
struct OutputFormatDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct InputFormatDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
// A context from avio_open.
struct AvioCloser {
  void operator()(AVIOContext* context) const { avio_closep(&context); }
};
// A context from avio_alloc_context: its buffer may have been replaced, so free what it holds now.
struct CustomAvioDeleter {
  void operator()(AVIOContext* context) const {
    if (context != nullptr) av_freep(&context->buffer);
    avio_context_free(&context);
  }
};

struct BufferRefDeleter {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
// The pool itself goes once its last buffer is returned.
struct BufferPoolDeleter {
  void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
};

using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using AvioPtr = std::unique_ptr<AVIOContext, AvioCloser>;
using CustomAvioPtr = std::unique_ptr<AVIOContext, CustomAvioDeleter>;

inline FramePtr MakeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr MakePacket() { return PacketPtr(av_packet_alloc()); }

}  // namespace kalto::media::ffmpeg
