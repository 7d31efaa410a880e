// Detached threads with a small stack, reused while work keeps coming.
#include "base/threads.h"

#include <pthread.h>

#include <memory>
#include <utility>
#include <vector>

#include "base/mutex.h"

namespace zelkord::base {
namespace {

struct Spares {
  Mutex mutex;
  CondVar arrived;
  // Handed to the waiting threads and not yet taken: never more pieces than
  // threads waiting.
  std::vector<std::function<void()>> work GUARDED_BY(mutex);
  int waiting GUARDED_BY(mutex) = 0;
};

// Never destroyed: a spare thread may still be waiting while the process
// ends.
Spares& TheSpares() {
  static Spares* const spares = new Spares;
  return *spares;
}

void RunWhileWorkComes(std::function<void()> fn) {
  Spares& spares = TheSpares();
  for (;;) {
    fn();
    fn = nullptr;  // its captures go now, not when more work comes
    MutexLock lock(spares.mutex);
    if (spares.work.empty()) {
      if (spares.waiting >= kMostSpareThreads) return;
      ++spares.waiting;
      const auto until = std::chrono::steady_clock::now() + kSpareThreadFor;
      // Work handed over is always taken: a thread leaves only when none
      // is left.
      while (spares.work.empty()) {
        if (spares.arrived.wait_until(spares.mutex, until) == std::cv_status::timeout) break;
      }
      --spares.waiting;
      if (spares.work.empty()) return;
    }
    fn = std::move(spares.work.back());
    spares.work.pop_back();
  }
}

void* ThreadTrampoline(void* arg) {
  std::function<void()> fn;
  {
    std::unique_ptr<std::function<void()>> handed(static_cast<std::function<void()>*>(arg));
    fn = std::move(*handed);
  }
  RunWhileWorkComes(std::move(fn));
  return nullptr;
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
  Spares& spares = TheSpares();
  {
    MutexLock lock(spares.mutex);
    if (spares.waiting > static_cast<int>(spares.work.size())) {
      spares.work.push_back(std::move(fn));
      spares.arrived.notify_one();
      return true;
    }
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  auto* heapFn = new std::function<void()>(std::move(fn));
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, ThreadTrampoline, heapFn);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete heapFn;
    return false;
  }
  return true;
}

int SpareThreads() {
  Spares& spares = TheSpares();
  MutexLock lock(spares.mutex);
  return spares.waiting;
}

}  // namespace zelkord::base
