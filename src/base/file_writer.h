// The file writer: appends byte records to files on its own thread, so a
// caller holding a lock never waits for a disk (a hung network mount, a
// FIFO without a reader). Records go out in the order they were queued,
// so each file gets its records in order. The queue is bounded in lines and
// bytes; a record that does not fit is dropped and counted, and the first
// drop of an episode (which ends once the writer has emptied the queue) is
// reported once. Destruction flushes what is queued, waiting a bounded time;
// a writer still stuck then is left behind with its thread and the records
// it has not written.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace zelkord::base {

inline constexpr std::size_t kFileWriterLines = 4096;
inline constexpr std::size_t kFileWriterBytes = 1024 * 1024;
inline constexpr std::chrono::milliseconds kFileWriterFlushWait{5000};

struct FileWriterOptions {
  std::size_t maxLines = kFileWriterLines;  // records waiting, besides the batch being written
  std::size_t maxBytes = kFileWriterBytes;  // their bytes
  std::chrono::milliseconds flushWait = kFileWriterFlushWait;  // destruction's wait
  // Told (with a text to show a person) of the first drop of an episode,
  // on the appending thread after the writer's lock is released, so under
  // whatever locks the caller holds: it must never block. Also told at
  // destruction when records are left unwritten.
  std::function<void(std::string_view)> report;
};

class FileWriter {
 public:
  explicit FileWriter(FileWriterOptions options = {});
  // Flushes the queue (waiting up to flushWait), then stops the thread.
  // Main thread; no Append may run or follow.
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Queues bytes to be appended to the file at path: the parent folder is
  // created (one level, when missing), the file opened for appending (mode
  // 0644) and the bytes given to one write, not retried; a file that cannot
  // be opened loses them silently. false when the queue is full and the
  // record was dropped. Never blocks on I/O. Any thread.
  bool Append(std::string path, std::string bytes);

  // Records dropped because the queue was full. Any thread.
  [[nodiscard]] std::uint64_t Dropped() const;

 private:
  struct State;
  // Shared with the thread, which may outlive this object when it is stuck.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace zelkord::base
