// Shift_JIS and UTF-8 through iconv's code page 932 tables.
#include "text/sjis_utf8.h"

#include <iconv.h>

#include <cerrno>

namespace zelkord::text {

CodeConverter::CodeConverter(const char* to, const char* from)
    : cd_(iconv_open(to, from)), utf8Input_(std::string_view(from) == "UTF-8") {}

CodeConverter::~CodeConverter() {
  if (Valid()) iconv_close(cd_);
}

bool CodeConverter::Valid() const {
  return cd_ != reinterpret_cast<iconv_t>(-1);
}

std::string CodeConverter::Convert(std::string_view text) {
  if (!Valid()) return std::string(text);
  iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  std::string out;
  out.resize(text.size() * 4 + 8);
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* dst = out.data();
  std::size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd_, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG || outLeft == 0) break;
    // A character that does not convert: one '?' for it, then go on after
    // it (all of a UTF-8 sequence; one byte of anything else).
    *dst++ = '?';
    --outLeft;
    std::size_t skip = 1;
    while (skip < inLeft && utf8Input_ && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) {
      ++skip;
    }
    in += skip;
    inLeft -= skip;
  }
  out.resize(out.size() - outLeft);
  return out;
}

std::string SjisToDisplayUtf8(std::string_view sjis) {
  return CodeConverter("UTF-8", "CP932").Convert(sjis);
}
std::string DisplayUtf8ToSjis(std::string_view utf8) {
  return CodeConverter("CP932", "UTF-8").Convert(utf8);
}

}  // namespace zelkord::text
