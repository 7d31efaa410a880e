// The one mutex type of the program and its lock annotations, checked by
// clang's -Wthread-safety (they vanish elsewhere). Every lock-guarded field
// says GUARDED_BY its lock, so a reader (and clang) can check that nothing
// touches it without that lock.
//
// Lock order. A thread that holds a lock takes only locks further down this
// list, and never waits for I/O, the GUI thread or another thread while
// holding any of them:
//   1. the protocol lock (irc::ProtocolMutex), taken only through
//      irc::ProtocolLock; or a listener's accept spell (net::AcceptSpell),
//      under which only a desk's notification queue is reached;
//   2. what protocol work reaches under it: the ban list, the communication
//      log, a desk's notification queue or pending-event set, one output
//      queue (net::OutputQueue), the day-log writer's queue
//      (base::FileWriter, released before it reports to the desk);
//   3. the output writer's watch list, taken under an output queue's lock.
// Every other lock is a leaf, taken with no other held and taking none: the
// writer's ready list, the web request view, the sweeper's requests, a
// desk's own window state, the server's drain lock, the parking lot's table,
// a TLS session's (net::TlsStream).
#pragma once

#include <condition_variable>
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

namespace zelkord::base {

// A std::mutex that clang's analysis can follow. Waits on it go through
// CondVar, which unlocks and relocks it inside the wait.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// The condition variable for Mutex. The caller holds the mutex (through a
// MutexLock) around every wait, as with std::condition_variable.
using CondVar = std::condition_variable_any;

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

}  // namespace zelkord::base
