// The two entry points and the three activation factories. Factories are made on first use and
// cached until DllCanUnloadNow finds no live object; the cache itself does not count as one.
#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

#include "platform/abi/abi_string.h"
#include "platform/abi/com_object.h"
#include "platform/abi/module_count.h"
#include "recorder/native_recorder.h"
#include "recorder/surface/native_recorder_object.h"
#include "recorder/surface/records.h"
#include "recorder/surface/surface.h"

namespace kalto::surface {
namespace {

using abi::ComPtr;
using abi::Guard;
using abi::Head;

enum class Class { NativeRecorder, RecordingConfig, RecordingProgress };
constexpr std::array<std::u16string_view, 3> kClassNames{kNativeRecorderClass, kRecordingConfigClass,
                                                        kRecordingProgressClass};

// Length first, then the code units: no case folding, no prefix match.
bool IsName(const abi::HString& text, std::u16string_view name) noexcept {
  return text.Length() == name.size() && std::equal(name.begin(), name.end(), text.Data());
}

std::mutex s_platformMutex;
std::shared_ptr<platform::Platform> s_platform;  // null: the default platform

HRESULT ActivateClass(Class kind, KaltoIInspectable** instance) {
  void* result = nullptr;
  HRESULT hr = S_OK;
  switch (kind) {
    case Class::NativeRecorder: {
      ComPtr<KaltoINativeRecorder> recorder;
      hr = MakeNativeRecorderObject(RecorderPlatform(), recorder.Put());
      if (Succeeded(hr)) hr = recorder->lpVtbl->QueryInterface(recorder.Get(), &KALTO_IID_IInspectable, &result);
      break;
    }
    case Class::RecordingConfig: {
      ComPtr<KaltoIRecordingConfig> config;
      hr = MakeRecordingConfigObject(std::make_shared<RecordingConfig>(), config.Put());
      if (Succeeded(hr)) hr = config->lpVtbl->QueryInterface(config.Get(), &KALTO_IID_IInspectable, &result);
      break;
    }
    case Class::RecordingProgress: {
      ComPtr<KaltoIRecordingProgress> progress;
      hr = MakeRecordingProgressObject(RecordingProgress(), progress.Put());
      if (Succeeded(hr)) hr = progress->lpVtbl->QueryInterface(progress.Get(), &KALTO_IID_IInspectable, &result);
      break;
    }
  }
  *instance = static_cast<KaltoIInspectable*>(result);
  return hr;
}

class ActivationFactory final : public abi::ComObject {
 public:
  explicit ActivationFactory(Class kind) noexcept
      : ComObject(kClassNames[static_cast<std::size_t>(kind)], Counting::WhileHeldBeyondCache), m_class(kind) {
    Expose(KALTO_IID_IActivationFactory, &m_factory.iface);
    if (kind == Class::NativeRecorder) Expose(KALTO_IID_INativeRecorderStatics, &m_statics.iface);
  }

  Head<KaltoIActivationFactory> m_factory{&kFactoryVtbl, this};
  Head<KaltoINativeRecorderStatics> m_statics{&kStaticsVtbl, this};

 private:
  static HRESULT ActivateInstance(KaltoIActivationFactory* self, KaltoIInspectable** instance) {
    if (!instance) return E_POINTER;
    *instance = nullptr;
    return Guard([&] { return ActivateClass(abi::Self<ActivationFactory>(self).m_class, instance); });
  }

  static HRESULT PreWarmEncoder(KaltoINativeRecorderStatics*) { return Guard([] { NativeRecorder::PreWarmEncoder(); }); }
  static HRESULT InitializeMediaFoundation(KaltoINativeRecorderStatics*) {
    return Guard([] { NativeRecorder::InitializeMediaFoundation(); });
  }
  static HRESULT PreWarmMLModel(KaltoINativeRecorderStatics*) {
    return Guard([] { NativeRecorder::PreWarmMLModel(RecorderPlatform()->inference); });
  }
  static HRESULT IsHardwareEncoderAvailable(KaltoINativeRecorderStatics*, KaltoBoolean* available) {
    if (!available) return E_POINTER;
    return Guard([&] { *available = ToAbi(NativeRecorder::IsHardwareEncoderAvailable()); });
  }

  static constexpr KaltoIActivationFactoryVtbl kFactoryVtbl{
      KALTO_ABI_IINSPECTABLE_SLOTS(KaltoIActivationFactory),
      .ActivateInstance = &ActivateInstance,
  };
  static constexpr KaltoINativeRecorderStaticsVtbl kStaticsVtbl{
      KALTO_ABI_IINSPECTABLE_SLOTS(KaltoINativeRecorderStatics),
      .PreWarmEncoder = &PreWarmEncoder,
      .InitializeMediaFoundation = &InitializeMediaFoundation,
      .PreWarmMLModel = &PreWarmMLModel,
      .IsHardwareEncoderAvailable = &IsHardwareEncoderAvailable,
  };

  const Class m_class;
};

// The cache, guarded so that releasing it cannot race an activation.
std::mutex s_factoryMutex;
std::array<ComPtr<KaltoIActivationFactory>, 3> s_factories;

}  // namespace

void SetRecorderPlatformForTesting(std::shared_ptr<platform::Platform> platform) {
  std::lock_guard lock(s_platformMutex);
  s_platform = std::move(platform);
}

std::shared_ptr<platform::Platform> RecorderPlatform() {
  {
    std::lock_guard lock(s_platformMutex);
    if (s_platform) return s_platform;
  }
  return platform::DefaultPlatform();
}

}  // namespace kalto::surface

using namespace kalto;
using namespace kalto::surface;

extern "C" {

KaltoHResult DllGetActivationFactory(KaltoHString activatableClassId, KaltoIActivationFactory** factory) {
  if (!factory) return E_POINTER;
  *factory = nullptr;
  const abi::HString& name = abi::FromAbi(activatableClassId);
  const auto* match = std::find_if(kClassNames.begin(), kClassNames.end(),
                                   [&](std::u16string_view candidate) { return IsName(name, candidate); });
  if (match == kClassNames.end()) return abi::CLASS_E_CLASSNOTAVAILABLE;
  auto index = static_cast<std::size_t>(match - kClassNames.begin());
  return abi::Guard([&] {
    std::lock_guard lock(s_factoryMutex);
    ComPtr<KaltoIActivationFactory>& cached = s_factories[index];
    if (!cached) cached = abi::MakeComObject(&ActivationFactory::m_factory, static_cast<Class>(index));
    *factory = ComPtr<KaltoIActivationFactory>::Borrow(cached.Get()).Detach();
  });
}

KaltoHResult DllCanUnloadNow(void) {
  std::array<ComPtr<KaltoIActivationFactory>, 3> released;
  {
    std::lock_guard lock(s_factoryMutex);
    if (abi::ModuleObjectCount() > 0) return S_FALSE;
    released = std::move(s_factories);
  }
  return S_OK;
}

}  // extern "C"
