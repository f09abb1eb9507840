// INativeRecorderHost: what the command-line hosts need beyond the recorder's published slots.
#include "recorder/surface/native_recorder_host.h"

#include <string_view>

#include "common/debug_output.h"
#include "platform/abi/abi_string.h"
#include "platform/abi/com_object.h"
#include "recorder/surface/native_recorder_engine.h"
#include "recorder/surface/records.h"
#include "recorder/surface/surface.h"

namespace kalto::surface {
namespace {

using abi::Guard;
using Host = KaltoINativeRecorderHost;

KaltoINativeRecorder* Recorder(Host* self) { return reinterpret_cast<NativeRecorderHostHead*>(self)->recorder; }
NativeRecorder& Engine(Host* self) { return *EngineOf(Recorder(self)); }

HRESULT QueryInterface(Host* self, const KaltoGuid* iid, void** object) {
  KaltoINativeRecorder* r = Recorder(self);
  return r->lpVtbl->QueryInterface(r, iid, object);
}
uint32_t AddRef(Host* self) { return Recorder(self)->lpVtbl->AddRef(Recorder(self)); }
uint32_t Release(Host* self) { return Recorder(self)->lpVtbl->Release(Recorder(self)); }
HRESULT GetIids(Host* self, uint32_t* count, KaltoGuid** iids) {
  return Recorder(self)->lpVtbl->GetIids(Recorder(self), count, iids);
}
HRESULT GetRuntimeClassName(Host* self, KaltoHString* name) {
  return Recorder(self)->lpVtbl->GetRuntimeClassName(Recorder(self), name);
}

HRESULT AddWarning(Host* self, KaltoITypedEventHandlerNativeRecorderString* handler, KaltoEventRegistrationToken* token) {
  return AddWarningHandler(Recorder(self), handler, token);
}
HRESULT RemoveWarning(Host* self, KaltoEventRegistrationToken token) { return RemoveWarningHandler(Recorder(self), token); }

HRESULT GetAudioLevels(Host* self, KaltoAudioLevels* levels) {
  if (!levels) return E_POINTER;
  return Guard([&] {
    const AudioLevels now = Engine(self).GetAudioLevels();
    *levels = {ToAbi(now.active), now.microphone, now.system};
  });
}

HRESULT GetCurrentProgress(Host* self, KaltoIRecordingProgress** progress) {
  if (!progress) return E_POINTER;
  *progress = nullptr;
  return Guard([&] { return MakeRecordingProgressObject(Engine(self).CurrentProgress(), progress); });
}

HRESULT GetFramesWritten(Host* self, int64_t* frames) {
  if (!frames) return E_POINTER;
  return Guard([&] { *frames = Engine(self).FramesWritten(); });
}

HRESULT UpdateCameraOverlayEffect(Host* self, KaltoBackgroundEffectConfig effect) {
  return Guard([&] { Engine(self).UpdateCameraOverlayEffect(FromAbi(effect)); });
}

HRESULT GetPreviewEffectState(Host* self, KaltoPreviewEffectState* state) {
  if (!state) return E_POINTER;
  return Guard([&] {
    const NativeRecorder::PreviewEffectState now = Engine(self).GetPreviewEffectState();
    *state = {now.interval, now.tier};
  });
}

// The library has cameras of its own: a file registered in an application's copy of the
// platform would be invisible to the recorder.
HRESULT AddFileCamera(Host*, KaltoHString deviceId, KaltoBoolean* added) {
  if (!added) return E_POINTER;
  *added = 0;
  return Guard([&] {
    const auto platform = RecorderPlatform();
    *added = ToAbi(platform->camera && platform->camera->AddFileCamera(abi::WideFromAbi(deviceId)));
  });
}

HRESULT SetDiagnosticOutput(Host*, KaltoBoolean enabled) {
  return Guard([&] { SetDebugSink(FromAbi(enabled) ? DebugSink() : DebugSink([](std::string_view) {})); });
}

}  // namespace

const KaltoINativeRecorderHostVtbl kNativeRecorderHostVtbl{
    .QueryInterface = &QueryInterface,
    .AddRef = &AddRef,
    .Release = &Release,
    .GetIids = &GetIids,
    .GetRuntimeClassName = &GetRuntimeClassName,
    .GetTrustLevel = &abi::GetTrustLevelSlot<Host>,
    .add_Warning = &AddWarning,
    .remove_Warning = &RemoveWarning,
    .GetAudioLevels = &GetAudioLevels,
    .GetCurrentProgress = &GetCurrentProgress,
    .get_FramesWritten = &GetFramesWritten,
    .UpdateCameraOverlayEffect = &UpdateCameraOverlayEffect,
    .GetPreviewEffectState = &GetPreviewEffectState,
    .AddFileCamera = &AddFileCamera,
    .SetDiagnosticOutput = &SetDiagnosticOutput,
};

}  // namespace kalto::surface
