// The INI document behind the settings file: read whole, changed in memory,
// written whole. Lines are Shift_JIS bytes and are never converted. What the
// reader ignores (empty lines, ";" comments, lines before the first section)
// is not kept, so it disappears at the first write; everything else, known to
// the program or not, survives in its original order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelkord::config {

// One in-memory INI document. Not synchronised: one thread at a time per
// object.
class IniFile {
 public:
  // Reads and parses the file at path. A missing or unreadable file reads as
  // an empty document. Any thread.
  [[nodiscard]] static IniFile Load(const std::string& path);

  // Reads the file at path before changing it: a missing file gives an empty
  // document, but a file that exists and cannot be read gives nullopt (errno
  // set), so that a save does not replace what it could not see. Any thread.
  [[nodiscard]] static std::optional<IniFile> LoadForUpdate(const std::string& path);

  // Parses text whose lines end in CR LF or LF alone. A line whose first byte
  // is "[" and last byte is "]" opens a section named by the bytes between
  // them; inside a section every other non-empty line not starting with ";"
  // is kept as an entry (key before the first "=", value after it, neither
  // trimmed). Any thread.
  [[nodiscard]] static IniFile Parse(std::string_view text);

  // The value of key in section (both compared without regard to ASCII letter
  // case), or defaultValue when the section or key is absent. A key with
  // nothing after "=" yields "". When a name occurs twice the first wins.
  [[nodiscard]] std::string Read(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const;

  // Every entry of the first section of that name, key and value, in file
  // order; none when it is absent.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> Entries(
      std::string_view section) const;

  // Sets key in section. An existing entry keeps its place and its key's
  // spelling and takes the new value; a new key goes to the end of its
  // section, a new section to the end of the document. A value is one line:
  // it is cut at its first CR or LF.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  // Removes every section of that name with all its lines. Absent: no change.
  void EraseSection(std::string_view section);

  // True when a section of that name exists.
  [[nodiscard]] bool HasSection(std::string_view section) const;

  // The whole document as file bytes: per section its "[name]" line, its
  // lines in order and one empty line, every line ending in CR LF.
  [[nodiscard]] std::string Serialize() const;

  // Writes Serialize() to path through a temporary file in the same folder
  // that is then renamed over the target, so the old file stays whole when
  // anything fails. An existing file keeps its permission bits, and a
  // symbolic link is followed rather than replaced. Returns false with errno
  // set by the failing call when the file cannot be written. Any thread;
  // callers serialise writes to one path.
  [[nodiscard]] bool Save(const std::string& path) const;

 private:
  struct Line {
    std::string text;
    std::size_t keyLength;  // bytes before the first "=", or npos without one
  };
  struct Section {
    std::string name;
    std::vector<Line> lines;
  };

  [[nodiscard]] const Section* FindSection(std::string_view name) const;
  [[nodiscard]] Section* FindSection(std::string_view name);

  std::vector<Section> sections_;
};

}  // namespace zelkord::config
