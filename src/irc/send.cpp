// The send side: logging, conversion and queueing of every line to a client.
#include "irc/send.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "net/tcp.h"
#include "text/encoding.h"
#include "text/wire_text.h"

namespace zelkord::irc {

namespace {

constexpr std::uint32_t kTagCapabilities = kCapServerTime | kCapMessageTags;
// Recipients differ in tags only by these two bits, unless in a batch or
// a labeled response.
constexpr std::size_t kTagClasses = 4;

// Whether the slot gets any tags on the lines it is sent.
bool Tagged(const UserSlot& user) {
  return (user.capabilities & kTagCapabilities) != 0 || !user.batchRef.empty() ||
         user.captured != nullptr;
}

// The tags a client with these capabilities gets on the line, without batch
// or label; nowMs is the time of sending, for a line without a stamp.
std::string TagText(std::uint32_t capabilities, const SendTags& tags, std::int64_t nowMs) {
  std::string out;
  if ((capabilities & kCapServerTime) != 0) {
    AppendTag(out, "time", FormatServerTime(tags.stamp != nullptr ? tags.stamp->timeMs : nowMs));
  }
  if ((capabilities & kCapMessageTags) != 0) {
    if (tags.stamp != nullptr) AppendTag(out, "msgid", tags.stamp->msgid);
    if (!tags.clientTags.empty()) {
      if (!out.empty()) out.push_back(';');
      out.append(tags.clientTags);
    }
  }
  return out;
}

// The wire line with its tags in front (none: the line as it is).
std::string WithTags(std::string_view tagText, std::string_view wire) {
  std::string line;
  line.reserve(tagText.size() + 2 + wire.size());
  return line.append("@").append(tagText).append(" ").append(wire);
}

// Queues the encoded line for the user with its tags and its batch, or
// collects it for a labeled response.
// Queues one wire line (without CR LF) to the user's connection and counts
// it, under the protocol lock that is held anyway: a count here costs no
// atomic and no shared cache line, unlike one in the queue.
void Queue(ProtocolState& protocol, net::OutputQueue& output, std::string_view wire)
    REQUIRES(protocol.mutex) {
  // A false result means the peer is being dropped; its thread cleans up.
  if (!output.Enqueue(wire)) return;
  ++protocol.counts.sentLines;
  protocol.counts.sentBytes += wire.size() + 2;
}

void Deliver(ProtocolState& protocol, UserSlot& user, std::string tagText, std::string_view wire)
    REQUIRES(protocol.mutex) {
  if (!user.batchRef.empty()) {
    std::string batch = "batch=" + user.batchRef;
    if (!tagText.empty()) batch.append(";").append(tagText);
    tagText = std::move(batch);
  }
  if (user.captured != nullptr) {
    user.captured->push_back({std::move(tagText), std::string(wire)});
    return;
  }
  Queue(protocol, *user.output, tagText.empty() ? std::string(wire) : WithTags(tagText, wire));
}

// Logs and queues a line of the server's own (ACK, BATCH) with its tags.
void SendTagged(ProtocolState& protocol, int slot, std::string_view tagText, std::string_view text)
    REQUIRES(protocol.mutex) {
  protocol.commLog->LogTraffic(slot, irc::Traffic::Sent, text);
  UserSlot& user = protocol.users->Slot(slot);
  std::string wire;
  text::EncodeLine(user.encoding, text, wire);
  Queue(protocol, *user.output, tagText.empty() ? wire : WithTags(tagText, wire));
}

}  // namespace

void SendLine(ProtocolState& protocol, int socket, std::string_view text, std::string_view utf8Text,
              const SendTags& tags) {
  std::string wire;
  const int slot = protocol.users->FindSlotBySocket(socket);
  if (slot == kNotFound) {
    // Not a connection of ours: one non-blocking attempt, failures ignored.
    text::ToWireText(text, wire);
    wire.append("\r\n");
    (void)send(socket, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  protocol.commLog->LogTraffic(slot, irc::Traffic::Sent, text);
  UserSlot& user = protocol.users->Slot(slot);
  const text::Encoding encoding = user.encoding;
  if (encoding == text::Encoding::Utf8 && !utf8Text.empty()) {
    wire.assign(utf8Text);
  } else {
    text::EncodeLine(encoding, text, wire);
  }
  if (!Tagged(user)) {
    Queue(protocol, *user.output, wire);
    return;
  }
  Deliver(protocol, user, TagText(user.capabilities, tags, NowMs()), wire);
}

void SendToSlots(ProtocolState& protocol, const std::vector<int>& members, std::string_view text,
                 int exceptSlot, std::string_view utf8Text, const SendTags& tags) {
  // Everything the queueing needs of a slot, read in one pass over the
  // slots, whose loads overlap; the queueing pass then touches only the
  // queues, which it fetches ahead of itself.
  struct Recipient {
    net::OutputQueue* queue;
    int slot;
    text::Encoding encoding;
    bool tagged;
  };
  std::vector<int> slots;
  std::vector<Recipient> recipients;
  slots.reserve(members.size());
  recipients.reserve(members.size());
  bool anyTagged = false;
  for (int slot : members) {
    if (slot == exceptSlot) continue;
    const UserSlot& user = protocol.users->Slot(slot);
    if (!user.inUse || !user.output) continue;  // not a live connection of ours
    slots.push_back(slot);
    recipients.push_back({user.output.get(), slot, user.encoding, Tagged(user)});
    anyTagged = anyTagged || recipients.back().tagged;
  }
  // The fields this many queues ahead, the buffer's end half as many.
  constexpr std::size_t kFieldsAhead = 8;
  constexpr std::size_t kBufferAhead = kFieldsAhead / 2;
  const std::size_t count = recipients.size();
  for (std::size_t k = 0; k < std::min(count, kFieldsAhead); ++k) {
    recipients[k].queue->PrefetchFields();
  }
  protocol.commLog->LogSent(slots, text);
  protocol.counts.relayedLines += count;
  // Converted once per encoding in use, not once per recipient; with tags,
  // once per kind of recipient and encoding.
  std::array<std::string, text::kEncodingCount> wire;
  std::array<bool, text::kEncodingCount> made{};
  std::array<std::array<std::string, text::kEncodingCount>, kTagClasses> tagged;
  const std::int64_t nowMs = anyTagged ? NowMs() : 0;
  for (std::size_t k = 0; k < std::min(count, kBufferAhead); ++k) {
    recipients[k].queue->PrefetchBufferEnd();
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (k + kFieldsAhead < count) recipients[k + kFieldsAhead].queue->PrefetchFields();
    if (k + kBufferAhead < count) recipients[k + kBufferAhead].queue->PrefetchBufferEnd();
    const Recipient& recipient = recipients[k];
    const auto index = static_cast<std::size_t>(recipient.encoding);
    if (!made[index]) {
      if (recipient.encoding == text::Encoding::Utf8 && !utf8Text.empty()) {
        wire[index].assign(utf8Text);
      } else {
        text::EncodeLine(recipient.encoding, text, wire[index]);
      }
      made[index] = true;
    }
    if (!recipient.tagged) {
      Queue(protocol, *recipient.queue, wire[index]);  // overflow drops that peer
      continue;
    }
    UserSlot& user = protocol.users->Slot(recipient.slot);
    const std::uint32_t capabilities = user.capabilities & kTagCapabilities;
    if (!user.batchRef.empty() || user.captured != nullptr) {
      Deliver(protocol, user, TagText(capabilities, tags, nowMs), wire[index]);
      continue;
    }
    const std::size_t tagClass =
        (capabilities & kCapServerTime ? 1U : 0U) | (capabilities & kCapMessageTags ? 2U : 0U);
    std::string& line = tagged[tagClass][index];
    if (line.empty()) line = WithTags(TagText(capabilities, tags, nowMs), wire[index]);
    Queue(protocol, *recipient.queue, line);
  }
}

std::string StartBatch(ProtocolState& protocol, int slot, std::string_view type,
                       std::string_view params) {
  UserSlot& user = protocol.users->Slot(slot);
  if ((user.capabilities & kCapBatch) == 0 || !user.batchRef.empty()) return {};
  std::string ref = NewBatchRef();
  std::string kind(type);
  if (!params.empty()) kind.append(" ").append(params);
  SendLine(protocol, user.socket,
           FormatRelay(kRelayBatchStart, {protocol.settings.serverName, ref, kind}));
  user.batchRef = ref;
  return ref;
}

void EndBatch(ProtocolState& protocol, int slot, const std::string& ref) {
  if (ref.empty()) return;
  UserSlot& user = protocol.users->Slot(slot);
  user.batchRef.clear();
  SendLine(protocol, user.socket, FormatRelay(kRelayBatchEnd, {protocol.settings.serverName, ref}));
}

void StartLabeled(ProtocolState& protocol, int slot, std::vector<CapturedLine>& captured) {
  captured.clear();
  protocol.users->Slot(slot).captured = &captured;
}

void FinishLabeled(ProtocolState& protocol, int slot, std::string_view label) {
  UserSlot& user = protocol.users->Slot(slot);
  if (user.captured == nullptr) return;
  const std::vector<CapturedLine> lines = std::move(*user.captured);
  user.captured = nullptr;
  if (!user.output) return;
  std::string labelTag;
  AppendTag(labelTag, "label", label);
  const std::string& server = protocol.settings.serverName;
  if (lines.empty()) {
    SendTagged(protocol, slot, labelTag, FormatRelay(kRelayAck, {server}));
    return;
  }
  if (lines.size() == 1) {
    std::string tagText = labelTag;
    if (!lines[0].tags.empty()) tagText.append(";").append(lines[0].tags);
    Queue(protocol, *user.output, WithTags(tagText, lines[0].wire));
    return;
  }
  // Without batch the lines cannot be told apart from others: sent as they
  // are, unlabeled.
  const bool batched = (user.capabilities & kCapBatch) != 0;
  const std::string ref = batched ? NewBatchRef() : std::string();
  if (batched) {
    SendTagged(protocol, slot, labelTag,
               FormatRelay(kRelayBatchStart, {server, ref, "labeled-response"}));
  }
  for (const CapturedLine& line : lines) {
    std::string tagText;
    // A line of a batch of its own stays in it; that batch's start is in ours.
    if (batched && !line.tags.starts_with("batch=")) {
      tagText = "batch=" + ref;
      if (!line.tags.empty()) tagText.append(";");
    }
    tagText.append(line.tags);
    Queue(protocol, *user.output, tagText.empty() ? line.wire : WithTags(tagText, line.wire));
  }
  if (batched) SendTagged(protocol, slot, {}, FormatRelay(kRelayBatchEnd, {server, ref}));
}

std::string VerbatimRelay(std::string_view relay, std::string_view sjisText,
                          std::string_view utf8Text, std::string_view tail) {
  // A line this long may have lost its end; then every client gets the
  // converted form of what is left.
  if (utf8Text.empty() || relay.size() + 1 >= kRelayMaxBytes) return {};
  const std::size_t textEnd = relay.size() - tail.size();
  if (relay.size() < tail.size() || textEnd < sjisText.size() || relay.substr(textEnd) != tail ||
      relay.substr(textEnd - sjisText.size(), sjisText.size()) != sjisText) {
    return {};
  }
  std::string head;
  std::string end;
  text::EncodeLine(text::Encoding::Utf8, relay.substr(0, textEnd - sjisText.size()), head);
  text::EncodeLine(text::Encoding::Utf8, tail, end);
  return head.append(utf8Text).append(end);
}

void SendNumeric(ProtocolState& protocol, int slot, int code,
                 std::initializer_list<FormatArg> values) {
  const UserSlot& user = protocol.users->Slot(slot);
  std::string text;
  FormatNumeric(text, protocol.settings.serverName, code, user.Nick(), values);
  SendLine(protocol, user.socket, text);
}

void SendReply(ProtocolState& protocol, int slot, int code,
               std::initializer_list<FormatArg> values) {
  const UserSlot& user = protocol.users->Slot(slot);
  std::string text;
  FormatNumeric(text, protocol.settings.serverName, code,
                user.Registered() ? std::string_view(user.Nick()) : std::string_view("*"), values);
  SendLine(protocol, user.socket, text);
}

void SendClientLine(int socket, std::string_view text) {
  // A failed send is noticed by the operator client's reader, if at all.
  (void)net::TcpSendLine(socket, text::ToWireText(text));
}

}  // namespace zelkord::irc
