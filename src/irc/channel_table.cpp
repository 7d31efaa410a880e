// Channel table operations: linear scans, nicks compared after upper-casing,
// channel names byte for byte.
#include "irc/channel_table.h"

#include <algorithm>
#include <ctime>

#include "base/clock.h"
#include "base/sjis.h"

namespace zelkord::irc {

bool IsLoggableChannelName(std::string_view name) {
  if (name == "." || name == "..") return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte == 0 || byte == '/' || byte == '\\') return false;
    // A backslash that is the trail byte of a kanji is part of that kanji;
    // '/' and NUL can never be trail bytes, so they are always seen.
    if (base::IsLeadByte(byte) && i + 1 < name.size()) {
      const auto trail = static_cast<unsigned char>(name[i + 1]);
      if (trail >= 0x40 && trail <= 0xFC && trail != 0x7F) ++i;
    }
  }
  return true;
}

bool ChannelModes::SetFlag(char letter, bool on) {
  if (Has(letter) == on) return false;
  if (on) {
    flags.push_back(letter);
    // Kept in kChannelFlagLetters order, so the mode text reads the same
    // however the flags were set.
    std::sort(flags.begin(), flags.end());
  } else {
    std::erase(flags, letter);
  }
  return true;
}

std::string ChannelModes::Letters() const {
  std::string letters = flags;
  if (!key.empty()) letters.push_back('k');
  if (limit > 0) letters.push_back('l');
  std::sort(letters.begin(), letters.end());
  return "+" + letters;
}

ChannelTable::ChannelTable(int capacity, ChannelLogOptions options, irc::Desk& desk)
    : capacity_(capacity > 0 ? capacity : 0), options_(std::move(options)), desk_(desk) {
  entries_.reserve(static_cast<std::size_t>(capacity_));
}

int ChannelTable::FindChannel(std::string_view name) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].name == name) return static_cast<int>(i);
  }
  return irc::kNotFound;
}

int ChannelTable::CreateChannel(std::string_view name) {
  if (Count() >= capacity_) return irc::kNotFound;
  ChannelEntry entry;
  entry.name.assign(name);
  entry.view = base::BoundedLines(options_.lines);
  entry.createdAt = static_cast<std::int64_t>(std::time(nullptr));
  for (char letter : options_.initialFlags) {
    if (kChannelFlagLetters.find(letter) != std::string_view::npos) {
      (void)entry.modes.SetFlag(letter, true);
    }
  }
  entries_.push_back(std::move(entry));
  desk_.ChannelAdded(name);
  return 0;
}

int ChannelTable::AddMember(irc::UserSlot& user, std::string_view name) {
  int index = FindChannel(name);
  if (index == irc::kNotFound) {
    if (CreateChannel(name) == irc::kNotFound) return irc::kNotFound;
    index = Count() - 1;
  }
  ChannelEntry& entry = entries_[static_cast<std::size_t>(index)];
  const bool firstMember = entry.members.empty();
  std::string folded = base::UpperCase(user.Nick());
  if (std::find(entry.folded.begin(), entry.folded.end(), folded) != entry.folded.end()) {
    return irc::kNotFound;
  }
  entry.members.push_back(user.Nick());
  entry.folded.push_back(std::move(folded));
  ++memberChanges_;
  user.channels.push_back({std::string(name), firstMember || user.Nick() == options_.operatorNick});
  desk_.MembersChanged(name);
  return index;
}

int ChannelTable::RemoveMember(irc::UserSlot& user, std::string_view name) {
  const int index = FindChannel(name);
  if (index == irc::kNotFound) return irc::kNotFound;
  ChannelEntry& entry = entries_[static_cast<std::size_t>(index)];
  auto member = std::find(entry.folded.begin(), entry.folded.end(), base::UpperCase(user.Nick()));
  if (member == entry.folded.end()) return irc::kNotFound;
  entry.members.erase(entry.members.begin() + (member - entry.folded.begin()));
  entry.folded.erase(member);
  ++memberChanges_;
  auto joined = std::find_if(user.channels.begin(), user.channels.end(),
                             [&](const irc::JoinedChannel& c) { return c.name == name; });
  if (joined != user.channels.end()) user.channels.erase(joined);
  if (entry.members.empty()) {
    const std::string gone = std::move(entry.name);
    entries_.erase(entries_.begin() + index);
    desk_.ChannelRemoved(gone);
  } else {
    desk_.MembersChanged(name);
  }
  return 0;
}

int ChannelTable::SetTopic(const irc::UserSlot& user, std::string_view name,
                           std::string_view topic) {
  const int index = FindChannel(name);
  if (index == irc::kNotFound) return irc::kNotFound;
  ChannelEntry& entry = entries_[static_cast<std::size_t>(index)];
  entry.topicText.assign(kTopicPrefix).append(topic).append(" by ").append(user.Nick());
  desk_.TopicChanged(name, entry.topicText);
  return index;
}

std::string ChannelTable::GetTopic(std::string_view name) const {
  const int index = FindChannel(name);
  if (index == irc::kNotFound) return {};
  return Entry(index).topicText.substr(kTopicPrefix.size());
}

void ChannelTable::ModesChanged(int index) {
  // The window's channel page rereads its status texts and member marks
  // with the member list.
  if (InRange(index)) desk_.MembersChanged(Entry(index).name);
}

int ChannelTable::MemberCount(int index) const {
  return InRange(index) ? static_cast<int>(Entry(index).members.size()) : 0;
}

std::string ChannelTable::ChannelName(int index) const {
  return InRange(index) ? Entry(index).name : std::string();
}

std::string ChannelTable::MemberAt(int index, int position) const {
  if (!InRange(index)) return {};
  const auto& members = Entry(index).members;
  if (position < 0 || position >= static_cast<int>(members.size())) return {};
  return members[static_cast<std::size_t>(position)];
}

void ChannelTable::AppendLine(int index, std::string_view line) {
  if (!InRange(index)) return;
  ChannelEntry& entry = entries_[static_cast<std::size_t>(index)];
  entry.view.Append(line);
  desk_.ChannelLine(entry.name, line);
  if (options_.save) WriteDayLog(entry, line);
}

void ChannelTable::WriteDayLog(const ChannelEntry& entry, std::string_view line) const {
  // A name that could leave the log folder is never used as a path; the
  // line stays in the view only.
  if (options_.writer == nullptr || !IsLoggableChannelName(entry.name)) return;
  // The day is the one the line was said on, however long the write waits.
  std::string file = options_.path + entry.name + "/" + base::DayStamp(std::time(nullptr)) + ".TXT";
  std::string record;
  record.reserve(line.size() + 2);
  record.append(line).append("\r\n");
  // The writer creates the channel's folder, as the file's parent, when missing.
  (void)options_.writer->Append(std::move(file), std::move(record));
}

void ChannelTable::RenameMember(std::string_view oldNick, std::string_view newNick) {
  const std::string oldFolded = base::UpperCase(oldNick);
  for (ChannelEntry& entry : entries_) {
    auto member = std::find(entry.folded.begin(), entry.folded.end(), oldFolded);
    if (member == entry.folded.end()) continue;
    entry.members[static_cast<std::size_t>(member - entry.folded.begin())].assign(newNick);
    *member = base::UpperCase(newNick);
    ++memberChanges_;
    desk_.MembersChanged(entry.name);
  }
}

std::string OfferedChannelModes(std::string_view chanMode) {
  std::string offered;
  for (char letter : chanMode) {
    if (kChannelModeLetters.find(letter) != std::string_view::npos &&
        offered.find(letter) == std::string::npos) {
      offered.push_back(letter);
    }
  }
  return offered;
}

std::string MemberPrefix(const JoinedChannel& joined, bool allPrefixes) {
  std::string prefix;
  if (joined.isOperator) prefix.push_back('@');
  if (joined.isVoiced && (allPrefixes || prefix.empty())) prefix.push_back('+');
  return prefix;
}

std::vector<std::string> ChannelTable::NamesList(int index, const irc::UserTable& users,
                                                 bool allPrefixes) const {
  std::vector<std::string> names;
  if (!InRange(index)) return names;
  const ChannelEntry& entry = Entry(index);
  const auto& members = entry.members;
  for (std::size_t position = 0; position < members.size(); ++position) {
    const int slot = users.FindUserByFoldedNick(entry.folded[position]);
    if (slot == irc::kNotFound) continue;
    const auto& joined = users.Slot(slot).channels;
    auto found = std::find_if(joined.begin(), joined.end(),
                              [&](const JoinedChannel& c) { return c.name == entry.name; });
    const std::string prefix = found == joined.end() ? "" : MemberPrefix(*found, allPrefixes);
    names.push_back(prefix + members[position]);
  }
  return names;
}

std::string ChannelTable::NamesText(int index, const irc::UserTable& users,
                                    bool allPrefixes) const {
  std::string text;
  for (const std::string& name : NamesList(index, users, allPrefixes)) {
    text.append(name).push_back(' ');
  }
  if (!text.empty()) text.pop_back();
  return text;
}

int ChannelTable::MemberSlots(int index, const irc::UserTable& users,
                              std::vector<int>& members) const {
  members.clear();
  if (!InRange(index)) return 0;
  const ChannelEntry& entry = Entry(index);
  // A line to a channel looks its members up again only when a member list
  // or a nick's holder has changed since the last: between such changes the
  // lookups give the same slots.
  const std::pair now{memberChanges_, users.HolderChanges()};
  if (entry.memberSlotsFoundAt != now) {
    entry.memberSlots.clear();
    for (const std::string& folded : entry.folded) {
      const int slot = users.FindUserByFoldedNick(folded);
      if (slot != irc::kNotFound) entry.memberSlots.push_back(slot);
    }
    entry.memberSlotsFoundAt = now;
  }
  members = entry.memberSlots;
  return static_cast<int>(members.size());
}

}  // namespace zelkord::irc
