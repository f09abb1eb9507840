#pragma once
// ISoftwareBitmap: what PreviewFrameArrived hands the application.
#include <memory>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/camera/camera.h"

namespace kalto::surface {

// An ISoftwareBitmap over `bitmap`, read-only. The engine hands each bitmap out once and never
// writes it again, so any thread may read it.
HRESULT MakeSoftwareBitmapObject(std::shared_ptr<camera::SoftwareBitmap> bitmap, KaltoISoftwareBitmap** result) noexcept;
// The engine's bitmap behind an ISoftwareBitmap of this module; null for any other.
std::shared_ptr<camera::SoftwareBitmap> BitmapOf(KaltoISoftwareBitmap* bitmap) noexcept;

}  // namespace kalto::surface
