// The formatting core behind wsprintfW and NKDbgPrintfW.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "ce/types.h"

namespace host {

/// wsprintfW's bound: characters of output including the terminator.
constexpr std::size_t kWsprintfCapacity = 1024;

/// Formats `format` with `args` as wsprintfW does into `buffer` of `capacity` characters
/// (terminator included); output past capacity - 1 characters is dropped. The buffer is
/// terminated unless capacity is 0. Returns the characters stored, without the terminator.
int VFormatWide(WCHAR* buffer, std::size_t capacity, LPCWSTR format, va_list args);

}  // namespace host
