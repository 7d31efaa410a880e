// Detached threads with a small stack.
#include "base/threads.h"

#include <pthread.h>

#include <memory>

namespace zelkord::base {
namespace {

void* ThreadTrampoline(void* arg) {
  std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
  (*fn)();
  return nullptr;
}

}  // namespace

bool StartDetachedThread(std::function<void()> fn) {
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

}  // namespace zelkord::base
