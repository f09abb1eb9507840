#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kalto {

// Result codes keep the platform's HRESULT values so log lines print the real codes.
using HRESULT = int32_t;

constexpr HRESULT MakeHr(uint32_t code) { return static_cast<HRESULT>(code); }
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }
constexpr uint32_t HrBits(HRESULT hr) { return static_cast<uint32_t>(hr); }
constexpr HRESULT HrFromWin32(uint32_t error) {
  return error == 0 ? 0 : MakeHr((error & 0xFFFFu) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHr(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHr(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHr(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = MakeHr(0x80070005u);
inline constexpr HRESULT E_HANDLE = MakeHr(0x80070006u);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057u);
inline constexpr HRESULT E_ILLEGAL_METHOD_CALL = MakeHr(0x8000000Eu);
inline constexpr HRESULT RO_E_CLOSED = MakeHr(0x80000013u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154u);
inline constexpr HRESULT HRESULT_ERROR_TIMEOUT = MakeHr(0x800705B4u);
inline constexpr HRESULT WAIT_TIMEOUT_RESULT = 0x102;
inline constexpr HRESULT WAIT_ABANDONED_RESULT = 0x80;
inline constexpr HRESULT DXGI_ERROR_UNSUPPORTED = MakeHr(0x887A0004u);
inline constexpr HRESULT DXGI_ERROR_INVALID_CALL = MakeHr(0x887A0001u);
inline constexpr HRESULT DXGI_ERROR_DEVICE_REMOVED = MakeHr(0x887A0005u);
inline constexpr HRESULT DXGI_ERROR_WAS_STILL_DRAWING = MakeHr(0x887A000Au);
// Core Audio.
inline constexpr HRESULT E_NOTFOUND = MakeHr(0x80070490u);  // ERROR_NOT_FOUND
inline constexpr HRESULT HRESULT_ERROR_NOT_SUPPORTED = MakeHr(0x80070032u);
inline constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = MakeHr(0x88890001u);
inline constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = MakeHr(0x88890002u);
inline constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = MakeHr(0x88890003u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = MakeHr(0x88890004u);
inline constexpr HRESULT AUDCLNT_E_NOT_STOPPED = MakeHr(0x88890005u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = MakeHr(0x88890006u);
inline constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = MakeHr(0x88890007u);
inline constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = MakeHr(0x88890008u);
inline constexpr HRESULT AUDCLNT_E_INVALID_SIZE = MakeHr(0x88890009u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = MakeHr(0x8889000Au);
inline constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED = MakeHr(0x8889000Eu);
inline constexpr HRESULT AUDCLNT_E_ENDPOINT_CREATE_FAILED = MakeHr(0x8889000Fu);
inline constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = MakeHr(0x88890010u);
inline constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED = MakeHr(0x88890011u);
inline constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = MakeHr(0x88890014u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = MakeHr(0x88890018u);
inline constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = MakeHr(0x08890001u);

// The error a platform call throws, carrying its code and the platform's message text.
class PlatformError : public std::runtime_error {
 public:
  PlatformError(HRESULT code, std::string message)
      : std::runtime_error(message), m_code(code), m_message(std::move(message)) {}
  HRESULT code() const noexcept { return m_code; }
  const std::string& message() const noexcept { return m_message; }

 private:
  HRESULT m_code;
  std::string m_message;
};

}  // namespace kalto
