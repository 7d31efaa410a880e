// The desk without a window: it keeps the little window state that must
// round-trip through the settings file (settings page texts, position,
// web view colours) and prints one line per event to standard output in
// UTF-8. Printing runs on a writer thread behind a bounded queue, so
// protocol work never waits for the terminal; when the queue is full, lines
// are dropped and counted.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "irc/desk.h"

namespace zelkord::window {

inline constexpr std::size_t kConsoleQueueLines = 4096;
inline constexpr std::chrono::milliseconds kConsoleBatchDelay{20};

class HeadlessDesk : public irc::Desk {
 public:
  // out receives the event lines (stdout for the program, nullptr to print
  // nothing); errors go to errOut. verbose adds the communication-log lines.
  HeadlessDesk(std::FILE* out, std::FILE* errOut, bool verbose);
  ~HeadlessDesk() override;
  HeadlessDesk(const HeadlessDesk&) = delete;
  HeadlessDesk& operator=(const HeadlessDesk&) = delete;

  // No pages are shown headless (verbose prints each line as it passes).
  [[nodiscard]] bool ShowsTrafficLines() const override { return false; }

  void ShowSettingsPage(const config::SettingsPage& page) override;
  [[nodiscard]] config::SettingsPage ReadSettingsPage() override;
  void SetWindowGeometry(const config::WindowGeometry& geometry) override;
  [[nodiscard]] config::WindowGeometry WindowGeometry() override;
  void SetWebViewColors(int back, int fore) override;
  [[nodiscard]] int WebViewBack() override;
  [[nodiscard]] int WebViewFore() override;
  void SetCaption(std::string_view caption) override;
  void DisableQuitButton() override {}
  void ShowError(std::string_view text) override;
  void ShowStatus(std::string_view text) override;
  void ShowWarning(std::string_view text) override;

  void UserListChanged(std::string_view what, std::string_view nick) override;
  void ChannelAdded(std::string_view name) override;
  void ChannelRemoved(std::string_view name) override;
  void MembersChanged(std::string_view) override {}
  void TopicChanged(std::string_view channel, std::string_view topicText) override;
  void ChannelLine(std::string_view channel, std::string_view line) override;
  void LogPageOpened(int slot, std::string_view address) override;
  void LogPageClosed(int slot) override;
  void LogPageCaption(int, std::string_view) override {}
  void TrafficLogged(int slot, irc::Traffic direction, std::string_view text) override;
  void WebRequestLogged(std::string_view line) override;
  void BanListChanged() override {}
  void EncodingChanged(int slot, std::string_view text) override;
  void AwayChanged(std::string_view nick, std::string_view awayText) override;

  // Lines dropped because the queue was full. Any thread.
  [[nodiscard]] std::uint64_t DroppedLines();

 private:
  void Post(std::string_view kind, std::string text);
  void WriterLoop();

  std::FILE* out_;
  std::FILE* errOut_;
  const bool verbose_;

  base::Mutex stateMutex_;
  config::SettingsPage page_ GUARDED_BY(stateMutex_);
  config::WindowGeometry geometry_ GUARDED_BY(stateMutex_);
  int webBack_ GUARDED_BY(stateMutex_) = 0;
  int webFore_ GUARDED_BY(stateMutex_) = 0;

  base::Mutex queueMutex_;
  base::CondVar queueReady_;
  std::deque<std::string> queue_ GUARDED_BY(queueMutex_);
  std::uint64_t dropped_ GUARDED_BY(queueMutex_) = 0;
  std::uint64_t reported_ GUARDED_BY(queueMutex_) = 0;
  bool stopping_ GUARDED_BY(queueMutex_) = false;
  std::thread writer_;
};

}  // namespace zelkord::window
