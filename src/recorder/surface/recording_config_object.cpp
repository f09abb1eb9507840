// IRecordingConfig: 112 slots, each forwarding to the engine's RecordingConfig. The table is
// generated from the engine's property list; designated initialisers make the compiler hold its
// order against the header's.
#include <string>
#include <utility>

#include "platform/abi/abi_string.h"
#include "platform/abi/com_object.h"
#include "recorder/surface/records.h"
#include "recorder/surface/surface.h"

namespace kalto::surface {
namespace {

using abi::Guard;
using abi::Head;
using Interface = KaltoIRecordingConfig;

// How a property type crosses the boundary.
template <typename T>
struct Abi {
  using Type = T;
  static T In(T value) { return value; }
  static HRESULT Out(const T& value, T* out) {
    *out = value;
    return S_OK;
  }
};
template <>
struct Abi<std::wstring> {
  using Type = KaltoHString;
  static std::wstring In(KaltoHString value) { return abi::WideFromAbi(value); }
  static HRESULT Out(const std::wstring& value, KaltoHString* out) { return abi::ReturnString(value, out); }
};
template <typename T, typename C>
struct RecordAbi {
  using Type = C;
  static T In(const C& value) { return surface::FromAbi(value); }
  static HRESULT Out(const T& value, C* out) {
    *out = surface::ToAbi(value);
    return S_OK;
  }
};
template <>
struct Abi<bool> : RecordAbi<bool, KaltoBoolean> {};
template <>
struct Abi<RegionRect> : RecordAbi<RegionRect, KaltoRegionRect> {};
template <>
struct Abi<FocusZoomSettings> : RecordAbi<FocusZoomSettings, KaltoFocusZoomSettings> {};
template <>
struct Abi<BackgroundEffectConfig> : RecordAbi<BackgroundEffectConfig, KaltoBackgroundEffectConfig> {};

class RecordingConfigObject final : public abi::ComObject {
 public:
  explicit RecordingConfigObject(std::shared_ptr<RecordingConfig> config) noexcept
      : ComObject(kRecordingConfigClass), m_config(std::move(config)) {
    Expose(KALTO_IID_IRecordingConfig, &m_head.iface);
  }

  static const KaltoIRecordingConfigVtbl kVtbl;
  Head<Interface> m_head{&kVtbl, this};
  const std::shared_ptr<RecordingConfig> m_config;
};

template <typename T, T (RecordingConfig::*Getter)() const>
HRESULT GetSlot(Interface* self, typename Abi<T>::Type* value) {
  if (!value) return E_POINTER;
  return Guard([&] { return Abi<T>::Out((*abi::Self<RecordingConfigObject>(self).m_config.*Getter)(), value); });
}

template <typename T, void (RecordingConfig::*Setter)(T)>
HRESULT PutSlot(Interface* self, typename Abi<T>::Type value) {
  return Guard([&] { (*abi::Self<RecordingConfigObject>(self).m_config.*Setter)(Abi<T>::In(value)); });
}

#define KALTO_CONFIG_SLOTS(name, type, initial)                                                  \
  .get_##name = &GetSlot<type, static_cast<type (RecordingConfig::*)() const>(&RecordingConfig::name)>, \
  .put_##name = &PutSlot<type, static_cast<void (RecordingConfig::*)(type)>(&RecordingConfig::name)>,

const KaltoIRecordingConfigVtbl RecordingConfigObject::kVtbl{
    KALTO_ABI_IINSPECTABLE_SLOTS(Interface),
    KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_CONFIG_SLOTS)
};

#undef KALTO_CONFIG_SLOTS

}  // namespace

HRESULT MakeRecordingConfigObject(std::shared_ptr<RecordingConfig> config, KaltoIRecordingConfig** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!config) return E_INVALIDARG;
  return Guard([&] { *result = abi::MakeComObject(&RecordingConfigObject::m_head, std::move(config)).Detach(); });
}

std::shared_ptr<RecordingConfig> ConfigOf(KaltoIRecordingConfig* config) noexcept {
  if (!config || config->lpVtbl != &RecordingConfigObject::kVtbl) return nullptr;
  return abi::Self<RecordingConfigObject>(config).m_config;
}

}  // namespace kalto::surface
