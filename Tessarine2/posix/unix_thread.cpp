#include "Tessarine2/common/aThread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <new>

struct aThread {
  pthread_t id;
};

aThread* aThread_Create(aThreadFunction function, void* argument) {
  if (function == nullptr) {
    return nullptr;
  }
  aThread* thread = new (std::nothrow) aThread();
  if (thread == nullptr) {
    return nullptr;
  }
  if (pthread_create(&thread->id, nullptr, function, argument) != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

int aThread_Destroy(aThread** thread) {
  if (thread == nullptr || *thread == nullptr) {
    return EINVAL;
  }
  aThread* handle = *thread;
  *thread = nullptr;
  int joined = pthread_join(handle->id, nullptr);
  if (joined == EDEADLK) {
    // Called by the thread itself: nobody is left to join it once the
    // handle is gone, so let the system reclaim it when it ends.
    pthread_detach(handle->id);
  }
  delete handle;
  return joined;
}

void aThread_Yield() {
  const timespec pause = {0, 5000};
  nanosleep(&pause, nullptr);
}

void aThread_Relax() { sched_yield(); }
