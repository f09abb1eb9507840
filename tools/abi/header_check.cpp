// The public header compiles as C++20 too, with the same layout as in C.
#include "kalto/native.h"

#include <type_traits>

static_assert(std::is_standard_layout_v<KaltoCameraOverlayConfig> && std::is_trivial_v<KaltoCameraOverlayConfig>);
static_assert(sizeof(KaltoINativeRecorderVtbl) == (6 + 46) * sizeof(void (*)()));
static_assert(sizeof(KaltoIRecordingConfigVtbl) == (6 + 112) * sizeof(void (*)()));
static_assert(KALTO_CLASS_E_CLASSNOTAVAILABLE == static_cast<KaltoHResult>(0x80040111u));

const KaltoGuid* KaltoHeaderCheckCxx() {
  static constexpr KaltoGuid kOperationIid = KALTO_IID_IAsyncOperationBoolean_VALUE;
  return &kOperationIid;
}
