// Message tags: the "@key=value;key2 " part a line may start with. Parsing
// and serialising with the escapes, the limits, and the stamp a relayed
// event carries (its time and message id) to every recipient.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelkord::irc {

// The most bytes of a received tag part, the '@' and the space after it
// included; the rest of the line has its own 512.
inline constexpr std::size_t kMaxTagPartBytes = 8191;
// The most bytes of client-only tags passed on, so that with the server's
// own tags a relayed line stays within what its recipients read.
inline constexpr std::size_t kMaxClientTagBytes = 4094;
// A longer label is ignored, as if none was given.
inline constexpr std::size_t kMaxLabelBytes = 64;

struct Tag {
  std::string key;
  std::string value;  // unescaped; empty for a tag without a value
};
using Tags = std::vector<Tag>;

// Parses tag text (without the '@' and the space) into tags, replacing
// what tags held. Escapes \: \s \\ \r \n are undone, a lone trailing
// backslash is dropped and an unknown escape loses its backslash; empty
// keys are skipped; a key given twice keeps its first place and its last
// value. Any thread.
void ParseTags(std::string_view text, Tags& tags);

// Appends the value with ';', ' ', '\', CR and LF escaped. Any thread.
void AppendEscapedValue(std::string& out, std::string_view value);

// Appends key, and "=value" escaped when the value is not empty, after a
// ';' when out already holds tags. Any thread.
void AppendTag(std::string& out, std::string_view key, std::string_view value);

// The tags serialised as ParseTags reads them. Any thread.
[[nodiscard]] std::string SerialiseTags(const Tags& tags);

// The value of the key, or nullptr without one. Any thread.
[[nodiscard]] const std::string* FindTag(const Tags& tags, std::string_view key);

// Of a received line, the tag text and where the rest starts: when the
// line starts with '@', tagText is what lies between it and the first
// space, and rest what follows the spaces after that; otherwise tagText
// is empty and rest the whole line. Any thread.
void SplitTagPart(std::string_view line, std::string_view& tagText, std::string_view& rest);

// The time and id of one relayed event, the same for every recipient.
struct MessageStamp {
  std::int64_t timeMs = 0;  // Unix time in milliseconds
  std::string msgid;
};

// A stamp for an event happening now. Ids are short, [0-9A-Za-z], and
// unique across restarts: a start-time prefix and a counter. Any thread.
[[nodiscard]] MessageStamp NewStamp();

// The current Unix time in milliseconds. Any thread.
[[nodiscard]] std::int64_t NowMs();

// "YYYY-MM-DDThh:mm:ss.sssZ" in UTC, as server-time shows it. Any thread.
[[nodiscard]] std::string FormatServerTime(std::int64_t timeMs);

// The Unix time in milliseconds of a server-time text: as FormatServerTime
// writes it, or with fewer or no fraction digits. nullopt when it is not
// one. Any thread.
[[nodiscard]] std::optional<std::int64_t> ParseServerTime(std::string_view text);

// A short reference for a BATCH, unique while the server runs. Any thread.
[[nodiscard]] std::string NewBatchRef();

}  // namespace zelkord::irc
