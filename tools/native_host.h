#pragma once
// The hosts' side of the component surface: libkalto_native.so loaded at run time, owned
// references and strings, event and completion handlers written as C++ functions, and a wait for
// an asynchronous operation. Nothing here knows the engine: only the public C header.
#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include "kalto/native.h"
#include "recorder/background_effect_config.h"

namespace kalto::host {

// An owning reference to one of the header's interfaces.
template <typename I>
class Ref {
 public:
  Ref() = default;
  Ref(const Ref& other) noexcept : m_ptr(other.m_ptr) {
    if (m_ptr) m_ptr->lpVtbl->AddRef(m_ptr);
  }
  Ref(Ref&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(m_ptr, other.m_ptr);
    return *this;
  }
  ~Ref() { Reset(); }
  static Ref Attach(I* pointer) noexcept {
    Ref r;
    r.m_ptr = pointer;
    return r;
  }
  I* Get() const noexcept { return m_ptr; }
  const auto& V() const noexcept { return *m_ptr->lpVtbl; }
  explicit operator bool() const noexcept { return m_ptr != nullptr; }
  I** Put() noexcept {
    Reset();
    return &m_ptr;
  }
  void Reset() noexcept {
    if (I* p = std::exchange(m_ptr, nullptr)) p->lpVtbl->Release(p);
  }
  template <typename Other>
  Ref<Other> As(const KaltoGuid& iid) const noexcept {
    void* out = nullptr;
    if (!m_ptr || KALTO_FAILED(m_ptr->lpVtbl->QueryInterface(m_ptr, &iid, &out))) return {};
    return Ref<Other>::Attach(static_cast<Other*>(out));
  }

 private:
  I* m_ptr = nullptr;
};

inline constexpr KaltoGuid kIidINativeRecorder = KALTO_IID_INativeRecorder_VALUE;
inline constexpr KaltoGuid kIidINativeRecorderHost = KALTO_IID_INativeRecorderHost_VALUE;
inline constexpr KaltoGuid kIidIRecordingConfig = KALTO_IID_IRecordingConfig_VALUE;

// The library and its exported functions. The objects it hands out must be released before it.
class NativeLibrary {
 public:
  // Loads libkalto_native.so from beside the executable, else from where the build made it.
  NativeLibrary();
  ~NativeLibrary();
  NativeLibrary(const NativeLibrary&) = delete;
  NativeLibrary& operator=(const NativeLibrary&) = delete;

  // Empty when loaded, else why not.
  const std::string& Error() const { return m_error; }
  // A new instance of `className`, queried for `iid`; null on failure.
  template <typename I>
  Ref<I> Activate(const char* className, const KaltoGuid& iid) const {
    void* out = nullptr;
    return KALTO_SUCCEEDED(ActivateRaw(className, iid, &out)) ? Ref<I>::Attach(static_cast<I*>(out)) : Ref<I>();
  }
  // A string for one call (owned here), from UTF-8 text or from file-name bytes (any byte kept).
  class String {
   public:
    String(const NativeLibrary& library, const std::u16string& units);
    ~String();
    String(const String&) = delete;
    String& operator=(const String&) = delete;
    KaltoHString Get() const { return m_string; }

   private:
    const NativeLibrary& m_library;
    KaltoHString m_string = nullptr;
  };
  String FromUtf8(const std::string& text) const;
  String FromPath(const std::string& bytes) const;
  // A string handed out (or borrowed) as UTF-8; `owned` ones are deleted.
  std::string ToUtf8(KaltoHString string, bool owned) const;

 private:
  KaltoHResult ActivateRaw(const char* className, const KaltoGuid& iid, void** out) const;

  void* m_handle = nullptr;
  std::string m_error;
  decltype(&DllGetActivationFactory) m_getFactory = nullptr;
  decltype(&DllCanUnloadNow) m_canUnload = nullptr;
  decltype(&KaltoCreateString) m_create = nullptr;
  decltype(&KaltoDeleteString) m_delete = nullptr;
  decltype(&KaltoGetStringRawBuffer) m_buffer = nullptr;
};

// A handler object (an event's or a completion's) over a C++ function; its invocations may come
// from any thread.
template <typename I, typename... Args>
class Handler {
 public:
  static Ref<I> Make(const KaltoGuid& iid, std::function<void(Args...)> body) {
    auto* h = new Handler(iid, std::move(body));  // owned by its reference count
    return Ref<I>::Attach(&h->m_iface);
  }

 private:
  Handler(const KaltoGuid& iid, std::function<void(Args...)> body) : m_iid(iid), m_body(std::move(body)) {}
  static Handler& Of(I* self) { return *reinterpret_cast<Handler*>(self); }
  static bool Same(const KaltoGuid& a, const KaltoGuid& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
  }
  static KaltoHResult QueryInterface(I* self, const KaltoGuid* iid, void** out) {
    static constexpr KaltoGuid kUnknown = KALTO_IID_IUnknown_VALUE;
    if (!out) return KALTO_E_POINTER;
    *out = nullptr;
    if (!Same(*iid, kUnknown) && !Same(*iid, Of(self).m_iid)) return KALTO_E_NOINTERFACE;
    AddRef(self);
    *out = self;
    return KALTO_S_OK;
  }
  static uint32_t AddRef(I* self) { return ++Of(self).m_refs; }
  static uint32_t Release(I* self) {
    const uint32_t left = --Of(self).m_refs;
    if (left == 0) delete &Of(self);
    return left;
  }
  static KaltoHResult Invoke(I* self, Args... args) {
    try {
      Of(self).m_body(args...);
      return KALTO_S_OK;
    } catch (...) {
      return KALTO_E_FAIL;
    }
  }
  static constexpr typename std::remove_cvref_t<decltype(*std::declval<I&>().lpVtbl)> kVtbl{&QueryInterface, &AddRef,
                                                                                             &Release, &Invoke};

  I m_iface{&kVtbl};  // first: the interface pointer is the object's address
  const KaltoGuid m_iid;
  std::function<void(Args...)> m_body;
  std::atomic<uint32_t> m_refs{1};
};

inline KaltoBackgroundEffectConfig ToC(const BackgroundEffectConfig& e) {
  return {e.Mode, e.BlurStrength, e.ColorPreset, e.GradientPreset, e.ImagePreset, e.PerformanceMode};
}

// The recorder and its host extension, one object.
struct Recorder {
  Ref<KaltoINativeRecorder> recorder;
  Ref<KaltoINativeRecorderHost> host;
  // Activates one; both null on failure.
  static Recorder Activate(const NativeLibrary& library);
};

// Waits for `operation` to finish; true when it completed with the result true.
bool WaitForResult(KaltoIAsyncOperationBoolean* operation);

}  // namespace kalto::host
