#pragma once
#include <memory>

#include "platform/media/media_foundation.h"

namespace kalto::media::ffmpeg {

// The default backend: FFmpeg's H.264 encoders as transforms, the MP4 sink writer on libavformat.
std::shared_ptr<MediaPlatform> CreateFfmpegPlatform();

}  // namespace kalto::media::ffmpeg
