// The name rules and list splitting.
#include "irc/name_rules.h"

#include "base/sjis.h"

namespace zelkord::irc {
namespace {

bool IsNickSpecial(char c) {
  return std::string_view("[]\\`_^{|}-").find(c) != std::string_view::npos;
}

bool IsAsciiLetterOrDigit(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsTrailByte(unsigned char c) {
  return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

bool IsHalfWidthKatakana(unsigned char c) {
  return c >= 0xA1 && c <= 0xDF;
}

}  // namespace

bool IsValidNick(std::string_view nick) {
  if (nick.empty() || nick.size() > kNickLen) return false;
  const auto first = static_cast<unsigned char>(nick.front());
  if ((first >= '0' && first <= '9') || first == '-') return false;
  for (std::size_t i = 0; i < nick.size(); ++i) {
    const auto c = static_cast<unsigned char>(nick[i]);
    if (base::IsLeadByte(c)) {
      // A double-byte character whose trail may look like '@' or '|':
      // it is a letter of the nick all the same.
      if (i + 1 >= nick.size() || !IsTrailByte(static_cast<unsigned char>(nick[i + 1]))) {
        return false;
      }
      ++i;
      continue;
    }
    if (!IsAsciiLetterOrDigit(c) && !IsNickSpecial(nick[i]) && !IsHalfWidthKatakana(c)) {
      return false;
    }
  }
  return true;
}

ChannelNameCheck CheckChannelName(std::string_view name) {
  if (name.empty() || kChannelTypes.find(name.front()) == std::string_view::npos) {
    return ChannelNameCheck::NotAChannel;
  }
  if (name.size() > kChannelLen) return ChannelNameCheck::Illegal;
  // None of these bytes is ever the trail of a double-byte character.
  if (name.find_first_of(std::string_view(" ,\a\r\n\0", 6)) != std::string_view::npos) {
    return ChannelNameCheck::Illegal;
  }
  return ChannelNameCheck::Valid;
}

std::vector<std::string_view> SplitList(std::string_view list) {
  std::vector<std::string_view> items;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return items;
}

std::vector<CapRequestWord> SplitCapRequest(std::string_view request) {
  std::vector<CapRequestWord> words;
  while (!request.empty()) {
    const std::size_t space = request.find(' ');
    std::string_view word = request.substr(0, space);
    if (!word.empty()) {
      const bool removing = word.front() == '-';
      if (removing) word.remove_prefix(1);
      words.push_back({word, removing});
    }
    if (space == std::string_view::npos) break;
    request.remove_prefix(space + 1);
  }
  return words;
}

std::string CutText(std::string_view text, std::size_t limit) {
  return std::string(text.substr(0, base::SjisPrefix(text, limit)));
}

std::string NormalizeBanMask(std::string_view mask) {
  const auto orStar = [](std::string_view part) {
    return part.empty() ? std::string("*") : std::string(part);
  };
  std::string_view nick = mask;
  std::string_view user;
  std::string_view host;
  const std::size_t bang = mask.find('!');
  const std::size_t at = mask.find('@', bang == std::string_view::npos ? 0 : bang + 1);
  if (bang != std::string_view::npos) {
    nick = mask.substr(0, bang);
    user = mask.substr(bang + 1,
                       at == std::string_view::npos ? std::string_view::npos : at - bang - 1);
  } else if (at != std::string_view::npos) {
    nick = {};
    user = mask.substr(0, at);
  }
  if (at != std::string_view::npos) host = mask.substr(at + 1);
  return orStar(nick) + "!" + orStar(user) + "@" + orStar(host);
}

bool MatchMask(std::string_view mask, std::string_view text) {
  const std::string pattern = base::UpperCase(mask);
  const std::string subject = base::UpperCase(text);
  // Greedy with one backtrack point: the last '*' seen and where the text
  // stood when it was reached; linear enough for masks of a line's length.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string::npos;
  std::size_t resume = 0;
  while (t < subject.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == subject[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace zelkord::irc
