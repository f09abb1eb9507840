#pragma once
// The host extension: a second interface of the recorder object. Its IUnknown and inspectable
// slots go to the recorder interface of the same object, so references taken through it count
// exactly as the recorder's own.
#include "common/result.h"
#include "kalto/native.h"

namespace kalto::surface {

struct NativeRecorderHostHead {
  KaltoINativeRecorderHost iface;
  KaltoINativeRecorder* recorder;  // the same object's recorder interface, not referenced
};
extern const KaltoINativeRecorderHostVtbl kNativeRecorderHostVtbl;

// Warning handlers are held like the recorder's own events (native_recorder_object.cpp).
HRESULT AddWarningHandler(KaltoINativeRecorder* recorder, KaltoITypedEventHandlerNativeRecorderString* handler,
                          KaltoEventRegistrationToken* token);
HRESULT RemoveWarningHandler(KaltoINativeRecorder* recorder, KaltoEventRegistrationToken token);

}  // namespace kalto::surface
