// MODE on a channel: the query (324, 329), the ban list (367, 368) and
// changes to the channel's flags, key, limit, bans and member prefixes,
// relayed to the members as one line of the changes made. Any other target
// is a user's, for HandleUserMode.
#include <algorithm>
#include <charconv>
#include <ctime>
#include <string>
#include <vector>

#include "base/sjis.h"
#include "commands/handlers.h"
#include "irc/name_rules.h"

namespace zelkord::commands {
namespace {

// The highest limit +l takes; larger numbers are refused as not a limit.
constexpr int kMostLimit = 99999;

// The parameter text split into words as the protocol splits it: runs of
// spaces separate, and a word starting with ':' takes the rest of the line.
// The fixed fields of the step hold too few for a full MODE line.
std::vector<std::string_view> SplitWords(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    if (text[at] == ':') {
      words.push_back(text.substr(at + 1));
      break;
    }
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

irc::JoinedChannel* FindJoinedMutable(irc::UserSlot& user, std::string_view name) {
  auto found = std::find_if(user.channels.begin(), user.channels.end(),
                            [&](const irc::JoinedChannel& c) { return c.name == name; });
  return found == user.channels.end() ? nullptr : &*found;
}

void SendModeIs(const Step& step, int index) REQUIRES(step.protocol.mutex) {
  const irc::ChannelEntry& entry = step.channels.Entry(index);
  const irc::ChannelModes& modes = entry.modes;
  std::string text = modes.Letters();
  // Only members learn the key; others see a stand-in, so the parameters
  // still line up with the letters.
  if (!modes.key.empty()) {
    text.append(" ").append(FindJoined(step.self, entry.name) ? modes.key : "<key>");
  }
  if (modes.limit > 0) text.append(" ").append(std::to_string(modes.limit));
  irc::SendNumeric(step.protocol, step.slot, irc::kRplChannelModeIs, {entry.name, text});
  irc::SendNumeric(step.protocol, step.slot, irc::kRplCreationTime,
                   {entry.name, std::to_string(entry.createdAt)});
}

void SendBanList(const Step& step, int index) REQUIRES(step.protocol.mutex) {
  const irc::ChannelEntry& entry = step.channels.Entry(index);
  for (const irc::ChannelBan& ban : entry.modes.bans) {
    irc::SendNumeric(step.protocol, step.slot, irc::kRplBanList,
                     {entry.name, ban.mask, ban.setter, std::to_string(ban.setAt)});
  }
  irc::SendNumeric(step.protocol, step.slot, irc::kRplEndOfBanList, {entry.name});
}

// A positive limit, or 0 when the text is not one.
int ParseLimit(std::string_view text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value <= 0 || value > kMostLimit) {
    return 0;
  }
  return value;
}

// A key must survive JOIN's comma list and the line's word split.
bool IsUsableKey(std::string_view key) {
  return !key.empty() && key.front() != ':' && key.find(',') == std::string_view::npos;
}

// The changes made so far, as the relay line's mode text.
class ChangeText {
 public:
  void Add(bool adding, char letter, std::string_view param = {}) {
    const char sign = adding ? '+' : '-';
    if (sign != sign_) letters_.push_back(sign);
    sign_ = sign;
    letters_.push_back(letter);
    if (!param.empty()) params_.append(" ").append(param);
  }
  [[nodiscard]] bool Empty() const { return letters_.empty(); }
  [[nodiscard]] std::string Text() const { return letters_ + params_; }

 private:
  char sign_ = 0;
  std::string letters_;
  std::string params_;
};

class ModeChange {
 public:
  ModeChange(const Step& step, int index) REQUIRES(step.protocol.mutex)
      : index_(index), name_(step.channels.ChannelName(index)) {}

  // One change of the line; param is empty for none.
  void Apply(const Step& step, bool adding, char letter, std::string_view param)
      REQUIRES(step.protocol.mutex) {
    irc::ChannelModes& modes = step.channels.Modes(index_);
    switch (letter) {
      case 'o':
      case 'v':
        return ApplyPrefix(step, adding, letter, param);
      case 'b':
        return ApplyBan(step, adding, param);
      case 'k':
        if (!adding) {
          if (modes.key.empty()) return;
          changes_.Add(false, 'k', modes.key);
          modes.key.clear();
        } else if (IsUsableKey(param) && modes.key != param) {
          modes.key.assign(param);
          changes_.Add(true, 'k', param);
        }
        return;
      case 'l': {
        const int limit = adding ? ParseLimit(param) : 0;
        if ((adding && limit == 0) || limit == modes.limit) return;
        modes.limit = limit;
        changes_.Add(adding, 'l', adding ? std::to_string(limit) : "");
        return;
      }
      default:
        if (modes.SetFlag(letter, adding)) changes_.Add(adding, letter);
        return;
    }
  }

  // Relays the changes made, if any, to every member and to the changer.
  void Finish(const Step& step) REQUIRES(step.protocol.mutex) {
    if (changes_.Empty()) return;
    const irc::UserSlot& self = step.self;
    std::string relay;
    irc::FormatRelay(relay, irc::kRelayMode,
                     {self.Nick(), self.userName, self.address, name_, changes_.Text()});
    std::vector<int> members;
    step.channels.MemberSlots(index_, step.users, members);
    // A server operator changing a channel from outside sees it done too.
    if (FindJoined(self, name_) == nullptr) members.push_back(step.slot);
    irc::SendToSlots(step.protocol, members, relay);
    step.channels.ModesChanged(index_);
  }

 private:
  void ApplyPrefix(const Step& step, bool adding, char letter, std::string_view nick)
      REQUIRES(step.protocol.mutex) {
    const int target = step.users.FindUserByNick(nick);
    if (target == irc::kNotFound) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchNick, {nick});
      return;
    }
    irc::UserSlot& user = step.users.Slot(target);
    irc::JoinedChannel* joined = FindJoinedMutable(user, name_);
    if (joined == nullptr) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrUserNotInChannel, {user.Nick(), name_});
      return;
    }
    bool& flag = letter == 'o' ? joined->isOperator : joined->isVoiced;
    if (flag == adding) return;
    flag = adding;
    changes_.Add(adding, letter, user.Nick());
  }

  void ApplyBan(const Step& step, bool adding, std::string_view param)
      REQUIRES(step.protocol.mutex) {
    std::vector<irc::ChannelBan>& bans = step.channels.Modes(index_).bans;
    const std::string mask = irc::NormalizeBanMask(param);
    auto same = std::find_if(bans.begin(), bans.end(), [&](const irc::ChannelBan& ban) {
      return base::EqualsFolded(ban.mask, mask);
    });
    if (!adding) {
      if (same == bans.end()) return;
      changes_.Add(false, 'b', same->mask);
      bans.erase(same);
      return;
    }
    if (same != bans.end()) return;
    if (bans.size() >= irc::kMaxBans) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrBanListFull, {name_, mask});
      return;
    }
    const irc::UserSlot& self = step.self;
    bans.push_back({mask, self.Nick() + "!" + self.userName + "@" + self.address,
                    static_cast<std::int64_t>(std::time(nullptr))});
    changes_.Add(true, 'b', mask);
  }

  int index_;
  std::string name_;
  ChangeText changes_;
};

// Whether the letter takes a parameter in this direction: the list and
// prefix letters and the key always, the limit only when set.
bool TakesParam(char letter, bool adding) {
  return letter == 'b' || letter == 'o' || letter == 'v' || letter == 'k' ||
         (letter == 'l' && adding);
}

void ChangeModes(const Step& step, int index, const std::vector<std::string_view>& words)
    REQUIRES(step.protocol.mutex) {
  const std::string offered = irc::OfferedChannelModes(step.protocol.settings.serverChanMode);
  const irc::JoinedChannel* mine = FindJoined(step.self, step.channels.ChannelName(index));
  // A server operator may change any channel's modes, member or not.
  const bool isOperator = (mine != nullptr && mine->isOperator) || IsServerOperator(step.self);
  ModeChange change(step, index);
  bool adding = true;
  bool refused = false;
  bool listed = false;
  int withParams = 0;
  std::size_t next = 2;
  for (char letter : words[1]) {
    if (letter == '+' || letter == '-') {
      adding = letter == '+';
      continue;
    }
    if (offered.find(letter) == std::string::npos) {
      irc::SendNumeric(step.protocol, step.slot, irc::kErrUnknownMode, {std::string(1, letter)});
      continue;
    }
    std::string_view param;
    if (TakesParam(letter, adding)) {
      if (next < words.size()) {
        param = words[next++];
      } else if (letter == 'b') {
        // A ban letter without a mask asks for the list, once a line.
        if (!listed) SendBanList(step, index);
        listed = true;
        continue;
      } else if (letter != 'k') {  // "-k" alone clears whatever key is set
        irc::SendNumeric(step.protocol, step.slot, irc::kErrNeedMoreParams, {"MODE"});
        continue;
      }
    }
    if (!isOperator) {
      if (!refused) {
        irc::SendNumeric(step.protocol, step.slot, irc::kErrChanOpPrivsNeeded,
                         {step.channels.ChannelName(index)});
      }
      refused = true;
      continue;
    }
    // Changes with a parameter beyond MODES are dropped, as if not asked.
    if (!param.empty() && withParams++ >= irc::kMaxModeChanges) continue;
    change.Apply(step, adding, letter, param);
  }
  change.Finish(step);
}

}  // namespace

bool IsBanned(const irc::ChannelModes& modes, const irc::UserSlot& user) {
  // Every channel message asks: most channels have no ban to build a mask for.
  if (modes.bans.empty()) return false;
  const std::string mask = user.Nick() + "!" + user.userName + "@" + user.address;
  return std::any_of(modes.bans.begin(), modes.bans.end(),
                     [&](const irc::ChannelBan& ban) { return irc::MatchMask(ban.mask, mask); });
}

irc::ConnState HandleMode(const Step& step) {
  const std::string& name = step.fields[0];
  if (name.empty() || irc::kChannelTypes.find(name.front()) == std::string_view::npos) {
    return HandleUserMode(step);
  }
  const int index = step.channels.FindChannel(name);
  if (index == irc::kNotFound) {
    irc::SendNumeric(step.protocol, step.slot, irc::kErrNoSuchChannel, {name});
    return step.state;
  }
  const std::vector<std::string_view> words = SplitWords(step.params);
  if (words.size() < 2 || words[1].empty()) {
    SendModeIs(step, index);
  } else {
    ChangeModes(step, index, words);
  }
  return step.state;
}

}  // namespace zelkord::commands
