#pragma once
#include "common/result.h"

namespace kalto::abi {

// Results of the component model that the common set does not carry yet.
inline constexpr HRESULT E_ILLEGAL_STATE_CHANGE = MakeHr(0x8000000Du);
inline constexpr HRESULT E_ILLEGAL_DELEGATE_ASSIGNMENT = MakeHr(0x80000018u);
inline constexpr HRESULT HRESULT_ERROR_CANCELLED = MakeHr(0x800704C7u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHr(0x80040111u);

// The three results with which a delegate reports that its client has gone away.
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHr(0x80010108u);
inline constexpr HRESULT RPC_S_SERVER_UNAVAILABLE_HR = MakeHr(0x800706BAu);
inline constexpr HRESULT JSCRIPT_E_CANTEXECUTE = MakeHr(0x89020001u);

constexpr bool IsClientGone(HRESULT hr) {
  return hr == RPC_E_DISCONNECTED || hr == RPC_S_SERVER_UNAVAILABLE_HR || hr == JSCRIPT_E_CANTEXECUTE;
}

}  // namespace kalto::abi
