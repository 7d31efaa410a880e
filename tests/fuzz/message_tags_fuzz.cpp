// Fuzzes message tag parsing with arbitrary tag text. The tags must be
// those a plain model reads (split at ';', key before the first '=', the
// escapes undone, empty keys skipped, a repeated key keeping its first
// place and last value), and serialising them must give text without a
// space, CR or LF that parses back to the same tags.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "irc/message_tags.h"

namespace zelkord::fuzz {
namespace {

using Model = std::vector<std::pair<std::string, std::string>>;

// The model, a character at a time: in the key until '=', in the value
// until ';'.
Model ModelParse(std::string_view text) {
  Model tags;
  std::string key;
  std::string value;
  bool inValue = false;
  bool escaped = false;
  auto finish = [&] {
    if (!key.empty()) {
      bool found = false;
      for (auto& [k, v] : tags) {
        if (k == key) {
          v = value;
          found = true;
        }
      }
      if (!found) tags.emplace_back(key, value);
    }
    key.clear();
    value.clear();
    inValue = false;
    escaped = false;
  };
  for (char c : text) {
    if (c == ';') {
      finish();  // a backslash before it was a trailing one: dropped
      continue;
    }
    if (!inValue) {
      if (c == '=') {
        inValue = true;
      } else {
        key.push_back(c);
      }
      continue;
    }
    if (escaped) {
      escaped = false;
      value.push_back(c == ':' ? ';' : c == 's' ? ' ' : c == 'r' ? '\r' : c == 'n' ? '\n' : c);
    } else if (c == '\\') {
      escaped = true;
    } else {
      value.push_back(c);
    }
  }
  finish();
  return tags;
}

void Check(std::string_view text) {
  irc::Tags tags;
  irc::ParseTags(text, tags);
  const Model model = ModelParse(text);
  ZELKORD_FUZZ_CHECK(tags.size() == model.size());
  for (std::size_t i = 0; i < tags.size(); ++i) {
    ZELKORD_FUZZ_CHECK(tags[i].key == model[i].first);
    ZELKORD_FUZZ_CHECK(tags[i].value == model[i].second);
  }
  const std::string serialised = irc::SerialiseTags(tags);
  // Keys come through as they are; values can no longer break the line.
  for (const irc::Tag& tag : tags) {
    if (tag.key.find_first_of(" \r\n") != std::string::npos) return;
  }
  ZELKORD_FUZZ_CHECK(serialised.find_first_of(" \r\n") == std::string::npos);
  irc::Tags again;
  irc::ParseTags(serialised, again);
  ZELKORD_FUZZ_CHECK(again.size() == tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i) {
    ZELKORD_FUZZ_CHECK(again[i].key == tags[i].key && again[i].value == tags[i].value);
  }
  ZELKORD_FUZZ_CHECK(irc::SerialiseTags(again) == serialised);
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zelkord::fuzz::Check(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
