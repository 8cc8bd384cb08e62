// Conversions between the program's wide text (UTF-16) and the host's UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace host {

std::string Utf8(std::u16string_view text);
/// The code point that starts at text[*i], moving *i past it; a lone surrogate is U+FFFD.
char32_t NextCodePoint(std::u16string_view text, std::size_t* i);
/// Invalid UTF-8 bytes become U+FFFD.
std::u16string Utf16(std::string_view text);

}  // namespace host
