// INativeRecorder: 46 slots, each forwarding to one NativeRecorder. Events hold the application's
// delegates on the engine's events until they are removed or the object dies; designated
// initialisers hold the table's order against the header's.
#include "recorder/surface/native_recorder_object.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/abi/abi_string.h"
#include "platform/abi/async_operation_object.h"
#include "platform/abi/com_object.h"
#include "platform/abi/delegate.h"
#include "recorder/surface/native_recorder_engine.h"
#include "recorder/surface/native_recorder_host.h"
#include "recorder/surface/records.h"
#include "recorder/surface/software_bitmap_object.h"
#include "recorder/surface/surface.h"

namespace kalto::surface {
namespace {

using abi::ComPtr;
using abi::Guard;
using Interface = KaltoINativeRecorder;
using Operation = KaltoIAsyncOperationBoolean;

// The gates whose handlers run on this thread, innermost last.
thread_local std::vector<const void*> t_invoking;

// Hands the recorder's interface to event handlers, which run on the engine's threads. Closing
// it (the last Release) waits for the handlers running on other threads, so no handler is given
// a sender that is going away, and none starts afterwards.
class SenderGate {
 public:
  explicit SenderGate(Interface* sender) noexcept : m_sender(sender) {}

  template <typename F>
  HRESULT Invoke(const F& call) {
    t_invoking.push_back(this);  // first: a failure here leaves nothing counted
    Interface* sender = nullptr;
    {
      std::lock_guard lock(m_mutex);
      sender = m_sender;
      if (sender) ++m_running;
    }
    struct Leave {
      SenderGate& gate;
      bool counted;
      ~Leave() {
        t_invoking.pop_back();
        if (!counted) return;
        {
          std::lock_guard lock(gate.m_mutex);
          --gate.m_running;
        }
        gate.m_idle.notify_all();
      }
    } leave{*this, sender != nullptr};
    return sender ? call(sender) : S_OK;
  }

  void Close() noexcept {
    std::unique_lock lock(m_mutex);
    m_sender = nullptr;
    // A handler that drops the last reference itself is not waited for by its own thread.
    const auto own = std::count(t_invoking.begin(), t_invoking.end(), this);
    m_idle.wait(lock, [&] { return m_running == own; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_idle;
  Interface* m_sender;
  std::ptrdiff_t m_running = 0;
};

// Converters of the remaining event arguments (see abi/delegate.h for the others).
struct PassProgressArg {
  template <typename Invoke>
  HRESULT operator()(const Invoke& invoke, const RecordingProgress& progress) const {
    ComPtr<KaltoIRecordingProgress> object;
    HRESULT hr = MakeRecordingProgressObject(progress, object.Put());
    return Failed(hr) ? hr : invoke(object.Get());
  }
};
struct PassBitmapArg {
  template <typename Invoke>
  HRESULT operator()(const Invoke& invoke, const std::shared_ptr<camera::SoftwareBitmap>& bitmap) const {
    ComPtr<KaltoISoftwareBitmap> object;
    if (bitmap) {
      HRESULT hr = MakeSoftwareBitmapObject(bitmap, object.Put());
      if (Failed(hr)) return hr;
    }
    return invoke(object.Get());
  }
};

class NativeRecorderObject final : public abi::ComObject {
 public:
  explicit NativeRecorderObject(std::shared_ptr<NativeRecorder> engine)
      : ComObject(kNativeRecorderClass),
        m_engine(std::move(engine)),
        m_gate(std::make_shared<SenderGate>(&m_head.iface)) {
    Expose(KALTO_IID_INativeRecorder, &m_head.iface);
    Expose(KALTO_IID_INativeRecorderHost, &m_host.iface);
  }

  ~NativeRecorderObject() override {
    m_gate->Close();
    std::lock_guard lock(m_tokensMutex);
    for (int64_t token : m_tokens) ForEachEvent([&](auto& event) { event.Remove(abi::EventRegistrationToken{token}); });
  }

  template <typename F>
  void ForEachEvent(const F& f) {
    f(m_engine->Started()), f(m_engine->Stopped()), f(m_engine->ErrorOccurred()), f(m_engine->ProgressChanged());
    f(m_engine->CursorFocusChanged()), f(m_engine->PreviewFrameArrived()), f(m_engine->Warning());
    f(m_reservedEvent);
  }

  template <typename Arg, typename HandlerI, typename Convert>
  HRESULT Add(abi::Event<NativeRecorder&, Arg>& event, HandlerI* handler, KaltoEventRegistrationToken* token,
              Convert convert) {
    if (!token) return E_POINTER;
    token->value = 0;
    if (!handler) return E_INVALIDARG;
    return Guard([&]() -> HRESULT {
      std::lock_guard lock(m_tokensMutex);
      m_tokens.reserve(m_tokens.size() + 1);  // so that recording the token cannot fail
      auto added = event.Add([gate = m_gate, delegate = abi::Delegate<HandlerI>(handler), convert](NativeRecorder&,
                                                                                                  Arg arg) {
        return gate->Invoke([&](Interface* sender) {
          return convert([&](auto value) { return delegate.Invoke(sender, value); }, arg);
        });
      });
      if (added.value == 0) return E_OUTOFMEMORY;
      m_tokens.push_back(added.value);
      token->value = added.value;
      return S_OK;
    });
  }

  template <typename Arg>
  HRESULT Remove(abi::Event<NativeRecorder&, Arg>& event, KaltoEventRegistrationToken token) {
    // An unknown token, or one of another event, is not an error.
    if (!event.Remove(abi::EventRegistrationToken{token.value})) return S_OK;
    std::lock_guard lock(m_tokensMutex);
    std::erase(m_tokens, token.value);
    return S_OK;
  }

  static const KaltoINativeRecorderVtbl kVtbl;
  abi::Head<Interface> m_head{&kVtbl, this};
  NativeRecorderHostHead m_host{{&kNativeRecorderHostVtbl}, &m_head.iface};
  // References handed out through the slots; the object's own count follows it, a step behind on
  // the last Release, which first closes the gate.
  std::atomic<uint32_t> m_outside{1};
  const std::shared_ptr<NativeRecorder> m_engine;
  const std::shared_ptr<SenderGate> m_gate;
  abi::Event<NativeRecorder&, std::nullptr_t> m_reservedEvent;  // never raised
  std::mutex m_tokensMutex;
  std::vector<int64_t> m_tokens;  // registered and not yet removed
};

NativeRecorderObject& Object(Interface* self) { return abi::Self<NativeRecorderObject>(self); }
NativeRecorder& Engine(Interface* self) { return *Object(self).m_engine; }

// ---- IUnknown, counted so that the last Release is known before the object goes ----

HRESULT QueryInterfaceSlot(Interface* self, const KaltoGuid* iid, void** object) {
  HRESULT hr = Object(self).QueryInterface(iid, object);
  if (Succeeded(hr)) Object(self).m_outside.fetch_add(1, std::memory_order_relaxed);
  return hr;
}
uint32_t AddRefSlot(Interface* self) {
  Object(self).m_outside.fetch_add(1, std::memory_order_relaxed);
  return Object(self).AddRef();
}
uint32_t ReleaseSlot(Interface* self) {
  NativeRecorderObject& object = Object(self);
  // Handlers still running may AddRef and Release the sender while the object is whole.
  if (object.m_outside.fetch_sub(1, std::memory_order_acq_rel) == 1) object.m_gate->Close();
  return object.Release();
}

// ---- Slot shapes ----

template <auto Action>
HRESULT Call(Interface* self) {
  return Guard([&] { std::invoke(Action, Engine(self)); });
}

template <typename T, auto Read>
HRESULT Get(Interface* self, T* value) {
  if (!value) return E_POINTER;
  return Guard([&] { *value = static_cast<T>(std::invoke(Read, Engine(self))); });
}

// Records and Booleans, converted from their C form.
template <typename C, auto Write>
HRESULT Set(Interface* self, C value) {
  return Guard([&] { std::invoke(Write, Engine(self), FromAbi(value)); });
}

template <auto Write>
HRESULT SetDouble(Interface* self, double value) {
  return Guard([&] { std::invoke(Write, Engine(self), value); });
}

template <auto Start>
HRESULT Async(Interface* self, Operation** operation) {
  if (!operation) return E_POINTER;
  *operation = nullptr;
  return Guard([&] { return abi::MakeAsyncOperationObject(std::invoke(Start, Engine(self)), operation); });
}

template <auto Start>
HRESULT AsyncWithConfig(Interface* self, KaltoIRecordingConfig* config, Operation** operation) {
  if (!operation) return E_POINTER;
  *operation = nullptr;
  std::shared_ptr<RecordingConfig> engineConfig = ConfigOf(config);
  if (!engineConfig) return E_INVALIDARG;  // null, or a configuration of another implementation
  return Guard([&] {
    return abi::MakeAsyncOperationObject(std::invoke(Start, Engine(self), std::move(engineConfig)), operation);
  });
}

HRESULT GetOutputPath(Interface* self, KaltoHString* value) {
  if (!value) return E_POINTER;
  *value = nullptr;
  return Guard([&] { return abi::ReturnString(Engine(self).OutputPath(), value); });
}

HRESULT SetCameraOverlayRect(Interface* self, double x, double y, double width, double height) {
  return Guard([&] { Engine(self).SetCameraOverlayRect(x, y, width, height); });
}

HRESULT StartCameraPreviewAsync(Interface* self, KaltoHString deviceId, int32_t width, int32_t height,
                                int32_t frameRate, KaltoBackgroundEffectConfig effect, Operation** operation) {
  if (!operation) return E_POINTER;
  *operation = nullptr;
  return Guard([&] {
    return abi::MakeAsyncOperationObject(
        Engine(self).StartCameraPreviewAsync(abi::WideFromAbi(deviceId), width, height, frameRate, FromAbi(effect)),
        operation);
  });
}

// ---- Events ----

template <auto Member>
auto& EngineEvent(NativeRecorderObject& object) {
  return std::invoke(Member, *object.m_engine);
}
auto& ReservedEvent(NativeRecorderObject& object) { return object.m_reservedEvent; }

template <auto EventOf, typename Convert, typename HandlerI>
HRESULT AddHandler(Interface* self, HandlerI* handler, KaltoEventRegistrationToken* token) {
  NativeRecorderObject& object = Object(self);
  return object.Add(EventOf(object), handler, token, Convert{});
}

template <auto EventOf>
HRESULT RemoveHandler(Interface* self, KaltoEventRegistrationToken token) {
  NativeRecorderObject& object = Object(self);
  return Guard([&] { return object.Remove(EventOf(object), token); });
}

constexpr auto kStarted = &EngineEvent<&NativeRecorder::Started>;
constexpr auto kStopped = &EngineEvent<&NativeRecorder::Stopped>;
constexpr auto kErrorOccurred = &EngineEvent<&NativeRecorder::ErrorOccurred>;
constexpr auto kProgressChanged = &EngineEvent<&NativeRecorder::ProgressChanged>;
constexpr auto kCursorFocusChanged = &EngineEvent<&NativeRecorder::CursorFocusChanged>;
constexpr auto kPreviewFrameArrived = &EngineEvent<&NativeRecorder::PreviewFrameArrived>;
constexpr auto kReservedEvent = &ReservedEvent;
constexpr auto kWarning = &EngineEvent<&NativeRecorder::Warning>;

using R = NativeRecorder;

const KaltoINativeRecorderVtbl NativeRecorderObject::kVtbl{
    .QueryInterface = &QueryInterfaceSlot,
    .AddRef = &AddRefSlot,
    .Release = &ReleaseSlot,
    .GetIids = &abi::GetIidsSlot<Interface>,
    .GetRuntimeClassName = &abi::GetRuntimeClassNameSlot<Interface>,
    .GetTrustLevel = &abi::GetTrustLevelSlot<Interface>,
    .StartAsync = &AsyncWithConfig<&R::StartAsync>,
    .Stop = &Call<&R::Stop>,
    .Pause = &Call<&R::Pause>,
    .Resume = &Call<&R::Resume>,
    .PrepareAsync = &AsyncWithConfig<&R::PrepareAsync>,
    .PrepareCameraOverlayAsync = &Async<&R::PrepareCameraOverlayAsync>,
    .StartPreparedAsync = &Async<&R::StartPreparedAsync>,
    .CancelPrepared = &Call<&R::CancelPrepared>,
    .get_IsPrepared = &Get<KaltoBoolean, &R::IsPrepared>,
    .get_IsRecording = &Get<KaltoBoolean, &R::IsRecording>,
    .get_IsPaused = &Get<KaltoBoolean, &R::IsPaused>,
    .get_DurationSeconds = &Get<double, &R::DurationSeconds>,
    .get_DurationMicroseconds = &Get<int64_t, &R::DurationMicroseconds>,
    .get_OutputPath = &GetOutputPath,
    .SetMicrophoneVolume = &SetDouble<&R::SetMicrophoneVolume>,
    .SetSystemAudioVolume = &SetDouble<&R::SetSystemAudioVolume>,
    .SetFocusZoomSettings = &Set<KaltoFocusZoomSettings, &R::SetFocusZoomSettings>,
    .ToggleCursorFocus = &Set<KaltoBoolean, &R::ToggleCursorFocus>,
    .RecenterCursorFocus = &Call<&R::RecenterCursorFocus>,
    .SetCropRegion = &Set<KaltoRegionRect, &R::SetCropRegion>,
    .get_IsCursorFocusActive = &Get<KaltoBoolean, &R::IsCursorFocusActive>,
    .SetBackgroundEffect = &Set<KaltoBackgroundEffectConfig, &R::SetBackgroundEffect>,
    .get_PreviewEffectFrameCounter = &Get<int64_t, &R::PreviewEffectFrameCounter>,
    .get_IsMLModelAvailable = &Get<KaltoBoolean, &R::IsMLModelAvailable>,
    .SetCameraOverlayConfig = &Set<KaltoCameraOverlayConfig, &R::SetCameraOverlayConfig>,
    .SetCameraOverlayRect = &SetCameraOverlayRect,
    .get_IsCameraOverlayActive = &Get<KaltoBoolean, &R::IsCameraOverlayActive>,
    .SetOverlayPreviewForwardEnabled = &Set<KaltoBoolean, &R::SetOverlayPreviewForwardEnabled>,
    .StartCameraPreviewAsync = &StartCameraPreviewAsync,
    .StopCameraPreview = &Call<&R::StopCameraPreview>,
    .UpdatePreviewBackgroundEffect = &Set<KaltoBackgroundEffectConfig, &R::UpdatePreviewBackgroundEffect>,
    .get_IsCameraPreviewActive = &Get<KaltoBoolean, &R::IsCameraPreviewActive>,
    .add_Started = &AddHandler<kStarted, abi::PassObjectArg, KaltoITypedEventHandlerNativeRecorderObject>,
    .remove_Started = &RemoveHandler<kStarted>,
    .add_Stopped = &AddHandler<kStopped, abi::PassStringArg, KaltoITypedEventHandlerNativeRecorderString>,
    .remove_Stopped = &RemoveHandler<kStopped>,
    .add_ErrorOccurred = &AddHandler<kErrorOccurred, abi::PassStringArg, KaltoITypedEventHandlerNativeRecorderString>,
    .remove_ErrorOccurred = &RemoveHandler<kErrorOccurred>,
    .add_ProgressChanged =
        &AddHandler<kProgressChanged, PassProgressArg, KaltoITypedEventHandlerNativeRecorderRecordingProgress>,
    .remove_ProgressChanged = &RemoveHandler<kProgressChanged>,
    .add_CursorFocusChanged =
        &AddHandler<kCursorFocusChanged, abi::PassBooleanArg, KaltoITypedEventHandlerNativeRecorderBoolean>,
    .remove_CursorFocusChanged = &RemoveHandler<kCursorFocusChanged>,
    .add_PreviewFrameArrived =
        &AddHandler<kPreviewFrameArrived, PassBitmapArg, KaltoITypedEventHandlerNativeRecorderSoftwareBitmap>,
    .remove_PreviewFrameArrived = &RemoveHandler<kPreviewFrameArrived>,
    .add_ReservedEvent = &AddHandler<kReservedEvent, abi::PassObjectArg, KaltoITypedEventHandlerNativeRecorderObject>,
    .remove_ReservedEvent = &RemoveHandler<kReservedEvent>,
};

}  // namespace

HRESULT WrapNativeRecorder(std::shared_ptr<NativeRecorder> engine, KaltoINativeRecorder** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!engine) return E_INVALIDARG;
  return Guard([&] { *result = abi::MakeComObject(&NativeRecorderObject::m_head, std::move(engine)).Detach(); });
}

HRESULT MakeNativeRecorderObject(std::shared_ptr<platform::Platform> platform, KaltoINativeRecorder** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  return Guard([&] {
    return WrapNativeRecorder(std::make_shared<NativeRecorder>(platform ? std::move(platform) : RecorderPlatform()),
                              result);
  });
}

HRESULT AddWarningHandler(KaltoINativeRecorder* recorder, KaltoITypedEventHandlerNativeRecorderString* handler,
                          KaltoEventRegistrationToken* token) {
  return AddHandler<kWarning, abi::PassStringArg>(recorder, handler, token);
}
HRESULT RemoveWarningHandler(KaltoINativeRecorder* recorder, KaltoEventRegistrationToken token) {
  return RemoveHandler<kWarning>(recorder, token);
}

NativeRecorder* EngineOf(KaltoINativeRecorder* recorder) noexcept {
  if (!recorder || recorder->lpVtbl != &NativeRecorderObject::kVtbl) return nullptr;
  return Object(recorder).m_engine.get();
}

}  // namespace kalto::surface
