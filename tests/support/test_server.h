// Runs a real server in-process for a test: a temporary instance folder
// with its own settings file, a recording desk, the IRC port chosen by the
// kernel, and a clean shut-down (drain included) when the test ends.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/server.h"
#include "support/test_client.h"
#include "window/headless_desk.h"

namespace zelkord::testing {

// The server's name in a test instance (the default), and the prefix of
// every reply it sends.
inline constexpr std::string_view kServerName = "Zel.Server(^^";
inline const std::string kServerPrefix = ":" + std::string(kServerName) + " ";
// The 005 token that comes on a line of its own after the first 13.
inline const std::string kClientTagDeny = "CLIENTTAGDENY=*,-draft/react,-draft/reply,-typing";
// The history tokens of a server with its store open, at the default Max.
inline const std::string kHistoryTokens = "CHATHISTORY=100 MSGREFTYPES=msgid,timestamp";

// A temporary folder, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder path, ending in '/'.
  [[nodiscard]] const std::string& Path() const { return path_; }
  // The path of a file below the folder (not created).
  [[nodiscard]] std::string File(const std::string& name) const { return path_ + name; }
  // Writes a file below the folder (bytes as given) and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;
  // Reads a file below the folder; empty when missing.
  [[nodiscard]] std::string Read(const std::string& name) const;

 private:
  std::string path_;
};

// A headless desk that also records every notification, for checks of what
// the window was told.
class RecordingDesk : public window::HeadlessDesk {
 public:
  RecordingDesk() : HeadlessDesk(nullptr, nullptr, false) {}
  // Keeps the pages' lines, as the window does, so tests can read them.
  [[nodiscard]] bool ShowsTrafficLines() const override { return true; }
  void UserListChanged(std::string_view what, std::string_view nick) override;
  void ChannelAdded(std::string_view name) override;
  void ChannelRemoved(std::string_view name) override;
  void EncodingChanged(int slot, std::string_view text) override;
  void AwayChanged(std::string_view nick, std::string_view awayText) override;
  void ShowError(std::string_view text) override;
  void ShowWarning(std::string_view text) override;
  [[nodiscard]] std::vector<std::string> Events();
  [[nodiscard]] std::vector<std::string> Errors();
  [[nodiscard]] std::vector<std::string> Warnings();

 private:
  void Record(std::string event);
  std::mutex mutex_;
  std::vector<std::string> events_;    // guarded by mutex_
  std::vector<std::string> errors_;    // guarded by mutex_
  std::vector<std::string> warnings_;  // guarded by mutex_
};

using SettingsMap = std::map<std::string, std::string>;

class TestServer {
 public:
  // Writes zelkord.INI into a new temporary folder with Server.Port 0, no
  // operator client (unless withOperator), and the given extra keys
  // ("Section.Key" -> value), then starts the server.
  explicit TestServer(const SettingsMap& settings = {}, bool withOperator = false);
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  [[nodiscard]] bool Started() const { return started_.ok; }
  [[nodiscard]] const std::string& StartError() const { return started_.error; }
  [[nodiscard]] int Port() const { return server_->IrcPort(); }
  [[nodiscard]] server::Server& Server() { return *server_; }
  [[nodiscard]] RecordingDesk& Desk() { return desk_; }
  [[nodiscard]] TempDir& Dir() { return dir_; }
  [[nodiscard]] std::unique_ptr<TestClient> Connect() const {
    return std::make_unique<TestClient>(Port());
  }
  // Connects and registers; nullptr-safe checks are the test's.
  [[nodiscard]] std::unique_ptr<TestClient> Registered(const std::string& nick);
  // Registered, after CAP REQ for the capabilities (space-separated) was
  // acknowledged; nullptr when it was not.
  [[nodiscard]] std::unique_ptr<TestClient> RegisteredWith(const std::string& nick,
                                                           const std::string& capabilities);
  // Shuts the server down and waits for its threads (done by the destructor too).
  void Stop();
  // The conversation view of a channel with each line's "hh:nn " stamp cut
  // off (the stamp's shape is checked); empty when there is no such channel.
  [[nodiscard]] std::vector<std::string> View(const std::string& channel);
  // Waits (up to 10 s) until count connections are registered.
  [[nodiscard]] bool WaitRegistered(int count);
  // Names of the channels, in table order.
  [[nodiscard]] std::vector<std::string> Channels();

 private:
  TempDir dir_;
  RecordingDesk desk_;
  std::unique_ptr<server::Server> server_;
  server::StartResult started_;
};

// Joins the clients to the channel one after the other, reading each one's
// JOIN reply through 366 and the JOIN relay the earlier ones receive, so the
// test starts from quiet connections. false when a names reply's end did
// not arrive.
[[nodiscard]] bool JoinAll(const std::vector<TestClient*>& clients, const std::string& channel);

// Registers a client per nick, in order, on host (a TestServer or the window
// fixture), then joins them all to each channel as JoinAll does. Every
// client is nullptr unless each registration and join went through, so a
// server that did not start fails the test's check instead of crashing it.
template <class Host, std::size_t N>
[[nodiscard]] std::array<std::unique_ptr<TestClient>, N> RegisteredAll(
    Host& host, const std::string (&nicks)[N], std::initializer_list<std::string> channels = {}) {
  std::array<std::unique_ptr<TestClient>, N> clients;
  std::vector<TestClient*> all;
  for (std::size_t i = 0; i < N; ++i) {
    clients[i] = host.Registered(nicks[i]);
    if (!clients[i]) return {};
    all.push_back(clients[i].get());
  }
  for (const std::string& channel : channels) {
    if (!JoinAll(all, channel)) return {};
  }
  return clients;
}

// The settings file of a test instance: Server.Port 0 (the kernel picks)
// and the given "Section.Key" -> value entries, grouped by section.
[[nodiscard]] std::string TestInstanceIni(const SettingsMap& settings);

// The settings file that a first start at settingsFile writes: each key of
// the settings table at its default unless given names it, the empty ban
// list, the window position and the colours, sections in the file's order.
[[nodiscard]] std::string FirstStartIni(const std::string& settingsFile,
                                        const SettingsMap& given = {});

// A whole file's bytes; empty when it is missing.
[[nodiscard]] std::string ReadFile(const std::string& path);
// Replaces a file with the bytes.
void WriteFile(const std::string& path, const std::string& bytes);
// How many entries a folder holds ("." and ".." aside); 0 when it is missing.
[[nodiscard]] int EntriesIn(const std::string& folder);

// Writes an INI text with CR LF line ends from "[Section]" / "Key=Value" lines.
[[nodiscard]] std::string IniText(const std::vector<std::string>& lines);

}  // namespace zelkord::testing
