// Headless desk: console lines through a bounded queue and a writer thread.
#include "window/headless_desk.h"

#include <iconv.h>

#include <ctime>

#include "frame/clock.h"

namespace zelkord::window {
namespace {

// One conversion direction; the descriptor is reused across calls. Not
// shareable between threads.
class Converter {
 public:
  Converter(const char* to, const char* from)
      : cd_(iconv_open(to, from)), utf8Input_(std::string_view(from) == "UTF-8") {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  std::string Convert(std::string_view text) {
    if (!Valid()) return std::string(text);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    std::string out;
    out.resize(text.size() * 4 + 8);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char* dst = out.data();
    std::size_t outLeft = out.size();
    while (inLeft > 0) {
      if (iconv(cd_, &in, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG || outLeft == 0) break;
      // A character that does not convert: one '?' for it, then go on after
      // it (all of a UTF-8 sequence; one byte of anything else).
      *dst++ = '?';
      --outLeft;
      std::size_t skip = 1;
      while (skip < inLeft && utf8Input_ && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80) {
        ++skip;
      }
      in += skip;
      inLeft -= skip;
    }
    out.resize(out.size() - outLeft);
    return out;
  }

 private:
  [[nodiscard]] bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_;
  bool utf8Input_;
};

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
  return Converter("UTF-8", "CP932").Convert(sjis);
}
std::string Utf8ToSjis(std::string_view utf8) {
  return Converter("CP932", "UTF-8").Convert(utf8);
}

HeadlessDesk::HeadlessDesk(std::FILE* out, std::FILE* errOut, bool verbose)
    : out_(out), errOut_(errOut), verbose_(verbose) {
  if (out_ != nullptr) writer_ = std::thread([this] { WriterLoop(); });
}

HeadlessDesk::~HeadlessDesk() {
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  queueReady_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void HeadlessDesk::ShowSettingsPage(const frame::SettingsPage& page) {
  frame::MutexLock lock(stateMutex_);
  page_ = page;
}

frame::SettingsPage HeadlessDesk::ReadSettingsPage() {
  frame::MutexLock lock(stateMutex_);
  return page_;
}

void HeadlessDesk::SetWindowGeometry(const frame::WindowGeometry& geometry) {
  frame::MutexLock lock(stateMutex_);
  geometry_ = geometry;
}

frame::WindowGeometry HeadlessDesk::WindowGeometry() {
  frame::MutexLock lock(stateMutex_);
  return geometry_;
}

void HeadlessDesk::SetWebViewColors(int back, int fore) {
  frame::MutexLock lock(stateMutex_);
  webBack_ = back;
  webFore_ = fore;
}

int HeadlessDesk::WebViewBack() {
  frame::MutexLock lock(stateMutex_);
  return webBack_;
}

int HeadlessDesk::WebViewFore() {
  frame::MutexLock lock(stateMutex_);
  return webFore_;
}

void HeadlessDesk::SetCaption(std::string_view caption) {
  Post("caption", std::string(caption));
}

void HeadlessDesk::ShowError(std::string_view text) {
  // Errors are written at once and unqueued: the person must see them even
  // when the process is about to exit.
  if (errOut_ != nullptr) {
    std::string line = "zelkord: " + SjisToUtf8(text) + "\n";
    std::fputs(line.c_str(), errOut_);
    std::fflush(errOut_);
  }
}

void HeadlessDesk::ShowStatus(std::string_view text) {
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

void HeadlessDesk::LogPageClosed(int slot) {
  Post("close", "slot " + std::to_string(slot));
}

void HeadlessDesk::TrafficLogged(int slot, Traffic direction, std::string_view text) {
  if (!verbose_) return;
  Post(direction == Traffic::Received ? "recv" : "send",
       std::to_string(slot) + " " + std::string(text));
}

void HeadlessDesk::WebRequestLogged(std::string_view line) {
  Post("web", std::string(line));
}

std::uint64_t HeadlessDesk::DroppedLines() {
  std::lock_guard lock(queueMutex_);
  return dropped_;
}

void HeadlessDesk::Post(std::string_view kind, std::string text) {
  if (out_ == nullptr) return;
  std::string line = frame::ClockTime(std::time(nullptr));
  line.append(" ").append(kind).append(" ").append(text);
  bool wasEmpty = false;
  {
    std::lock_guard lock(queueMutex_);
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
  Converter toUtf8("UTF-8", "CP932");
  std::unique_lock lock(queueMutex_);
  for (;;) {
    queueReady_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty() && stopping_) return;
    // A short pause gathers a burst of events into one write.
    if (!stopping_) queueReady_.wait_for(lock, kConsoleBatchDelay, [this] { return stopping_; });
    std::deque<std::string> batch;
    batch.swap(queue_);
    std::uint64_t newlyDropped = dropped_ - reported_;
    reported_ = dropped_;
    lock.unlock();
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
    lock.lock();
  }
}

}  // namespace zelkord::window
