#include "session/format.h"

#include <cstdio>
#include <cstring>

namespace vexdaq {

int64_t FormatArg::as_signed() const {
  switch (kind_) {
    case Kind::kSigned:
      return signed_;
    case Kind::kUnsigned:
      return static_cast<int64_t>(unsigned_);
    case Kind::kFloat:
      return static_cast<int64_t>(float_);
    case Kind::kPointer:
      return static_cast<int64_t>(reinterpret_cast<uintptr_t>(pointer_));
    default:
      return 0;
  }
}

uint64_t FormatArg::as_unsigned() const {
  return static_cast<uint64_t>(as_signed());
}

double FormatArg::as_float() const {
  switch (kind_) {
    case Kind::kFloat:
      return float_;
    case Kind::kUnsigned:
      return static_cast<double>(unsigned_);
    default:
      return static_cast<double>(as_signed());
  }
}

const void *FormatArg::as_pointer() const {
  return kind_ == Kind::kPointer
             ? pointer_
             : reinterpret_cast<const void *>(static_cast<uintptr_t>(as_signed()));
}

std::string utf16_to_utf8(const char16_t *text) {
  std::string out;
  if (text == nullptr) return out;
  for (const char16_t *p = text; *p != 0; ++p) {
    uint32_t cp = *p;
    if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
      ++p;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

namespace {

// Runs the C library's formatter for one conversion whose argument has already been reduced to
// a fixed type, so the result never depends on the platform's `long`.
template <typename T>
void append_c(std::string &out, const std::string &directive, T value) {
  char small[128];
  const int n = std::snprintf(small, sizeof small, directive.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), directive.c_str(), value);
  out.append(big.data(), static_cast<size_t>(n));
}

int64_t narrow_signed(int64_t v, int bits) {
  switch (bits) {
    case 8:
      return static_cast<int8_t>(v);
    case 16:
      return static_cast<int16_t>(v);
    case 32:
      return static_cast<int32_t>(v);
    default:
      return v;
  }
}

uint64_t narrow_unsigned(uint64_t v, int bits) {
  return bits >= 64 ? v : v & ((uint64_t{1} << bits) - 1);
}

}  // namespace

bool format_into(std::string &out, const char *format, std::initializer_list<FormatArg> args) {
  if (format == nullptr) return false;
  const FormatArg *next = args.begin();
  const FormatArg *const end = args.end();
  const FormatArg zero(0);
  auto take = [&]() -> const FormatArg & { return next != end ? *next++ : zero; };

  for (const char *p = format; *p != 0;) {
    if (*p != '%') {
      const char *q = std::strchr(p, '%');
      const size_t n = q ? static_cast<size_t>(q - p) : std::strlen(p);
      out.append(p, n);
      p += n;
      continue;
    }
    const char *start = p++;
    if (*p == '%') {
      out += '%';
      ++p;
      continue;
    }
    std::string directive = "%";
    while (*p != 0 && std::strchr("-+ #0", *p) != nullptr) directive += *p++;
    if (*p == '*') {
      directive += std::to_string(static_cast<int32_t>(take().as_signed()));
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') directive += *p++;
    }
    if (*p == '.') {
      directive += *p++;
      if (*p == '*') {
        directive += std::to_string(static_cast<int32_t>(take().as_signed()));
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') directive += *p++;
      }
    }
    int bits = 32;
    bool wide = false;
    if (p[0] == 'h' && p[1] == 'h') {
      bits = 8;
      p += 2;
    } else if (*p == 'h') {
      bits = 16;
      ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      bits = 64;
      p += 2;
    } else if (*p == 'l') {
      ++p;
      wide = true;  // "%ls" is the wide string; "%ld" stays 32-bit
    } else if (*p == 'w') {
      ++p;
      wide = true;
    } else if (*p == 'z' || *p == 'j' || *p == 't') {
      bits = 64;
      ++p;
    }
    const char conversion = *p;
    if (conversion == 0) {
      out.append(start);
      return false;
    }
    ++p;
    switch (conversion) {
      case 'd':
      case 'i':
        append_c(out, directive + "lld",
                 static_cast<long long>(narrow_signed(take().as_signed(), bits)));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        append_c(out, directive + "ll" + conversion,
                 static_cast<unsigned long long>(narrow_unsigned(take().as_unsigned(), bits)));
        break;
      case 'c':
        append_c(out, directive + "c",
                 static_cast<int>(static_cast<unsigned char>(take().as_signed())));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
        append_c(out, directive + conversion, take().as_float());
        break;
      case 'p': {
        char digits[2 * sizeof(void *) + 1];
        std::snprintf(
            digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void *)),
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(take().as_pointer())));
        append_c(out, directive + "s", static_cast<const char *>(digits));
        break;
      }
      case 's': {
        const FormatArg &arg = take();
        std::string converted;
        const char *text = arg.as_text();
        if (arg.as_wide_text() != nullptr) {
          converted = utf16_to_utf8(arg.as_wide_text());
          text = converted.c_str();
        }
        (void)wide;
        append_c(out, directive + "s", text != nullptr ? text : "");
        break;
      }
      default:
        out.append(start, static_cast<size_t>(p - start));
        return false;
    }
  }
  return true;
}

int32_t format_text_args(char *buffer, int32_t size, const char *format,
                         std::initializer_list<FormatArg> args) {
  if (buffer == nullptr && size > 0) return -1;
  std::string text;
  if (!format_into(text, format, args)) return -1;
  if (text.size() > 0x7FFFFFFF) return -1;
  if (size >= 1) {
    const size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int32_t>(text.size());
}

}  // namespace vexdaq
