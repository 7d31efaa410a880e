// Conversion between the internal Shift_JIS (code page 932) text and UTF-8
// for display: the console, the window and what is typed into it. Unlike the
// wire conversion of text/encoding.h, which sends the geta mark, a character
// that does not convert becomes a '?', as a display shows it.
#pragma once

#include <string>
#include <string_view>

namespace zelkord::text {

// One iconv conversion direction, its descriptor reused across calls; a
// character that does not convert becomes '?'. Not shareable between threads.
class CodeConverter {
 public:
  CodeConverter(const char* to, const char* from);
  ~CodeConverter();
  CodeConverter(const CodeConverter&) = delete;
  CodeConverter& operator=(const CodeConverter&) = delete;

  [[nodiscard]] std::string Convert(std::string_view text);

 private:
  [[nodiscard]] bool Valid() const;
  void* cd_;  // iconv_t
  bool utf8Input_;
};

// Converts Shift_JIS (code page 932) text to UTF-8 for display; bytes that do
// not convert become '?'. Any thread.
[[nodiscard]] std::string SjisToDisplayUtf8(std::string_view sjis);
// Converts UTF-8 display text (as typed) to Shift_JIS; characters without a
// code become '?'. Any thread.
[[nodiscard]] std::string DisplayUtf8ToSjis(std::string_view utf8);

}  // namespace zelkord::text
