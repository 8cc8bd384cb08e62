// wsprintfW and NKDbgPrintfW. CE's wsprintfW is a small printf over wide text: %d %i %u %x %X
// %c %s %%, the flags '-' and '0', width and precision, and an 'l' that changes nothing (long
// is 32 bits on the device). It has no floating point and no '*'. The debug channel of the
// host is standard error.

#include "host/ui/wide_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "ce/ui.h"
#include "host/system/text.h"

namespace host {
namespace {

// Stores what fits in the buffer, keeping one character for the terminator.
class Output {
 public:
  Output(WCHAR* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  void Put(WCHAR c) {
    if (length_ + 1 < capacity_) buffer_[length_++] = c;
  }
  void Put(const WCHAR* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Put(text[i]);
  }
  void Repeat(WCHAR c, int count) {
    for (; count > 0 && length_ + 1 < capacity_; --count) Put(c);
  }
  int Finish() {
    if (capacity_ > 0) buffer_[length_] = 0;
    return static_cast<int>(length_);
  }

 private:
  WCHAR* buffer_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

struct Conversion {
  bool left_align = false;
  bool zero_fill = false;
  int width = 0;
  int precision = -1;  // -1: none given
};

// Widths and precisions beyond this cannot change the output of a bounded buffer; the clamp
// keeps a long digit string from overflowing.
constexpr int kCountLimit = 1 << 20;

int ReadCount(const WCHAR*& p) {
  int count = 0;
  for (; *p >= u'0' && *p <= u'9'; ++p) count = std::min(count * 10 + (*p - u'0'), kCountLimit);
  return count;
}

// An integer in its field: precision is the least number of digits (zero-filled); the '0'
// flag fills the width with zeros after the sign unless a precision is given, as in C.
void PutNumber(Output& out, const Conversion& conversion, bool negative, std::uint32_t magnitude,
               unsigned base, bool upper_case) {
  WCHAR digits[10];  // 4294967295 has 10 decimal digits
  int count = 0;
  do {
    unsigned digit = magnitude % base;
    digits[count++] =
        static_cast<WCHAR>(digit < 10 ? u'0' + digit : (upper_case ? u'A' : u'a') + digit - 10);
    magnitude /= base;
  } while (magnitude != 0);

  int zeros = std::max(conversion.precision - count, 0);
  int pad = std::max(conversion.width - (negative ? 1 : 0) - zeros - count, 0);
  if (!conversion.left_align) {
    if (conversion.zero_fill && conversion.precision < 0) {
      zeros += pad;
    } else {
      out.Repeat(u' ', pad);
    }
    pad = 0;
  }
  if (negative) out.Put(u'-');
  out.Repeat(u'0', zeros);
  while (count > 0) out.Put(digits[--count]);
  out.Repeat(u' ', pad);
}

// Text in its field, padded with blanks.
void PutText(Output& out, const Conversion& conversion, const WCHAR* text, std::size_t length) {
  int pad = std::max(conversion.width - static_cast<int>(length), 0);
  if (!conversion.left_align) out.Repeat(u' ', pad);
  out.Put(text, length);
  if (conversion.left_align) out.Repeat(u' ', pad);
}

// Reads no further than the precision, so the text need not be terminated within it.
std::size_t TextLength(const WCHAR* text, int precision) {
  std::size_t limit = precision < 0 ? SIZE_MAX : static_cast<std::size_t>(precision);
  std::size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

}  // namespace

int VFormatWide(WCHAR* buffer, std::size_t capacity, LPCWSTR format, va_list args) {
  Output out(buffer, capacity);
  for (const WCHAR* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out.Put(*p);
      continue;
    }
    const WCHAR* start = p++;
    Conversion conversion;
    for (;; ++p) {
      if (*p == u'-') {
        conversion.left_align = true;
      } else if (*p == u'0') {
        conversion.zero_fill = true;
      } else {
        break;
      }
    }
    conversion.width = ReadCount(p);
    if (*p == u'.') {
      ++p;
      conversion.precision = ReadCount(p);
    }
    if (*p == u'l') ++p;

    switch (*p) {
      case u'd':
      case u'i': {
        int value = va_arg(args, int);
        auto bits = static_cast<std::uint32_t>(value);
        PutNumber(out, conversion, value < 0, value < 0 ? 0u - bits : bits, 10, false);
        break;
      }
      case u'u':
        PutNumber(out, conversion, false, va_arg(args, unsigned), 10, false);
        break;
      case u'x':
        PutNumber(out, conversion, false, va_arg(args, unsigned), 16, false);
        break;
      case u'X':
        PutNumber(out, conversion, false, va_arg(args, unsigned), 16, true);
        break;
      case u'c': {
        auto c = static_cast<WCHAR>(va_arg(args, int));
        PutText(out, conversion, &c, 1);
        break;
      }
      case u's': {
        const WCHAR* text = va_arg(args, const WCHAR*);
        if (text == nullptr) text = u"(null)";
        PutText(out, conversion, text, TextLength(text, conversion.precision));
        break;
      }
      case u'%':
        out.Put(u'%');
        break;
      case 0:
        // The format ends inside a conversion: what there is of it is text.
        out.Put(start, static_cast<std::size_t>(p - start));
        return out.Finish();
      default:
        out.Put(start, static_cast<std::size_t>(p - start) + 1);
        break;
    }
  }
  return out.Finish();
}

}  // namespace host

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  va_list args;
  va_start(args, format);
  int length = host::VFormatWide(buffer, host::kWsprintfCapacity, format, args);
  va_end(args);
  return length;
}

void NKDbgPrintfW(LPCWSTR format, ...) {
  WCHAR text[host::kWsprintfCapacity];
  va_list args;
  va_start(args, format);
  int length = host::VFormatWide(text, host::kWsprintfCapacity, format, args);
  va_end(args);

  std::string line = host::Utf8(std::u16string_view(text, static_cast<std::size_t>(length)));
  // Device code may end a debug line in "\n\r" or "\r", for a serial terminal; on the host a
  // carriage return left at the end would only put the cursor back at the start of the line.
  while (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line.back() != '\n') line += '\n';
  // One write per line, so that lines from several threads do not interleave.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}
