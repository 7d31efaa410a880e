// Lock annotations checked by clang's -Wthread-safety; they vanish elsewhere.
// Every lock-guarded field names its lock here so a reader (and clang) can
// check that nothing touches it without that lock.
#pragma once

#include <mutex>

#if defined(__clang__)
#define ZK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZK_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZK_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZK_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZK_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZK_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ZK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ZK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ZK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ZK_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zelkord::frame {

// A std::mutex that clang's analysis can follow.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Scoped guard for Mutex, understood by the analysis.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace zelkord::frame
