// The daemon's own text formatting: the few printf conversions its messages
// use. The C library's printf family, with its floating point, wide
// characters and error texts, would be the largest part of the router
// program; these conversions need a page of code.
#include <stdarg.h>
#include <string.h>

#include "watchdog/netvigil.h"

namespace nv {

namespace {

// Keeps what fits in `size` - 1 bytes and counts everything, as vsnprintf
// does.
struct text_sink {
  char* text;
  size_t size;
  size_t length;  // bytes of the whole text so far

  void put(char c) {
    if (length + 1 < size) text[length] = c;
    ++length;
  }
  void put(const char* data, size_t count) {
    while (count-- > 0) put(*data++);
  }
};

// Divides `value` by 10 in place and returns the remainder, 16 bits at a
// time: with 32-bit divisions only, a 32-bit CPU links no 64-bit division
// routine for it.
unsigned divide_by_ten(uint64_t& value) {
  uint64_t quotient = 0;
  uint32_t remainder = 0;
  for (int shift = 48; shift >= 0; shift -= 16) {
    const uint32_t part = (remainder << 16) | static_cast<uint32_t>((value >> shift) & 0xFFFF);
    quotient |= static_cast<uint64_t>(part / 10) << shift;
    remainder = part % 10;
  }
  value = quotient;
  return remainder;
}

}  // namespace

int vformat_text(char* text, size_t size, const char* format, va_list args) {
  text_sink out{text, size, 0};
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      out.put(*f);
      continue;
    }
    const char* const conversion = f++;
    size_t width = 0;
    while (*f >= '0' && *f <= '9') width = width * 10 + static_cast<size_t>(*f++ - '0');
    const bool wide = f[0] == 'l' && f[1] == 'l';
    if (wide) f += 2;

    char digits[21];  // "-9223372036854775808"
    const char* field = nullptr;
    size_t length = 0;
    if (*f == 's' && !wide) {
      field = va_arg(args, const char*);
      if (field == nullptr) field = "(null)";
      length = strlen(field);
    } else if (*f == 'd') {
      const int64_t value = wide ? int64_t{va_arg(args, long long)} : int64_t{va_arg(args, int)};
      uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      char* digit = digits + sizeof digits;
      do {
        *--digit = static_cast<char>('0' + divide_by_ten(magnitude));
      } while (magnitude != 0);
      if (value < 0) *--digit = '-';
      field = digit;
      length = static_cast<size_t>(digits + sizeof digits - digit);
    } else if (*f == '%' && f == conversion + 1) {
      out.put('%');
      continue;
    } else {
      // No conversion of this formatter: the text stays as it stands.
      out.put(conversion, static_cast<size_t>(f - conversion));
      if (*f == '\0') break;
      out.put(*f);
      continue;
    }
    for (; width > length; --width) out.put(' ');  // right-aligned, as "%9s"
    out.put(field, length);
  }
  if (size > 0) text[out.length < size ? out.length : size - 1] = '\0';
  return out.length < static_cast<size_t>(INT32_MAX) ? static_cast<int>(out.length) : INT32_MAX;
}

int format_text(char* text, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = vformat_text(text, size, format, args);
  va_end(args);
  return length;
}

}  // namespace nv
