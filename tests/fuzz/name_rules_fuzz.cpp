// Fuzzes the protocol's text rules against a model written the other way
// round: the input is first cut into Shift_JIS characters, and the nick
// and channel rules are then read off the characters; the comma list and
// the CAP REQ words are split with stream reads; a cut text must be a
// whole-character prefix of the text.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "irc/name_rules.h"

namespace zelkord::fuzz {
namespace {

bool InRange(unsigned char c, int low, int high) {
  return c >= low && c <= high;
}

// The text as characters: a lead byte with a trail makes one of two bytes
// (with a valid trail only, when strict); any other byte stands alone.
std::vector<std::string> Characters(std::string_view text, bool strict = true) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool lead = InRange(c, 0x81, 0x9F) || InRange(c, 0xE0, 0xFC);
    const bool trail = i + 1 < text.size() &&
                       (!strict || (InRange(static_cast<unsigned char>(text[i + 1]), 0x40, 0xFC) &&
                                    text[i + 1] != '\x7F'));
    const std::size_t width = lead && trail ? 2 : 1;
    out.emplace_back(text.substr(i, width));
    i += width;
  }
  return out;
}

bool ModelNick(std::string_view nick) {
  if (nick.empty() || nick.size() > irc::kNickLen) return false;
  const std::vector<std::string> chars = Characters(nick);
  const std::string_view allowed =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789[]\\`_^{|}-";
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const std::string& ch = chars[i];
    if (ch.size() == 2) continue;
    const auto c = static_cast<unsigned char>(ch[0]);
    if (InRange(c, 0x81, 0x9F) || InRange(c, 0xE0, 0xFC)) return false;  // a lead left alone
    if (i == 0 && (std::isdigit(c) != 0 || c == '-')) return false;
    if (InRange(c, 0xA1, 0xDF)) continue;  // half-width katakana
    if (allowed.find(static_cast<char>(c)) == std::string_view::npos) return false;
  }
  return true;
}

irc::ChannelNameCheck ModelChannel(std::string_view name) {
  if (name.empty() || (name[0] != '#' && name[0] != '&')) {
    return irc::ChannelNameCheck::NotAChannel;
  }
  bool bad = name.size() > irc::kChannelLen;
  for (char c : name)
    bad = bad || c == ' ' || c == ',' || c == '\a' || c == '\0' || c == '\r' || c == '\n';
  return bad ? irc::ChannelNameCheck::Illegal : irc::ChannelNameCheck::Valid;
}

std::vector<std::string> ModelSplit(std::string_view text, char separator) {
  std::vector<std::string> items;
  std::istringstream stream{std::string(text)};
  for (std::string item; std::getline(stream, item, separator);) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  ZELKORD_FUZZ_CHECK(irc::IsValidNick(text) == fuzz::ModelNick(text));
  ZELKORD_FUZZ_CHECK(irc::CheckChannelName(text) == fuzz::ModelChannel(text));

  const std::vector<std::string_view> items = irc::SplitList(text);
  const std::vector<std::string> expectedItems = fuzz::ModelSplit(text, ',');
  ZELKORD_FUZZ_CHECK(items.size() == expectedItems.size());
  for (std::size_t i = 0; i < items.size() && i < expectedItems.size(); ++i) {
    ZELKORD_FUZZ_CHECK(items[i] == expectedItems[i]);
  }

  const std::vector<irc::CapRequestWord> words = irc::SplitCapRequest(text);
  const std::vector<std::string> expectedWords = fuzz::ModelSplit(text, ' ');
  ZELKORD_FUZZ_CHECK(words.size() == expectedWords.size());
  for (std::size_t i = 0; i < words.size() && i < expectedWords.size(); ++i) {
    const std::string& word = expectedWords[i];
    const bool removing = word[0] == '-';
    ZELKORD_FUZZ_CHECK(words[i].removing == removing);
    ZELKORD_FUZZ_CHECK(words[i].name == std::string_view(word).substr(removing ? 1 : 0));
  }

  // A cut keeps whole characters: as many as fit in the limit.
  const std::size_t limit = size == 0 ? 0 : data[0] % 64;
  const std::string cut = irc::CutText(text, limit);
  ZELKORD_FUZZ_CHECK(cut.size() <= limit && text.substr(0, cut.size()) == cut);
  std::size_t whole = 0;
  for (const std::string& ch : fuzz::Characters(text, false)) {
    if (whole + ch.size() > limit) break;
    whole += ch.size();
  }
  ZELKORD_FUZZ_CHECK(cut.size() == whole);
  return 0;
}
