// The platform's wide-text functions (WCHAR strings) and the bounded copies of strsafe.
#pragma once

#include "ce/types.h"

typedef LONG HRESULT;
constexpr HRESULT S_OK = 0;
constexpr HRESULT STRSAFE_E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);

inline std::size_t wcslen(const WCHAR* s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

inline WCHAR* wcscpy(WCHAR* destination, const WCHAR* source) {
  WCHAR* out = destination;
  while ((*out++ = *source++) != 0) {
  }
  return destination;
}

inline WCHAR* wcsrchr(WCHAR* s, WCHAR c) {
  WCHAR* last = nullptr;
  for (; *s; ++s) {
    if (*s == c) last = s;
  }
  return c == 0 ? s : last;
}

/// Copies at most `chars` - 1 characters and always terminates; truncation is reported.
inline HRESULT StringCchCopyW(WCHAR* destination, std::size_t chars, const WCHAR* source) {
  if (chars == 0) return STRSAFE_E_INSUFFICIENT_BUFFER;
  std::size_t i = 0;
  for (; i + 1 < chars && source[i]; ++i) destination[i] = source[i];
  destination[i] = 0;
  return source[i] ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

/// Appends within a buffer of `chars` characters, truncating cleanly.
inline HRESULT StringCchCatW(WCHAR* destination, std::size_t chars, const WCHAR* source) {
  std::size_t used = 0;
  while (used < chars && destination[used]) ++used;
  if (used == chars) return STRSAFE_E_INSUFFICIENT_BUFFER;
  return StringCchCopyW(destination + used, chars - used, source);
}
