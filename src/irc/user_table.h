// The connection table: one slot per accepted IRC connection, named
// everywhere by its index, and the user list (the registered nicknames in
// registration order) that the window shows. The table never grows, and
// what a connection or a registration does here does not grow with the
// number of users. It is plain data: the server's protocol lock guards all
// of it, and the notifications to the desk are made by the callers in the
// server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/output_queue.h"
#include "text/encoding.h"

namespace zelkord::irc {

inline constexpr int kNotFound = -1;

struct JoinedChannel {
  std::string name;  // the channel name as joined
  bool isOperator = false;
  bool isVoiced = false;
};

// The bits of UserSlot::capabilities; the capability table names them.
inline constexpr std::uint32_t kCapNotify = 1U << 0;
inline constexpr std::uint32_t kCapMultiPrefix = 1U << 1;
inline constexpr std::uint32_t kCapUserhostInNames = 1U << 2;
inline constexpr std::uint32_t kCapAwayNotify = 1U << 3;
inline constexpr std::uint32_t kCapInviteNotify = 1U << 4;
inline constexpr std::uint32_t kCapMessageTags = 1U << 5;
inline constexpr std::uint32_t kCapServerTime = 1U << 6;
inline constexpr std::uint32_t kCapEchoMessage = 1U << 7;
inline constexpr std::uint32_t kCapBatch = 1U << 8;
inline constexpr std::uint32_t kCapLabeledResponse = 1U << 9;
inline constexpr std::uint32_t kCapChathistory = 1U << 10;
inline constexpr std::uint32_t kCapEventPlayback = 1U << 11;

// A line held back for a labeled response: its tags for this client (no
// label, no batch) and the line as encoded for its wire, without CR LF.
struct CapturedLine {
  std::string tags;
  std::string wire;
};

// The most invitations a user holds at once; a further one drops the oldest.
inline constexpr std::size_t kInvitationsKept = 16;

// Every field is guarded by the server's protocol lock, except the atomics.
struct UserSlot {
  bool inUse = false;
  // Written by the connection's own thread after each receive, without the
  // protocol lock; cleared by the liveness sweep under it.
  std::atomic<bool> alive{false};
  bool userGiven = false;
  // Capability negotiation: the bits of the capabilities the client
  // enabled (see the capability table), whether it named version 302 or
  // later, and whether registration waits for its CAP END.
  std::uint32_t capabilities = 0;
  bool capVersion302 = false;
  bool capHeld = false;
  // The batch the lines sent to the client now belong to (empty: none),
  // and, while a labeled command runs, where its response is collected
  // instead of being queued.
  std::string batchRef;
  std::vector<CapturedLine>* captured = nullptr;
  int sweepsUnregistered = 0;  // liveness sweeps seen before registration
  int socket = -1;
  std::string address;  // the peer's address as shown: dotted IPv4, or IPv6 text ("0::1")
  // The SHA-256 fingerprint (hex) of the client certificate offered over
  // TLS; empty without one.
  std::string certificateFingerprint;
  bool tls = false;  // the connection came in on the TLS port
  std::string userName;
  std::string hostName;
  std::string serverName;
  std::string realName;
  std::vector<JoinedChannel> channels;  // valid while registered; at most the channel capacity
  // The away message (empty: here), and the channels the user was invited
  // to and has not joined since, oldest first, at most kInvitationsKept.
  std::string awayText;
  std::vector<std::string> invitations;
  std::shared_ptr<net::OutputQueue> output;
  // Receives WALLOPS (+w). +i and +o are read with Invisible() and
  // ServerOperator() and set through UserTable, which counts them.
  bool wallops = false;
  // Failed OPER attempts in a row, and when the last one failed: a
  // connection that fails too often is refused unheard for a while.
  int operFailures = 0;
  std::chrono::steady_clock::time_point lastOperFailure;
  // Killed by an operator (set under the protocol lock): its own thread
  // handles no further line and closes the connection.
  std::atomic<bool> killed{false};
  // The desk's own operator client: not counted against its address's
  // limit and not flood-limited.
  bool operatorClient = false;
  // The wire encoding of the connection's lines, both ways. Set at
  // admission; afterwards changed only by the connection's own thread (on
  // evidence in a received line, or CHARSET, which pins it), and read by
  // every thread that sends to it.
  std::atomic<text::Encoding> encoding{text::Encoding::Iso2022Jp};
  std::atomic<bool> encodingPinned{false};

  // The nickname exactly as the client gave it. Changed only through
  // UserTable::SetNick, which keeps the nick index in step.
  [[nodiscard]] const std::string& Nick() const { return nick_; }
  // Whether the slot holds a registered user, and whether its nick was free
  // when it was given. Changed only through UserTable, which counts every
  // change to which slot a nick lookup finds.
  [[nodiscard]] bool Registered() const { return registered_; }
  [[nodiscard]] bool NickAccepted() const { return nickAccepted_; }
  // Invisible (+i), and server operator (+o, given only by OPER).
  [[nodiscard]] bool Invisible() const { return invisible_; }
  [[nodiscard]] bool ServerOperator() const { return serverOperator_; }

 private:
  friend class UserTable;
  std::string nick_;
  bool registered_ = false;
  bool nickAccepted_ = false;
  bool invisible_ = false;
  bool serverOperator_ = false;
  std::uint64_t registeredAt_ = 0;  // orders the user list
};

class UserTable {
 public:
  UserTable(int capacity, int channelCapacity);
  UserTable(const UserTable&) = delete;
  UserTable& operator=(const UserTable&) = delete;

  [[nodiscard]] int Capacity() const { return static_cast<int>(slots_.size()); }
  [[nodiscard]] int ChannelCapacity() const { return channelCapacity_; }
  [[nodiscard]] int RegisteredCount() const { return registeredCount_; }
  // The registered users that are invisible, and the server operators:
  // counted as they change, as every welcome reports them.
  [[nodiscard]] int InvisibleCount() const { return invisibleCount_; }
  [[nodiscard]] int OperatorCount() const { return operatorCount_; }
  // Registrations since the table was made.
  [[nodiscard]] std::uint64_t Registrations() const { return registrations_; }
  // The most users registered at once since start-up.
  [[nodiscard]] int RegisteredMax() const { return registeredMax_; }
  [[nodiscard]] UserSlot& Slot(int index) { return slots_[static_cast<std::size_t>(index)]; }
  [[nodiscard]] const UserSlot& Slot(int index) const {
    return slots_[static_cast<std::size_t>(index)];
  }

  // Claims the lowest free slot for a new connection and clears its
  // registration data, nickname included (a new connection must not
  // inherit the previous holder's nick). Returns the index or kNotFound
  // when every slot is in use.
  [[nodiscard]] int ClaimSlot(std::shared_ptr<net::OutputQueue> output, std::string_view address,
                              bool operatorClient = false);

  // How many in-use slots but the operator client's hold the address.
  [[nodiscard]] int AddressCount(std::string_view address) const;

  // Frees the slot; its connection reference is dropped.
  void ReleaseSlot(int index);

  // false for an empty nick or when any other in-use slot (registered or
  // not) holds the same nick after upper-casing.
  [[nodiscard]] bool IsNickFree(int index) const;

  // Marks the slot registered with an empty channel list and appends its
  // nick to the user list.
  void RegisterUser(int index);

  // Removes the first user-list row that folds equal to the slot's nick,
  // drops its channel list and marks it unregistered.
  void UnregisterUser(int index);

  // The lowest in-use slot whose nick folds equal to nick and is held:
  // registered, or registering with the nick accepted. kNotFound otherwise.
  [[nodiscard]] int FindUserByNick(std::string_view nick) const;

  // The lowest in-use slot whose socket is socket, or kNotFound.
  [[nodiscard]] int FindSlotBySocket(int socket) const;

  // Sets the slot's nick, keeping the lookups by nick exact.
  void SetNick(int index, std::string_view nick);
  // Records whether the slot's nick was free when given.
  void SetNickAccepted(int index, bool accepted);
  // Sets the slot's user modes +i and +o.
  void SetInvisible(int index, bool on);
  void SetServerOperator(int index, bool on);

  // Changes whenever a lookup by nick may find another slot than before
  // (a nick given or dropped, a slot registered or not, a nick accepted or
  // not), so that what a lookup found can be kept until then.
  [[nodiscard]] std::uint64_t HolderChanges() const { return holderChanges_; }

  // FindUserByNick for a nick already upper-cased.
  [[nodiscard]] int FindUserByFoldedNick(std::string_view folded) const;

  // The user list: the registered users' nicks, in registration order.
  [[nodiscard]] std::vector<std::string> UserList() const;

 private:
  // Hash of a folded nick, usable with string_view keys without a copy.
  struct NickHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  void IndexAdd(int index);
  void IndexRemove(int index);

  std::vector<UserSlot> slots_;
  // A bit a slot, set while it is in use: the lowest free slot is found a
  // word at a time, not by visiting every slot before it.
  std::vector<std::uint64_t> inUseBits_;
  // Folded nick -> the in-use slots holding it, lowest first: the lookups
  // by nick give exactly the answers of a scan in slot order.
  std::unordered_map<std::string, std::vector<int>, NickHash, std::equal_to<>> byNick_;
  // Socket number -> slot, for the in-use slots.
  std::vector<int> bySocket_;
  // Address -> the in-use slots that count against its limit.
  std::unordered_map<std::string, int, NickHash, std::equal_to<>> perAddress_;
  std::uint64_t holderChanges_ = 1;
  int channelCapacity_;
  int registeredCount_ = 0;
  int invisibleCount_ = 0;
  int operatorCount_ = 0;
  int registeredMax_ = 0;
  std::uint64_t registrations_ = 0;
};

}  // namespace zelkord::irc
