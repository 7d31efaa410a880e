// Fuzzes what the web service does with text it did not write: the request
// line against the password prefix, the escaping of channel data into the
// pages, and the cutting of a template into pieces. Properties: a request
// matches exactly when its start folds equal to the prefix, and the
// document is the text after it up to a space; escaped text holds no markup
// character and unescapes to the original; template pieces are the
// template's own bytes, in order, at most 511 each, minus their line ends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/sjis.h"
#include "fuzz_check.h"
#include "services/status_pages.h"

namespace zelkord::fuzz {
namespace {

void CheckRequest(std::string_view password, std::string_view line) {
  const std::string prefix = services::RequestPrefix(password);
  ZELKORD_FUZZ_CHECK(prefix.rfind("GET /", 0) == 0);
  ZELKORD_FUZZ_CHECK(password.empty() ? prefix == "GET /"
                                      : prefix == "GET /" + base::UpperCase(password) + "/");
  std::string document = "stale";
  const bool matched = services::DocumentName(line, prefix, document);
  const bool expected =
      line.size() >= prefix.size() && base::UpperCase(line.substr(0, prefix.size())) == prefix;
  ZELKORD_FUZZ_CHECK(matched == expected);
  if (!matched) return;
  const std::string_view rest = line.substr(prefix.size());
  ZELKORD_FUZZ_CHECK(document.find(' ') == std::string::npos);
  ZELKORD_FUZZ_CHECK(rest.substr(0, document.size()) == document);
  ZELKORD_FUZZ_CHECK(document.size() == rest.size() || rest[document.size()] == ' ');

  // The same password in its own letter case opens the same prefix.
  std::string own = "GET /";
  if (!password.empty()) own.append(password).append("/");
  own.append(document);
  std::string again;
  ZELKORD_FUZZ_CHECK(services::DocumentName(own, prefix, again) && again == document);
}

std::string Unescape(std::string_view text) {
  static constexpr std::string_view kEntities[][2] = {
      {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}};
  std::string out;
  while (!text.empty()) {
    bool replaced = false;
    for (const auto& entity : kEntities) {
      if (text.substr(0, entity[0].size()) == entity[0]) {
        out.append(entity[1]);
        text.remove_prefix(entity[0].size());
        replaced = true;
        break;
      }
    }
    ZELKORD_FUZZ_CHECK(replaced || text.front() != '&');
    if (!replaced) {
      out.push_back(text.front());
      text.remove_prefix(1);
    }
  }
  return out;
}

void CheckEscaping(std::string_view text) {
  const std::string html = services::EscapeHtml(text);
  ZELKORD_FUZZ_CHECK(html.find_first_of("<>\"'") == std::string::npos);
  ZELKORD_FUZZ_CHECK(Unescape(html) == text);

  const std::string log = services::EscapeLogLine(text);
  ZELKORD_FUZZ_CHECK(log.find_first_of("<>") == std::string::npos);
  std::size_t brackets = 0;
  for (char c : text) brackets += (c == '<' || c == '>') ? 1 : 0;
  ZELKORD_FUZZ_CHECK(log.size() == text.size() + 2 * brackets);
}

void CheckTemplatePieces(std::string_view content) {
  std::size_t offset = 0;
  for (const std::string& piece : services::TemplatePieces(content)) {
    ZELKORD_FUZZ_CHECK(piece.size() <= services::kTemplatePieceBytes);
    ZELKORD_FUZZ_CHECK(piece.find('\n') == std::string::npos);
    ZELKORD_FUZZ_CHECK(content.substr(offset, piece.size()) == piece);
    offset += piece.size();
    if (piece.size() == services::kTemplatePieceBytes || offset == content.size()) continue;
    // A shorter piece ended at a line feed, with the CR before it removed.
    if (content.substr(offset, 2) == "\r\n") {
      offset += 2;
    } else {
      ZELKORD_FUZZ_CHECK(content[offset] == '\n');
      offset += 1;
    }
  }
  ZELKORD_FUZZ_CHECK(offset == content.size());
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // Up to the first LF: the password; after it: the request line.
  const std::size_t cut = input.find('\n');
  const std::string_view password = cut == std::string_view::npos ? "" : input.substr(0, cut);
  const std::string_view line = cut == std::string_view::npos ? input : input.substr(cut + 1);
  fuzz::CheckRequest(password, line);
  fuzz::CheckRequest("", input);
  fuzz::CheckEscaping(input);
  fuzz::CheckTemplatePieces(input);
  return 0;
}
