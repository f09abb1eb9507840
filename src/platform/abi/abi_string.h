#pragma once
// The header's KaltoHString over abi::HString, and the conversions the surface needs.
#include <memory>
#include <string>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/abi/hstring.h"

// What a non-null KaltoHString points at. The null handle is the empty string.
struct KaltoHStringOpaque {
  kalto::abi::HString value;
};

namespace kalto::abi {

// A borrowed handle's text; the null handle gives the empty string.
const HString& FromAbi(KaltoHString string) noexcept;
std::wstring WideFromAbi(KaltoHString string);

// An owned handle: null for the empty string.
struct HStringDeleter {
  void operator()(KaltoHStringOpaque* string) const noexcept;
};
using UniqueHString = std::unique_ptr<KaltoHStringOpaque, HStringDeleter>;
UniqueHString MakeAbiString(HString text);
UniqueHString MakeAbiString(const std::wstring& text);

// A string for the caller, who deletes it: the out-pointer of a getter.
HRESULT ReturnString(const std::wstring& text, KaltoHString* out) noexcept;
HRESULT ReturnString(std::u16string_view text, KaltoHString* out) noexcept;

}  // namespace kalto::abi
