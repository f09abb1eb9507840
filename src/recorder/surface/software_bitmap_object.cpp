// ISoftwareBitmap: the size, format and planes of one camera picture, and a copy of its bytes.
#include "recorder/surface/software_bitmap_object.h"

#include <cstring>
#include <functional>
#include <utility>

#include "platform/abi/com_object.h"

namespace kalto::surface {
namespace {

using abi::Guard;
using Interface = KaltoISoftwareBitmap;

class SoftwareBitmapObject final : public abi::ComObject {
 public:
  explicit SoftwareBitmapObject(std::shared_ptr<camera::SoftwareBitmap> bitmap) noexcept
      : ComObject(u"Kalto.Native.SoftwareBitmap"), m_bitmap(std::move(bitmap)) {
    Expose(KALTO_IID_ISoftwareBitmap, &m_head.iface);
  }

  static const KaltoISoftwareBitmapVtbl kVtbl;
  abi::Head<Interface> m_head{&kVtbl, this};
  const std::shared_ptr<camera::SoftwareBitmap> m_bitmap;
};

camera::SoftwareBitmap& Bitmap(Interface* self) { return *abi::Self<SoftwareBitmapObject>(self).m_bitmap; }

template <typename T, auto Read>
HRESULT GetSlot(Interface* self, T* value) {
  if (!value) return E_POINTER;
  return Guard([&] { *value = static_cast<T>(std::invoke(Read, Bitmap(self))); });
}

template <typename T, auto Read>
HRESULT GetFromBufferSlot(Interface* self, T* value) {
  if (!value) return E_POINTER;
  return Guard([&] {
    *value = static_cast<T>(std::invoke(Read, *Bitmap(self).LockBuffer(camera::BitmapBufferAccessMode::Read)));
  });
}

HRESULT GetPlaneDescription(Interface* self, int32_t index, KaltoBitmapPlaneDescription* plane) {
  if (!plane) return E_POINTER;
  *plane = {};
  // An index past the planes throws the platform's E_INVALIDARG, which Guard returns.
  return Guard([&] {
    const camera::BitmapPlaneDescription p =
        Bitmap(self).LockBuffer(camera::BitmapBufferAccessMode::Read)->GetPlaneDescription(index);
    *plane = {p.StartIndex, p.Width, p.Height, p.Stride};
  });
}

HRESULT CopyToBuffer(Interface* self, uint8_t* buffer, uint32_t capacity) {
  if (!buffer) return E_POINTER;
  return Guard([&]() -> HRESULT {
    auto locked = Bitmap(self).LockBuffer(camera::BitmapBufferAccessMode::Read);
    if (capacity < locked->Capacity()) return E_INVALIDARG;
    std::memcpy(buffer, locked->Data(), locked->Capacity());
    return S_OK;
  });
}

const KaltoISoftwareBitmapVtbl SoftwareBitmapObject::kVtbl{
    KALTO_ABI_IINSPECTABLE_SLOTS(Interface),
    .get_PixelWidth = &GetSlot<int32_t, &camera::SoftwareBitmap::PixelWidth>,
    .get_PixelHeight = &GetSlot<int32_t, &camera::SoftwareBitmap::PixelHeight>,
    .get_BitmapPixelFormat = &GetSlot<KaltoBitmapPixelFormat, &camera::SoftwareBitmap::PixelFormat>,
    .get_BitmapAlphaMode = &GetSlot<KaltoBitmapAlphaMode, &camera::SoftwareBitmap::AlphaMode>,
    .get_PlaneCount = &GetFromBufferSlot<int32_t, &camera::BitmapBuffer::GetPlaneCount>,
    .GetPlaneDescription = &GetPlaneDescription,
    .get_Capacity = &GetFromBufferSlot<uint32_t, &camera::BitmapBuffer::Capacity>,
    .CopyToBuffer = &CopyToBuffer,
};

}  // namespace

HRESULT MakeSoftwareBitmapObject(std::shared_ptr<camera::SoftwareBitmap> bitmap,
                                 KaltoISoftwareBitmap** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!bitmap) return E_INVALIDARG;
  return Guard([&] { *result = abi::MakeComObject(&SoftwareBitmapObject::m_head, std::move(bitmap)).Detach(); });
}

}  // namespace kalto::surface
