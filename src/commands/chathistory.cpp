// CHATHISTORY: a channel's past lines from the history store, in a
// chathistory batch, for its members only. The store is read before the
// protocol lock is taken (PrepareChathistory), so a slow read delays only
// the client that asked; the handler then only sends what was found.
#include <charconv>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "base/sjis.h"
#include "commands/handlers.h"
#include "history/store.h"
#include "irc/name_rules.h"
#include "text/encoding.h"

namespace zelkord::commands {
namespace {

using history::Position;
using history::Row;

// How long a reader waits for lines the writer has not committed yet.
constexpr std::chrono::milliseconds kSettleWait{250};

// A message reference as a request gives it: "*", "timestamp=<time>" or
// "msgid=<id>".
struct Reference {
  enum class Kind { Star, Time, Msgid, Invalid } kind = Kind::Invalid;
  std::int64_t timeMs = 0;
  std::string msgid;
};

Reference ParseReference(std::string_view word) {
  Reference reference;
  if (word == "*") {
    reference.kind = Reference::Kind::Star;
  } else if (word.starts_with("timestamp=")) {
    const std::optional<std::int64_t> timeMs = irc::ParseServerTime(word.substr(10));
    if (timeMs) {
      reference.kind = Reference::Kind::Time;
      reference.timeMs = *timeMs;
    }
  } else if (word.starts_with("msgid=") && word.size() > 6) {
    reference.kind = Reference::Kind::Msgid;
    reference.msgid = word.substr(6);
  }
  return reference;
}

// A limit is a positive number; more than the store's most is that most.
std::optional<std::size_t> ParseLimit(std::string_view word, std::size_t most) {
  std::size_t limit = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), limit);
  if (error != std::errc() || end != word.data() + word.size() || limit == 0) return std::nullopt;
  return std::min(limit, most);
}

// Internal text as UTF-8, the store's text.
std::string Utf8(std::string_view sjis) {
  std::string out;
  text::EncodeLine(text::Encoding::Utf8, sjis, out);
  return out;
}

// The store's answer to one channel request, oldest first.
// A time is an exclusive bound: as a lower bound it lies after every line
// of its millisecond, as an upper bound before them, so a client paging by
// the time of the last line it has is not sent that line again.
std::optional<Position> Resolve(history::Store& store, std::string_view target,
                                const Reference& reference, bool lower) {
  if (reference.kind == Reference::Kind::Time) {
    return Position{reference.timeMs, lower ? INT64_MAX : 0};
  }
  if (reference.kind == Reference::Kind::Msgid) return store.FindMsgid(target, reference.msgid);
  return std::nullopt;
}

std::vector<Row> ReadRows(history::Store& store, std::string_view subcommand,
                          std::string_view target, const Reference& first, const Reference& second,
                          std::size_t limit, history::Lines lines) {
  if (subcommand == "LATEST") {
    return store.Latest(target, Resolve(store, target, first, true), limit, lines);
  }
  // A msgid the store does not hold reads as no lines, as a time outside
  // the kept days does.
  std::optional<Position> from = Resolve(store, target, first, subcommand == "AFTER");
  if (!from) return {};
  if (subcommand == "BEFORE") return store.Before(target, *from, limit, lines);
  if (subcommand == "AFTER") return store.After(target, *from, limit, lines);
  if (subcommand == "AROUND") return store.Around(target, *from, limit, lines);
  std::optional<Position> to = Resolve(store, target, second, false);
  if (!to) return {};
  if (from->timeMs == to->timeMs && first.kind == second.kind &&
      first.kind == Reference::Kind::Time) {
    return {};  // nothing lies strictly between a time and itself
  }
  // Counted from the first reference, up or down the channel's lines.
  const bool upward =
      from->timeMs < to->timeMs || (from->timeMs == to->timeMs && from->id < to->id);
  if (first.kind == Reference::Kind::Time) from->id = upward ? INT64_MAX : 0;
  if (second.kind == Reference::Kind::Time) to->id = upward ? 0 : INT64_MAX;
  return store.Between(target, *from, *to, limit, lines);
}

}  // namespace

HistoryAnswer PrepareChathistory(irc::ProtocolState& protocol, int slot,
                                 const irc::ParamFields& fields, int count) {
  // Fields past count hold an earlier line's values.
  auto field = [&fields, count](int i) -> std::string_view {
    return i < count ? std::string_view(fields[static_cast<std::size_t>(i)]) : std::string_view();
  };
  HistoryAnswer answer;
  answer.subcommand = base::UpperCase(field(0));
  const std::string_view sub = answer.subcommand;
  const bool targets = sub == "TARGETS";
  const bool between = sub == "BETWEEN";
  if (!targets && !between && sub != "LATEST" && sub != "BEFORE" && sub != "AFTER" &&
      sub != "AROUND") {
    answer.fail = "UNKNOWN_COMMAND";
    return answer;
  }
  answer.target = field(1);
  // The fourth field holds the rest of the line: BETWEEN's second
  // reference and its limit.
  std::string_view last = field(3);
  std::string_view secondWord = field(2);
  if (between) {
    const std::size_t space = last.find(' ');
    secondWord = last.substr(0, space);
    last = space == std::string_view::npos ? std::string_view() : last.substr(space + 1);
  }
  const Reference first = ParseReference(field(targets ? 1 : 2));
  const Reference second = ParseReference(secondWord);
  history::Store* store = protocol.history;
  const std::optional<std::size_t> limit = ParseLimit(last, protocol.historyMax);
  const bool firstValid =
      sub == "LATEST" ? first.kind != Reference::Kind::Invalid
                      : first.kind == Reference::Kind::Time || first.kind == Reference::Kind::Msgid;
  const bool secondValid = targets ? second.kind == Reference::Kind::Time
                                   : !between || second.kind == Reference::Kind::Time ||
                                         second.kind == Reference::Kind::Msgid;
  if (!limit || !firstValid || !secondValid || (targets && first.kind != Reference::Kind::Time)) {
    answer.fail = "INVALID_PARAMS";
    return answer;
  }
  if (targets) {
    answer.targets = true;
    std::vector<std::string> names;
    {
      irc::ProtocolLock lock(protocol);
      for (const irc::JoinedChannel& joined : protocol.users->Slot(slot).channels) {
        names.push_back(Utf8(joined.name));
      }
    }
    if (store != nullptr) {
      (void)store->Settle(kSettleWait);
      answer.targetTimes = store->Targets(names, std::min(first.timeMs, second.timeMs),
                                          std::max(first.timeMs, second.timeMs), *limit);
    }
    return answer;
  }
  bool member = false;
  bool eventPlayback = false;
  {
    irc::ProtocolLock lock(protocol);
    const irc::UserSlot& self = protocol.users->Slot(slot);
    const int index = protocol.channels->FindChannel(answer.target);
    member = index != irc::kNotFound &&
             FindJoined(self, protocol.channels->ChannelName(index)) != nullptr;
    eventPlayback = (self.capabilities & irc::kCapEventPlayback) != 0;
  }
  if (!member) {
    // Private messages are never kept: a nick has no history to show.
    if (irc::CheckChannelName(answer.target) != irc::ChannelNameCheck::NotAChannel) {
      answer.fail = "INVALID_TARGET";
    }
    return answer;
  }
  if (store == nullptr) {
    answer.fail = "MESSAGE_ERROR";
    return answer;
  }
  // Lines relayed a moment ago (the asker's own JOIN, what was said just
  // before it) may still wait for the writer; a stuck store is not waited
  // for long.
  (void)store->Settle(kSettleWait);
  answer.rows = ReadRows(*store, sub, Utf8(answer.target), first, second, *limit,
                         eventPlayback ? history::Lines::All : history::Lines::MessagesOnly);
  return answer;
}

void RecordHistory(irc::ProtocolState& protocol, const irc::UserSlot& sender,
                   const irc::MessageStamp& stamp, std::string_view kind, std::string_view channel,
                   std::string_view param, std::string_view sjisText, std::string_view utf8Text,
                   std::string_view senderNick) {
  if (protocol.history == nullptr) return;
  Row row;
  row.timeMs = stamp.timeMs;
  row.msgid = stamp.msgid;
  row.kind = kind;
  row.target = Utf8(channel);
  const std::string_view nick = senderNick.empty() ? sender.Nick() : senderNick;
  row.prefix = Utf8(std::string(nick) + "!" + sender.userName + "@" + sender.address);
  row.param = Utf8(param);
  row.text = utf8Text.empty() ? Utf8(sjisText) : std::string(utf8Text);
  // A full queue drops the row; the store counts and reports it.
  (void)protocol.history->Append(std::move(row));
}

namespace {

// The stored line as a UTF-8 client would have been sent it.
std::string Utf8Line(const Row& row) {
  std::string line = ":" + row.prefix + " " + row.kind;
  if (row.kind == "JOIN") return line.append(" :").append(row.target);
  if (row.kind == "NICK") return line.append(" :").append(row.param);
  if (row.kind != "QUIT") line.append(" ").append(row.target);
  if (row.kind == "KICK") line.append(" ").append(row.param);
  // A PART without a reason had none.
  if (row.kind == "PART" && row.text.empty()) return line;
  return line.append(" :").append(row.text);
}

void SendRow(const Step& step, const Row& row) REQUIRES(step.protocol.mutex) {
  const std::string utf8 = Utf8Line(row);
  // Other clients get it as if a UTF-8 client had sent it now.
  std::string sjis;
  text::DecodeLine(text::Encoding::Utf8, utf8, sjis);
  const irc::MessageStamp stamp{row.timeMs, row.msgid};
  irc::SendLine(step.protocol, step.self.socket, sjis, utf8, {&stamp});
}

void SendFail(const Step& step, const HistoryAnswer& answer) REQUIRES(step.protocol.mutex) {
  const bool named = answer.fail == "INVALID_TARGET" || answer.fail == "MESSAGE_ERROR";
  std::string context = answer.subcommand;
  if (named) context.append(" ").append(answer.target);
  const std::string_view text = answer.fail == "UNKNOWN_COMMAND" ? "Unknown command"
                                : answer.fail == "INVALID_PARAMS"
                                    ? "Invalid parameters"
                                    : "Messages could not be retrieved";
  irc::SendLine(step.protocol, step.self.socket,
                irc::FormatRelay(irc::kRelayFail, {step.protocol.settings.serverName, "CHATHISTORY",
                                                   answer.fail, context, text}));
}

}  // namespace

irc::ConnState HandleChathistory(const Step& step) {
  const HistoryAnswer& answer = *step.history;
  if (!answer.fail.empty()) {
    SendFail(step, answer);
    return step.state;
  }
  if (answer.targets) {
    const std::string ref = irc::StartBatch(step.protocol, step.slot, "draft/chathistory-targets");
    for (const auto& [name, timeMs] : answer.targetTimes) {
      std::string sjis;
      text::DecodeLine(text::Encoding::Utf8, name, sjis);
      irc::SendLine(
          step.protocol, step.self.socket,
          irc::FormatRelay(irc::kRelayHistoryTarget, {step.protocol.settings.serverName, sjis,
                                                      irc::FormatServerTime(timeMs)}));
    }
    irc::EndBatch(step.protocol, step.slot, ref);
    return step.state;
  }
  const std::string ref = irc::StartBatch(step.protocol, step.slot, "chathistory", answer.target);
  for (const Row& row : answer.rows) SendRow(step, row);
  irc::EndBatch(step.protocol, step.slot, ref);
  return step.state;
}

}  // namespace zelkord::commands
