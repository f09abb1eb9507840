#pragma once
// The INativeRecorder object over an engine someone else also holds, and the way back from the
// interface to that engine: what tests use to drive and check one recorder from both sides.
#include <memory>

#include "common/result.h"
#include "kalto/native.h"
#include "recorder/native_recorder.h"

namespace kalto::surface {

HRESULT WrapNativeRecorder(std::shared_ptr<NativeRecorder> engine, KaltoINativeRecorder** result) noexcept;
// The engine behind an INativeRecorder of this module; null for any other.
NativeRecorder* EngineOf(KaltoINativeRecorder* recorder) noexcept;

}  // namespace kalto::surface
