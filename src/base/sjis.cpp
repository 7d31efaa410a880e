// Shift_JIS aware upper-casing: ASCII letters only, trail bytes left alone.
#include "base/sjis.h"

namespace zelkord::base {

namespace {

// Walks a text byte by byte and yields each byte as upper-casing would leave
// it, remembering whether the next byte is a trail byte.
class FoldingCursor {
 public:
  [[nodiscard]] char Fold(char raw) {
    const auto byte = static_cast<unsigned char>(raw);
    if (inTrail_) {
      inTrail_ = false;
      return raw;
    }
    if (IsLeadByte(byte)) {
      inTrail_ = true;
      return raw;
    }
    if (byte >= 'a' && byte <= 'z') return static_cast<char>(byte - ('a' - 'A'));
    return raw;
  }

 private:
  bool inTrail_ = false;
};

}  // namespace

void UpperCaseInPlace(std::string& text) {
  FoldingCursor cursor;
  for (char& c : text) c = cursor.Fold(c);
}

std::string UpperCase(std::string_view text) {
  std::string result(text);
  UpperCaseInPlace(result);
  return result;
}

bool EqualsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Each side keeps its own cursor: the same position may be a trail byte in
  // one text and a letter in the other.
  FoldingCursor cursorA;
  FoldingCursor cursorB;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (cursorA.Fold(a[i]) != cursorB.Fold(b[i])) return false;
  }
  return true;
}

std::size_t SjisPrefix(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  std::size_t i = 0;
  while (i < limit) {
    const bool pair = IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size();
    const std::size_t next = i + (pair ? 2 : 1);
    if (next > limit) break;
    i = next;
  }
  return i;
}

}  // namespace zelkord::base
