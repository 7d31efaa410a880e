// Headless desk: console lines through a bounded queue and a writer thread.
#include "window/headless_desk.h"

#include <ctime>

#include "base/clock.h"
#include "text/sjis_utf8.h"

namespace zelkord::window {

HeadlessDesk::HeadlessDesk(std::FILE* out, std::FILE* errOut, bool verbose)
    : out_(out), errOut_(errOut), verbose_(verbose) {
  if (out_ != nullptr) writer_ = std::thread([this] { WriterLoop(); });
}

HeadlessDesk::~HeadlessDesk() {
  {
    base::MutexLock lock(queueMutex_);
    stopping_ = true;
  }
  queueReady_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void HeadlessDesk::ShowSettingsPage(const config::SettingsPage& page) {
  base::MutexLock lock(stateMutex_);
  page_ = page;
}

config::SettingsPage HeadlessDesk::ReadSettingsPage() {
  base::MutexLock lock(stateMutex_);
  return page_;
}

void HeadlessDesk::SetWindowGeometry(const config::WindowGeometry& geometry) {
  base::MutexLock lock(stateMutex_);
  geometry_ = geometry;
}

config::WindowGeometry HeadlessDesk::WindowGeometry() {
  base::MutexLock lock(stateMutex_);
  return geometry_;
}

void HeadlessDesk::SetWebViewColors(int back, int fore) {
  base::MutexLock lock(stateMutex_);
  webBack_ = back;
  webFore_ = fore;
}

int HeadlessDesk::WebViewBack() {
  base::MutexLock lock(stateMutex_);
  return webBack_;
}

int HeadlessDesk::WebViewFore() {
  base::MutexLock lock(stateMutex_);
  return webFore_;
}

void HeadlessDesk::SetCaption(std::string_view caption) {
  Post("caption", std::string(caption));
}

void HeadlessDesk::ShowError(std::string_view text) {
  // Errors are written at once and unqueued: the person must see them even
  // when the process is about to exit.
  if (errOut_ != nullptr) {
    std::string line = "zelkord: " + text::SjisToDisplayUtf8(text) + "\n";
    std::fputs(line.c_str(), errOut_);
    std::fflush(errOut_);
  }
}

void HeadlessDesk::ShowStatus(std::string_view text) {
  Post("status", std::string(text));
}

void HeadlessDesk::ShowWarning(std::string_view text) {
  Post("status", std::string(text));
}

void HeadlessDesk::UserListChanged(std::string_view what, std::string_view nick) {
  Post("user", std::string(what) + " " + std::string(nick));
}

void HeadlessDesk::ChannelAdded(std::string_view name) {
  Post("channel", "+ " + std::string(name));
}

void HeadlessDesk::ChannelRemoved(std::string_view name) {
  Post("channel", "- " + std::string(name));
}

void HeadlessDesk::TopicChanged(std::string_view channel, std::string_view topicText) {
  Post("topic", std::string(channel) + " " + std::string(topicText));
}

void HeadlessDesk::ChannelLine(std::string_view channel, std::string_view line) {
  Post("chat", std::string(channel) + " " + std::string(line));
}

void HeadlessDesk::LogPageOpened(int slot, std::string_view address) {
  Post("connect", "slot " + std::to_string(slot) + " from " + std::string(address));
}

void HeadlessDesk::EncodingChanged(int slot, std::string_view text) {
  Post("status", "slot " + std::to_string(slot) + " " + std::string(text));
}

void HeadlessDesk::AwayChanged(std::string_view nick, std::string_view awayText) {
  std::string text(nick);
  if (awayText.empty()) {
    text.append(" is back");
  } else {
    text.append(" is away: ").append(awayText);
  }
  Post("status", std::move(text));
}

void HeadlessDesk::LogPageClosed(int slot) {
  Post("close", "slot " + std::to_string(slot));
}

void HeadlessDesk::TrafficLogged(int slot, irc::Traffic direction, std::string_view text) {
  if (!verbose_) return;
  Post(direction == irc::Traffic::Received ? "recv" : "send",
       std::to_string(slot) + " " + std::string(text));
}

void HeadlessDesk::WebRequestLogged(std::string_view line) {
  Post("web", std::string(line));
}

std::uint64_t HeadlessDesk::DroppedLines() {
  base::MutexLock lock(queueMutex_);
  return dropped_;
}

void HeadlessDesk::Post(std::string_view kind, std::string text) {
  if (out_ == nullptr) return;
  std::string line = base::ClockTime(std::time(nullptr));
  line.append(" ").append(kind).append(" ").append(text);
  bool wasEmpty = false;
  {
    base::MutexLock lock(queueMutex_);
    if (queue_.size() >= kConsoleQueueLines) {
      ++dropped_;
      return;
    }
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(line));
  }
  // The writer takes everything queued at once: one wake per batch.
  if (wasEmpty) queueReady_.notify_one();
}

void HeadlessDesk::WriterLoop() {
  text::CodeConverter toUtf8("UTF-8", "CP932");
  for (;;) {
    std::deque<std::string> batch;
    std::uint64_t newlyDropped = 0;
    {
      base::MutexLock lock(queueMutex_);
      while (!stopping_ && queue_.empty()) queueReady_.wait(queueMutex_);
      if (queue_.empty() && stopping_) return;
      // A short pause gathers a burst of events into one write.
      const auto until = std::chrono::steady_clock::now() + kConsoleBatchDelay;
      while (!stopping_ && queueReady_.wait_until(queueMutex_, until) != std::cv_status::timeout) {
      }
      batch.swap(queue_);
      newlyDropped = dropped_ - reported_;
      reported_ = dropped_;
    }
    for (const std::string& line : batch) {
      std::string utf8 = toUtf8.Convert(line);
      utf8.push_back('\n');
      std::fputs(utf8.c_str(), out_);
    }
    if (newlyDropped > 0) {
      std::fprintf(out_, "(%llu console lines dropped under load)\n",
                   static_cast<unsigned long long>(newlyDropped));
    }
    std::fflush(out_);
  }
}

}  // namespace zelkord::window
