// Line and parameter splitting for the connection steps and the handlers.
#include "irc/split.h"

#include "base/sjis.h"

namespace zelkord::irc {

namespace {

std::size_t SkipSpaces(std::string_view text, std::size_t pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
  return pos;
}

// Returns the end of the word that starts at pos: the next space or the end.
std::size_t WordEnd(std::string_view text, std::size_t pos) {
  const std::size_t space = text.find(' ', pos);
  return space == std::string_view::npos ? text.size() : space;
}

void StoreField(std::string& field, std::string_view text, std::size_t maxBytes) {
  field.assign(text.substr(0, base::SjisPrefix(text, maxBytes)));  // never half a character
}

}  // namespace

int SplitLine(std::string_view line, SplitResult& out) {
  if (line.empty()) return -1;
  out.prefix.clear();
  out.command.clear();
  out.params.clear();

  std::size_t pos = 0;
  if (line[0] == ':') {
    const std::size_t prefixEnd = WordEnd(line, 1);
    out.prefix.assign(line.substr(1, prefixEnd - 1));
    if (prefixEnd >= line.size()) return 0;  // only a prefix
    pos = SkipSpaces(line, prefixEnd + 1);
    if (pos >= line.size()) return 0;
  }

  // The first character always belongs to the command word, even a space.
  const std::size_t commandEnd = WordEnd(line, pos + 1);
  out.command.assign(line.substr(pos, commandEnd - pos));
  if (commandEnd >= line.size()) return 0;

  pos = SkipSpaces(line, commandEnd + 1);
  out.params.assign(line.substr(pos));
  return 0;
}

int SplitParams(std::string_view params, ParamFields& fields, std::size_t maxFieldBytes) {
  for (std::string& field : fields) field.clear();

  // Field 1 starts at once, without skipping spaces; a leading ":" makes it
  // the whole rest of the text.
  if (!params.empty() && params[0] == ':') {
    StoreField(fields[0], params.substr(1), maxFieldBytes);
    return 1;
  }
  std::size_t end = WordEnd(params, 0);
  StoreField(fields[0], params.substr(0, end), maxFieldBytes);

  std::size_t pos = end;
  for (int index = 1; index < kParamFieldCount - 1; ++index) {
    pos = SkipSpaces(params, pos);
    if (pos >= params.size()) return index;
    if (params[pos] == ':') {
      StoreField(fields[index], params.substr(pos + 1), maxFieldBytes);
      return index + 1;
    }
    end = WordEnd(params, pos);
    StoreField(fields[index], params.substr(pos, end - pos), maxFieldBytes);
    pos = end;
  }

  pos = SkipSpaces(params, pos);
  if (pos >= params.size()) return kParamFieldCount - 1;
  if (params[pos] == ':') ++pos;
  const std::string_view fourth = params.substr(pos);
  StoreField(fields[kParamFieldCount - 1], fourth, maxFieldBytes);
  return fourth.find(' ') == std::string_view::npos ? kParamFieldCount : kFourthFieldHasSpace;
}

}  // namespace zelkord::irc
