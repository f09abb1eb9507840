#pragma once
// The INativeRecorder object. Its implementation lives in native_recorder_object.cpp.
#include <memory>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/platform.h"

namespace kalto::surface {

// A new recorder object over a new NativeRecorder on `platform`, in its initial state: the
// instance that activating "Kalto.Native.NativeRecorder" hands out.
HRESULT MakeNativeRecorderObject(std::shared_ptr<platform::Platform> platform, KaltoINativeRecorder** result) noexcept;

}  // namespace kalto::surface
