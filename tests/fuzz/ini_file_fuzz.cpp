// Fuzzes the settings file reader. Whatever bytes a settings file holds,
// parsing, writing and parsing again must be stable (the second write is
// byte for byte the first, and every value reads the same), and a value
// written through Write must read back after a round trip through the
// file text, cut at its first line break.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ini_file.h"
#include "fuzz_check.h"

namespace zelkord::fuzz {
namespace {

struct Key {
  std::string_view section, key;
};

// The keys the server reads, plus a few spellings that only differ in case.
constexpr std::array<Key, 12> kKeys = {{{"Program", "Version"},
                                        {"Program", "UserMax"},
                                        {"Server", "Port"},
                                        {"Server", "Name"},
                                        {"Log", "Path"},
                                        {"Web", "Send"},
                                        {"BanList", "Count"},
                                        {"BanList", "Ip0"},
                                        {"Position", "Top"},
                                        {"Color", "LogBack"},
                                        {"PROGRAM", "usermax"},
                                        {"", ""}}};

constexpr std::string_view kAbsent =
    "\x01"
    "absent";

// The input split at its first two 0x00 bytes: file text, then a section,
// key and value to write (all optional).
struct Pieces {
  std::string_view text, section, key, value;
};

Pieces Split(std::string_view input) {
  Pieces pieces;
  std::size_t cut = input.find('\0');
  pieces.text = input.substr(0, cut);
  if (cut == std::string_view::npos) return pieces;
  input.remove_prefix(cut + 1);
  cut = input.find('\0');
  pieces.section = input.substr(0, cut);
  if (cut == std::string_view::npos) return pieces;
  input.remove_prefix(cut + 1);
  cut = input.find('\0');
  pieces.key = input.substr(0, cut);
  if (cut != std::string_view::npos) pieces.value = input.substr(cut + 1);
  return pieces;
}

// A section and key the file text can carry: one line each, and a key that
// cannot be taken for a comment, a section header or a longer key.
bool Writable(std::string_view section, std::string_view key) {
  if (section.find_first_of("\r\n") != std::string_view::npos) return false;
  if (key.find_first_of("\r\n=") != std::string_view::npos) return false;
  return key.empty() || (key.front() != ';' && key.front() != '[');
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  const fuzz::Pieces pieces =
      fuzz::Split(std::string_view(reinterpret_cast<const char*>(data), size));

  config::IniFile first = config::IniFile::Parse(pieces.text);
  const std::string firstText = first.Serialize();
  const config::IniFile second = config::IniFile::Parse(firstText);
  ZELKORD_FUZZ_CHECK(second.Serialize() == firstText);
  for (const fuzz::Key& key : fuzz::kKeys) {
    ZELKORD_FUZZ_CHECK(first.Read(key.section, key.key, fuzz::kAbsent) ==
                       second.Read(key.section, key.key, fuzz::kAbsent));
    ZELKORD_FUZZ_CHECK(first.HasSection(key.section) == second.HasSection(key.section));
  }
  ZELKORD_FUZZ_CHECK(first.Read(pieces.section, pieces.key, fuzz::kAbsent) ==
                     second.Read(pieces.section, pieces.key, fuzz::kAbsent));

  if (!fuzz::Writable(pieces.section, pieces.key)) return 0;
  first.Write(pieces.section, pieces.key, pieces.value);
  const std::string_view oneLine = pieces.value.substr(0, pieces.value.find_first_of("\r\n"));
  ZELKORD_FUZZ_CHECK(first.Read(pieces.section, pieces.key, fuzz::kAbsent) == oneLine);
  const std::string writtenText = first.Serialize();
  const config::IniFile reread = config::IniFile::Parse(writtenText);
  ZELKORD_FUZZ_CHECK(reread.Read(pieces.section, pieces.key, fuzz::kAbsent) == oneLine);
  ZELKORD_FUZZ_CHECK(reread.Serialize() == writtenText);

  first.EraseSection(pieces.section);
  ZELKORD_FUZZ_CHECK(!first.HasSection(pieces.section));
  ZELKORD_FUZZ_CHECK(first.Read(pieces.section, pieces.key, fuzz::kAbsent) == fuzz::kAbsent);
  return 0;
}
