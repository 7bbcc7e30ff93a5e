// printf-style formatting with the library's own, platform-independent conversions:
//  - "%d", "%i", "%u", "%x", "%X", "%o" and "%c" take 32-bit values, also with the "l" modifier,
//    so that no platform's `long` changes a text; "ll" takes 64 bits, "h"/"hh" 16 and 8 bits;
//  - "%p" prints the pointer as upper-case hex digits, zero-padded to the pointer width, with no
//    prefix (callers write "0x%p");
//  - "%s" takes an 8-bit string, "%ws" (or "%ls") a UTF-16 string, written as UTF-8;
//  - flags, width and precision behave as in printf.
// Arguments are captured by type (FormatArg), so a mismatch can never read the wrong bytes: an
// argument of another kind is converted, a missing one prints as 0 or an empty text.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace vexdaq {

class FormatArg {
 public:
  enum class Kind : uint8_t { kSigned, kUnsigned, kFloat, kPointer, kText, kWideText };

  template <typename T>
  requires std::is_integral_v<T> && std::is_signed_v<T> FormatArg(T value)
      : kind_(Kind::kSigned), signed_(value) {}
  template <typename T>
  requires std::is_integral_v<T> && std::is_unsigned_v<T> FormatArg(T value)
      : kind_(Kind::kUnsigned), unsigned_(value) {}
  template <typename T>
  requires std::is_enum_v<T> FormatArg(T value)
      : FormatArg(static_cast<std::underlying_type_t<T>>(value)) {}
  FormatArg(double value) : kind_(Kind::kFloat), float_(value) {}
  FormatArg(const char *text) : kind_(Kind::kText), text_(text) {}
  FormatArg(char *text) : kind_(Kind::kText), text_(text) {}
  FormatArg(const char16_t *text) : kind_(Kind::kWideText), wide_text_(text) {}
  FormatArg(char16_t *text) : kind_(Kind::kWideText), wide_text_(text) {}
  FormatArg(const std::string &text) : kind_(Kind::kText), text_(text.c_str()) {}
  FormatArg(const std::u16string &text) : kind_(Kind::kWideText), wide_text_(text.c_str()) {}
  FormatArg(std::nullptr_t) : kind_(Kind::kPointer), pointer_(nullptr) {}
  template <typename T>
  requires(!std::is_same_v<std::remove_cv_t<T>, char> &&
           !std::is_same_v<std::remove_cv_t<T>, char16_t>) FormatArg(T *pointer)
      : kind_(Kind::kPointer), pointer_(pointer) {}

  Kind kind() const { return kind_; }
  int64_t as_signed() const;
  uint64_t as_unsigned() const;
  double as_float() const;
  const void *as_pointer() const;
  // Null when the argument is not a text.
  const char *as_text() const { return kind_ == Kind::kText ? text_ : nullptr; }
  const char16_t *as_wide_text() const { return kind_ == Kind::kWideText ? wide_text_ : nullptr; }

 private:
  Kind kind_;
  union {
    int64_t signed_;
    uint64_t unsigned_;
    double float_;
    const void *pointer_;
    const char *text_;
    const char16_t *wide_text_;
  };
};

// Appends the formatted text to out. Returns false when the format is malformed (the text up to
// the fault is kept).
bool format_into(std::string &out, const char *format, std::initializer_list<FormatArg> args);

// Converts a NUL-terminated UTF-16 string to UTF-8 (unpaired surrogates become U+FFFD).
std::string utf16_to_utf8(const char16_t *text);

// The bounded formatter behind the query functions: writes at most `size` bytes, cutting the
// text and always terminating it when size >= 1, and returns the length of the whole text
// without its terminator, or -1 when formatting fails or buffer is null while size > 0.
int32_t format_text_args(char *buffer, int32_t size, const char *format,
                         std::initializer_list<FormatArg> args);

template <typename... Args>
int32_t format_text(char *buffer, int32_t size, const char *format, const Args &...args) {
  return format_text_args(buffer, size, format, {FormatArg(args)...});
}

}  // namespace vexdaq
