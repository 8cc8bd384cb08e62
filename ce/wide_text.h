// The platform's wide-text functions (WCHAR strings) and the bounded copies of strsafe.
#pragma once

#include "ce/types.h"

typedef LONG HRESULT;
const HRESULT S_OK = 0;
const HRESULT STRSAFE_E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);

inline size_t wcslen(const WCHAR* s) {
  size_t n = 0;
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
  WCHAR* last = NULL;
  for (; *s; ++s) {
    if (*s == c) last = s;
  }
  return c == 0 ? s : last;
}

/// Copies at most `chars` - 1 characters and always terminates; truncation is reported.
inline HRESULT StringCchCopyW(WCHAR* destination, size_t chars, const WCHAR* source) {
  if (chars == 0) return STRSAFE_E_INSUFFICIENT_BUFFER;
  size_t i = 0;
  for (; i + 1 < chars && source[i]; ++i) destination[i] = source[i];
  destination[i] = 0;
  return source[i] ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

/// Appends within a buffer of `chars` characters, truncating cleanly.
inline HRESULT StringCchCatW(WCHAR* destination, size_t chars, const WCHAR* source) {
  size_t used = 0;
  while (used < chars && destination[used]) ++used;
  if (used == chars) return STRSAFE_E_INSUFFICIENT_BUFFER;
  return StringCchCopyW(destination + used, chars - used, source);
}
