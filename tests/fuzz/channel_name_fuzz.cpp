// Fuzzes the check that lets a channel name become a day log folder. A name
// it accepts, appended to the log folder as the day log does, must give a
// path with no ".." component that stays inside the folder; and the names
// it must refuse ("/", NUL, a backslash that is not a kanji's trail byte,
// "." and "..") are refused whatever surrounds them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/sjis.h"
#include "fuzz_check.h"
#include "irc/channel_table.h"

namespace zelkord::fuzz {
namespace {

constexpr std::string_view kFolder = "/var/zelkord/logs/";
constexpr std::string_view kDayFile = "/20260101.TXT";

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// Whether a backslash outside any kanji occurs: the bytes the day log must
// never see as a separator.
bool HasLooseBackslash(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte == '\\') return true;
    if (base::IsLeadByte(byte) && i + 1 < name.size()) {
      const auto trail = static_cast<unsigned char>(name[i + 1]);
      if (trail >= 0x40 && trail <= 0xFC && trail != 0x7F) ++i;
    }
  }
  return false;
}

}  // namespace
}  // namespace zelkord::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zelkord;
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const bool accepted = irc::IsLoggableChannelName(name);
  const bool mustRefuse =
      name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos ||
      fuzz::HasLooseBackslash(name);
  ZELKORD_FUZZ_CHECK(accepted == !mustRefuse);
  if (!accepted) return 0;

  const std::string directory = std::string(fuzz::kFolder) + std::string(name);
  const std::string file = directory + std::string(fuzz::kDayFile);
  const auto folderParts = fuzz::Components(fuzz::kFolder);
  const auto fileParts = fuzz::Components(file);
  // The folder's own components, then at most the channel's and the file's.
  ZELKORD_FUZZ_CHECK(fileParts.size() >= folderParts.size() + 1);
  ZELKORD_FUZZ_CHECK(fileParts.size() <= folderParts.size() + 2);
  for (std::size_t i = 0; i < folderParts.size(); ++i) {
    ZELKORD_FUZZ_CHECK(fileParts[i] == folderParts[i]);
  }
  for (std::string_view part : fileParts) ZELKORD_FUZZ_CHECK(part != ".." && part != ".");
  if (!name.empty()) ZELKORD_FUZZ_CHECK(fileParts[folderParts.size()] == name);
  return 0;
}
