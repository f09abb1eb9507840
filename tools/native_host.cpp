#include "native_host.h"

#include <dlfcn.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "common/debug_output.h"
#include "common/native_path.h"

namespace kalto::host {
namespace {

constexpr const char* kLibraryName = "libkalto_native.so";

std::u16string Utf16FromWide(const std::wstring& text) {
  std::u16string out;
  for (wchar_t w : text) {
    const auto c = static_cast<char32_t>(w);
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);  // a lone surrogate (a file name's stray byte) stays one unit
    } else {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::wstring WideFromUtf16(const KaltoChar16* units, uint32_t length) {
  std::wstring out;
  for (uint32_t i = 0; i < length; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(units[++i]) - 0xDC00);
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}

std::filesystem::path ExecutableFolder() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
}

}  // namespace

NativeLibrary::NativeLibrary() {
  const std::filesystem::path beside = ExecutableFolder() / kLibraryName;
  std::error_code ec;
  const std::string path = std::filesystem::exists(beside, ec) ? beside.string() : KALTO_NATIVE_BUILD_PATH;
  m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_handle) {
    const char* why = dlerror();
    m_error = why ? why : "cannot load " + path;
    return;
  }
  const auto bind = [&](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(m_handle, name));
    if (!function && m_error.empty()) m_error = path + " has no " + name;
  };
  bind(m_getFactory, "DllGetActivationFactory");
  bind(m_canUnload, "DllCanUnloadNow");
  bind(m_create, "KaltoCreateString");
  bind(m_delete, "KaltoDeleteString");
  bind(m_buffer, "KaltoGetStringRawBuffer");
}

NativeLibrary::~NativeLibrary() {
  // A library with live objects (a thread still finishing) stays loaded until the process ends.
  if (m_handle && m_canUnload && m_canUnload() == KALTO_S_OK) dlclose(m_handle);
}

KaltoHResult NativeLibrary::ActivateRaw(const char* className, const KaltoGuid& iid, void** out) const {
  if (!m_error.empty()) return KALTO_E_FAIL;
  const String name = FromUtf8(className);
  Ref<KaltoIActivationFactory> factory;
  KaltoHResult hr = m_getFactory(name.Get(), factory.Put());
  if (KALTO_FAILED(hr)) return hr;
  Ref<KaltoIInspectable> instance;
  hr = factory.V().ActivateInstance(factory.Get(), instance.Put());
  if (KALTO_FAILED(hr)) return hr;
  return instance.V().QueryInterface(instance.Get(), &iid, out);
}

NativeLibrary::String::String(const NativeLibrary& library, const std::u16string& units) : m_library(library) {
  static_assert(sizeof(char16_t) == sizeof(KaltoChar16));
  if (!units.empty() &&
      KALTO_FAILED(library.m_create(reinterpret_cast<const KaltoChar16*>(units.data()), uint32_t(units.size()), &m_string))) {
    throw std::bad_alloc();
  }
}

NativeLibrary::String::~String() { m_library.m_delete(m_string); }

NativeLibrary::String NativeLibrary::FromUtf8(const std::string& text) const {
  return String(*this, Utf16FromWide(Utf8ToWide(text)));
}

NativeLibrary::String NativeLibrary::FromPath(const std::string& bytes) const {
  return String(*this, Utf16FromWide(WideFromNativePath(bytes)));
}

std::string NativeLibrary::ToUtf8(KaltoHString string, bool owned) const {
  uint32_t length = 0;
  const KaltoChar16* units = m_buffer(string, &length);
  std::string text = WideToUtf8(WideFromUtf16(units, length));
  if (owned) m_delete(string);
  return text;
}

Recorder Recorder::Activate(const NativeLibrary& library) {
  Recorder r;
  r.recorder = library.Activate<KaltoINativeRecorder>(KALTO_CLASS_NATIVE_RECORDER, kIidINativeRecorder);
  r.host = r.recorder.As<KaltoINativeRecorderHost>(kIidINativeRecorderHost);
  if (!r.host) r.recorder.Reset();
  return r;
}

bool WaitForResult(KaltoIAsyncOperationBoolean* operation) {
  struct Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    KaltoAsyncStatus status = KALTO_ASYNC_STATUS_STARTED;
  };
  auto done = std::make_shared<Done>();
  constexpr KaltoGuid kIid = KALTO_IID_IAsyncOperationCompletedHandlerBoolean_VALUE;
  auto handler = Handler<KaltoIAsyncOperationCompletedHandlerBoolean, KaltoIAsyncOperationBoolean*, KaltoAsyncStatus>::Make(
      kIid, [done](KaltoIAsyncOperationBoolean*, KaltoAsyncStatus status) {
        {
          std::lock_guard lock(done->mutex);
          done->finished = true;
          done->status = status;
        }
        done->changed.notify_all();
      });
  if (KALTO_FAILED(operation->lpVtbl->put_Completed(operation, handler.Get()))) return false;
  {
    std::unique_lock lock(done->mutex);
    done->changed.wait(lock, [&] { return done->finished; });
    if (done->status != KALTO_ASYNC_STATUS_COMPLETED) return false;
  }
  KaltoBoolean result = 0;
  return KALTO_SUCCEEDED(operation->lpVtbl->GetResults(operation, &result)) && result != 0;
}

}  // namespace kalto::host
