// The channel table: every channel from its first member's join until its
// last member leaves, in creation order, addressed by index (valid until the
// next removal). Each channel keeps its members in join order, its topic
// text, three fixed status texts and its bounded conversation view, and may
// hand each view line to the day-log writer, which appends it to the day's
// file on its own thread (never under the protocol lock). Membership has
// two halves kept in step here: the channel's member list and the member
// slot's joined channel list, which alone carries the operator flag. All of
// it is guarded by the server's protocol lock; the table stores and looks
// up, it never sends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bounded_lines.h"
#include "base/file_writer.h"
#include "irc/desk.h"
#include "irc/user_table.h"

namespace zelkord::irc {

inline constexpr std::string_view kTopicPrefix = "topic:";

// The channel-mode letters the server implements: b (ban list), k and l
// (which take a parameter when set), the flags and the member prefixes.
inline constexpr std::string_view kChannelModeLetters = "biklmnopstv";
inline constexpr std::string_view kChannelFlagLetters = "imnpst";
// The most bans one channel keeps (005 MAXLIST), and the most
// parameter-taking changes one MODE line makes (005 MODES).
inline constexpr std::size_t kMaxBans = 50;
inline constexpr int kMaxModeChanges = 4;

// One entry of a channel's ban list: the mask as kept (normalised), who set
// it (nick!user@host) and when (Unix time).
struct ChannelBan {
  std::string mask;
  std::string setter;
  std::int64_t setAt = 0;
};

// A channel's own modes; the member prefixes live in each member's
// JoinedChannel.
struct ChannelModes {
  std::string flags;  // the set letters of kChannelFlagLetters, in that order
  std::string key;    // empty: no key
  int limit = 0;      // 0: no limit
  std::vector<ChannelBan> bans;

  [[nodiscard]] bool Has(char letter) const { return flags.find(letter) != std::string::npos; }
  // Sets or clears a flag letter; false when that changed nothing.
  bool SetFlag(char letter, bool on);
  // "+" and the letters in alphabetical order, k and l included when set
  // ("+klnt").
  [[nodiscard]] std::string Letters() const;
};

struct ChannelEntry {
  std::string name;
  std::vector<std::string> members;  // nicks in join order, as spelled at join
  std::vector<std::string> folded;   // the same nicks upper-cased, for lookups
  std::string topicText{kTopicPrefix};
  ChannelModes modes;
  std::int64_t createdAt = 0;  // Unix time of creation, for 329
  base::BoundedLines view;
  // The members' slots as MemberSlots last found them, and the change
  // counts (the channel table's, the user table's) they were found at.
  mutable std::vector<int> memberSlots;
  mutable std::pair<std::uint64_t, std::uint64_t> memberSlotsFoundAt{0, 0};
};

// What the day log needs to know, fixed at start-up.
struct ChannelLogOptions {
  std::size_t lines = 200;  // the view keeps lines + 1
  bool save = false;        // write day log files (through writer)
  std::string path;         // folder of the day logs, ending in '/'
  // The day-log writer, owned by the server and outliving every append;
  // without one nothing is saved.
  base::FileWriter* writer = nullptr;
  std::string operatorNick;  // the operator client's nick: operator wherever it joins
  std::string initialFlags;  // the flag letters a new channel starts with
};

// The channel-mode letters offered: those of the Server.ChanMode text the
// server implements, in the text's order. A letter left out is an unknown
// mode. Any thread.
[[nodiscard]] std::string OfferedChannelModes(std::string_view chanMode);

// A member's prefix: "@" for an operator, "+" for a voiced member; both
// with allPrefixes (multi-prefix), else the highest. Any thread.
[[nodiscard]] std::string MemberPrefix(const JoinedChannel& joined, bool allPrefixes);

// true when the channel name can name a folder inside the log folder: no
// '/', no NUL, no backslash character (a Shift_JIS trail byte 0x5C is part
// of its kanji, not a backslash), and neither "." nor "..". Any thread.
[[nodiscard]] bool IsLoggableChannelName(std::string_view name);

class ChannelTable {
 public:
  ChannelTable(int capacity, ChannelLogOptions options, irc::Desk& desk);
  ChannelTable(const ChannelTable&) = delete;
  ChannelTable& operator=(const ChannelTable&) = delete;

  [[nodiscard]] int Count() const { return static_cast<int>(entries_.size()); }
  [[nodiscard]] int Capacity() const { return capacity_; }
  [[nodiscard]] const ChannelEntry& Entry(int index) const {
    return entries_[static_cast<std::size_t>(index)];
  }

  // Index of the channel named exactly name, or kNotFound.
  [[nodiscard]] int FindChannel(std::string_view name) const;
  // Creates an empty channel at the end; 0, or kNotFound when the table is full.
  [[nodiscard]] int CreateChannel(std::string_view name);
  // Joins the user (creating the channel when needed). The channel index, or
  // kNotFound when the table is full or the nick is already a member.
  [[nodiscard]] int AddMember(irc::UserSlot& user, std::string_view name);
  // Leaves; destroys a channel left empty. kNotFound when there is no such
  // channel or the user is not a member, else a non-negative value.
  [[nodiscard]] int RemoveMember(irc::UserSlot& user, std::string_view name);
  // Sets "topic:" + topic + " by " + nick. The index, or kNotFound.
  [[nodiscard]] int SetTopic(const irc::UserSlot& user, std::string_view name,
                             std::string_view topic);
  // The topic text after "topic:", empty when none was set or no such channel.
  [[nodiscard]] std::string GetTopic(std::string_view name) const;
  // The channel's modes, to change in place; the caller tells the desk
  // (ModesChanged) once it is done. Index in range.
  [[nodiscard]] ChannelModes& Modes(int index) {
    return entries_[static_cast<std::size_t>(index)].modes;
  }
  // Tells the window the channel's modes or member prefixes changed.
  void ModesChanged(int index);
  // Index-addressed reads; an index out of range gives 0 or "".
  [[nodiscard]] int MemberCount(int index) const;
  [[nodiscard]] std::string ChannelName(int index) const;
  [[nodiscard]] std::string MemberAt(int index, int position) const;
  // Appends to the view and, when saving, queues the line for the day log
  // (dropped when the writer's queue is full); out of range: nothing.
  void AppendLine(int index, std::string_view line);
  // Replaces the first member folding equal to oldNick in every channel.
  void RenameMember(std::string_view oldNick, std::string_view newNick);
  // Members of live slots, each after its prefix ("@" operator, "+" voice;
  // both with allPrefixes, else the highest), separated by spaces.
  [[nodiscard]] std::string NamesText(int index, const irc::UserTable& users,
                                      bool allPrefixes = false) const;
  // The same names one by one, so a long list can be split between names.
  [[nodiscard]] std::vector<std::string> NamesList(int index, const irc::UserTable& users,
                                                   bool allPrefixes = false) const;
  // The members' live slots, in member order; returns the count.
  int MemberSlots(int index, const irc::UserTable& users, std::vector<int>& members) const;

 private:
  [[nodiscard]] bool InRange(int index) const { return index >= 0 && index < Count(); }
  void WriteDayLog(const ChannelEntry& entry, std::string_view line) const;

  int capacity_;
  ChannelLogOptions options_;
  irc::Desk& desk_;
  std::vector<ChannelEntry> entries_;
  std::uint64_t memberChanges_ = 1;  // counts every change to any member list
};

}  // namespace zelkord::irc
