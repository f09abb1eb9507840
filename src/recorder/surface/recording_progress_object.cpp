// IRecordingProgress: four getters over one immutable report.
#include "platform/abi/com_object.h"
#include "recorder/surface/surface.h"

namespace kalto::surface {
namespace {

using Interface = KaltoIRecordingProgress;

class RecordingProgressObject final : public abi::ComObject {
 public:
  explicit RecordingProgressObject(const RecordingProgress& progress) noexcept
      : ComObject(kRecordingProgressClass), m_progress(progress) {
    Expose(KALTO_IID_IRecordingProgress, &m_head.iface);
  }

  static const KaltoIRecordingProgressVtbl kVtbl;
  abi::Head<Interface> m_head{&kVtbl, this};
  const RecordingProgress m_progress;
};

template <typename T, T (RecordingProgress::*Getter)() const noexcept>
HRESULT GetSlot(Interface* self, T* value) {
  if (!value) return E_POINTER;
  *value = (abi::Self<RecordingProgressObject>(self).m_progress.*Getter)();
  return S_OK;
}

const KaltoIRecordingProgressVtbl RecordingProgressObject::kVtbl{
    KALTO_ABI_IINSPECTABLE_SLOTS(Interface),
    .get_DurationSeconds = &GetSlot<double, &RecordingProgress::DurationSeconds>,
    .get_DurationMicroseconds = &GetSlot<int64_t, &RecordingProgress::DurationMicroseconds>,
    .get_AverageFrameRate = &GetSlot<double, &RecordingProgress::AverageFrameRate>,
    .get_DroppedFrames = &GetSlot<int32_t, &RecordingProgress::DroppedFrames>,
};

}  // namespace

HRESULT MakeRecordingProgressObject(const RecordingProgress& progress, KaltoIRecordingProgress** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  return abi::Guard([&] { *result = abi::MakeComObject(&RecordingProgressObject::m_head, progress).Detach(); });
}

}  // namespace kalto::surface
