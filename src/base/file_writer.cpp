// The file writer's queue and thread. The thread takes everything queued at
// once and writes it in order, opening each file once for a run of records
// to it; only the queue's own lock is ever held, and never across a write.
#include "base/file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <utility>
#include <vector>

#include "base/mutex.h"

namespace zelkord::base {
namespace {

struct Record {
  std::string path;
  std::string bytes;
};

// Writes batch[begin, end), records to one file.
void WriteRun(const std::deque<Record>& batch, std::size_t begin, std::size_t end) {
  const std::string& path = batch[begin].path;
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    (void)mkdir(path.substr(0, slash).c_str(), 0755);  // may exist already
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Many records per system call, whole and in order. A short write (disk
  // full) is not retried, and the rest of the run is not tried either.
  std::vector<iovec> pieces;
  pieces.reserve(std::min<std::size_t>(end - begin, IOV_MAX));
  for (std::size_t i = begin; i < end;) {
    pieces.clear();
    std::size_t bytes = 0;
    for (; i < end && pieces.size() < IOV_MAX; ++i) {
      const std::string& record = batch[i].bytes;
      pieces.push_back({const_cast<char*>(record.data()), record.size()});
      bytes += record.size();
    }
    const ssize_t written = writev(fd, pieces.data(), static_cast<int>(pieces.size()));
    if (written < 0 || static_cast<std::size_t>(written) != bytes) break;
  }
  close(fd);
}

}  // namespace

struct FileWriter::State {
  explicit State(FileWriterOptions optionsIn) : options(std::move(optionsIn)) {}

  // The thread's loop; it holds the state, which outlives a writer left stuck.
  static void Run(const std::shared_ptr<State>& state);

  const FileWriterOptions options;
  Mutex mutex;
  CondVar work;  // the thread waits for records or the stop
  CondVar idle;  // destruction waits for the thread to finish
  std::deque<Record> queue GUARDED_BY(mutex);
  std::size_t queuedBytes GUARDED_BY(mutex) = 0;
  std::uint64_t dropped GUARDED_BY(mutex) = 0;
  bool dropping GUARDED_BY(mutex) = false;  // in a drop episode, already reported
  bool stopping GUARDED_BY(mutex) = false;
  bool finished GUARDED_BY(mutex) = false;
};

void FileWriter::State::Run(const std::shared_ptr<State>& state) {
  for (;;) {
    std::deque<Record> batch;
    {
      MutexLock lock(state->mutex);
      while (!state->stopping && state->queue.empty()) state->work.wait(state->mutex);
      if (state->queue.empty()) {
        state->finished = true;
        state->idle.notify_all();
        return;
      }
      batch.swap(state->queue);
      state->queuedBytes = 0;
    }
    for (std::size_t begin = 0, end = 0; begin < batch.size(); begin = end) {
      end = begin + 1;
      while (end < batch.size() && batch[end].path == batch[begin].path) ++end;
      WriteRun(batch, begin, end);
    }
    MutexLock lock(state->mutex);
    // Caught up: the next drop starts a new episode and is reported again.
    if (state->queue.empty()) state->dropping = false;
  }
}

FileWriter::FileWriter(FileWriterOptions options)
    : state_(std::make_shared<State>(std::move(options))),
      thread_([state = state_] { State::Run(state); }) {}

bool FileWriter::Append(std::string path, std::string bytes) {
  State& state = *state_;
  bool queued = false;
  bool wasEmpty = false;
  bool firstDrop = false;
  std::size_t waiting = 0;
  {
    MutexLock lock(state.mutex);
    if (state.queue.size() < state.options.maxLines &&
        state.queuedBytes + bytes.size() <= state.options.maxBytes) {
      queued = true;
      wasEmpty = state.queue.empty();
      state.queuedBytes += bytes.size();
      state.queue.push_back({std::move(path), std::move(bytes)});
    } else {
      ++state.dropped;
      firstDrop = !state.dropping;
      state.dropping = true;
      waiting = state.queue.size();
    }
  }
  // The thread waits only on an empty queue: one wake per batch.
  if (wasEmpty) state.work.notify_one();
  if (firstDrop && state.options.report) {
    state.options.report("file writes are behind with " + std::to_string(waiting) +
                         " records waiting; new records are dropped until they catch up");
  }
  return queued;
}

std::uint64_t FileWriter::Dropped() const {
  MutexLock lock(state_->mutex);
  return state_->dropped;
}

FileWriter::~FileWriter() {
  State& state = *state_;
  bool finished = false;
  std::size_t unwritten = 0;
  {
    MutexLock lock(state.mutex);
    state.stopping = true;
    state.work.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + state.options.flushWait;
    while (!state.finished &&
           state.idle.wait_until(state.mutex, deadline) != std::cv_status::timeout) {
    }
    finished = state.finished;
    if (!finished) {
      // Stuck in a write: what is still queued is given up, so the thread
      // ends as soon as that write returns, touching only the shared state.
      unwritten = state.queue.size();
      state.queue.clear();
      state.queuedBytes = 0;
    }
  }
  if (finished) {
    thread_.join();
    return;
  }
  thread_.detach();
  if (state.options.report) {
    state.options.report("file writes still stuck at shut-down; " + std::to_string(unwritten) +
                         " queued records were not written");
  }
}

}  // namespace zelkord::base
