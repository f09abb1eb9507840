// TODO(issue 16, recorder object): the INativeRecorder object is built in a separate change; until
// then activating the recorder class answers E_NOTIMPL.
#include "recorder/surface/native_recorder_object.h"

namespace kalto::surface {

HRESULT MakeNativeRecorderObject(std::shared_ptr<platform::Platform>, KaltoINativeRecorder** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  return E_NOTIMPL;
}

}  // namespace kalto::surface
