#pragma once
// ISoftwareBitmap: what PreviewFrameArrived hands the application.
#include <memory>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/camera/camera.h"

namespace kalto::surface {

// An ISoftwareBitmap over `bitmap`, read-only: the engine no longer writes a bitmap it has raised,
// so any thread may read it.
HRESULT MakeSoftwareBitmapObject(std::shared_ptr<camera::SoftwareBitmap> bitmap,
                                 KaltoISoftwareBitmap** result) noexcept;

}  // namespace kalto::surface
