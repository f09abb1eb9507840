#include "platform/abi/abi_string.h"

#include <new>

#include "platform/abi/com_object.h"

namespace kalto::abi {
namespace {

const HString kEmpty;

}  // namespace

const HString& FromAbi(KaltoHString string) noexcept { return string ? string->value : kEmpty; }

std::wstring WideFromAbi(KaltoHString string) { return FromAbi(string).ToWide(); }

void HStringDeleter::operator()(KaltoHStringOpaque* string) const noexcept { delete string; }

UniqueHString MakeAbiString(HString text) {
  if (text.Empty()) return nullptr;
  return UniqueHString(new KaltoHStringOpaque{std::move(text)});
}

UniqueHString MakeAbiString(const std::wstring& text) { return MakeAbiString(HString::FromWide(text)); }

HRESULT ReturnString(const std::wstring& text, KaltoHString* out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guard([&] { *out = MakeAbiString(text).release(); });
}

HRESULT ReturnString(std::u16string_view text, KaltoHString* out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guard([&] { *out = MakeAbiString(HString(std::u16string(text))).release(); });
}

}  // namespace kalto::abi

using kalto::abi::Guard;
using kalto::abi::HString;

extern "C" {

KaltoHResult KaltoCreateString(const KaltoChar16* sourceString, uint32_t length, KaltoHString* string) {
  if (!string) return kalto::E_POINTER;
  *string = nullptr;
  if (length == 0) return kalto::S_OK;
  if (!sourceString) return kalto::E_POINTER;
  return Guard([&] {
    std::u16string text(sourceString, sourceString + length);
    *string = kalto::abi::MakeAbiString(HString(std::move(text))).release();
  });
}

KaltoHResult KaltoDeleteString(KaltoHString string) {
  kalto::abi::UniqueHString owned(string);
  return kalto::S_OK;
}

KaltoHResult KaltoDuplicateString(KaltoHString string, KaltoHString* newString) {
  if (!newString) return kalto::E_POINTER;
  *newString = nullptr;
  return Guard([&] { *newString = kalto::abi::MakeAbiString(kalto::abi::FromAbi(string)).release(); });
}

const KaltoChar16* KaltoGetStringRawBuffer(KaltoHString string, uint32_t* length) {
  const HString& text = kalto::abi::FromAbi(string);
  if (length) *length = text.Length();
  // char16_t is uint_least16_t, which is the header's code unit.
  return reinterpret_cast<const KaltoChar16*>(text.Data());
}

}  // extern "C"
