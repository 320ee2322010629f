#include "Tessarine2/common/aMutex.h"

#include <errno.h>
#include <pthread.h>

#include <cstring>
#include <new>

namespace {

constexpr uint32_t kMutexCheck = 0xBEEF;

}  // namespace

struct aMutex {
  uint32_t check;  // kMutexCheck while the record is valid
  pthread_mutex_t mutex;
  char name[aMUTEX_MAX_NAME + 1];
};

namespace {

bool isValid(const aMutex* mutex) { return mutex != nullptr && mutex->check == kMutexCheck; }

aErr fromErrno(int error) {
  switch (error) {
    case 0:
      return aErrNone;
    case EINVAL:
      return aErrParam;
    case EDEADLK:
      return aErrDuplicate;
    case EBUSY:
      return aErrBusy;
    case EPERM:
      return aErrPermission;
    case EAGAIN:
    case ENOMEM:
      return aErrResource;
    default:
      return aErrUnknown;
  }
}

// Error checking does not make the mutex recursive: a second lock by the
// owner fails (EDEADLK) instead of hanging, and an unlock by another thread
// fails (EPERM) instead of corrupting the lock.
bool initialise(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) {
    return false;
  }
  bool made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
              pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return made;
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
  size_t length = name == nullptr ? 0 : strnlen(name, aMUTEX_MAX_NAME + 1);
  if (length > aMUTEX_MAX_NAME) {
    return nullptr;
  }
  aMutex* mutex = new (std::nothrow) aMutex();
  if (mutex == nullptr) {
    return nullptr;
  }
  if (!initialise(&mutex->mutex)) {
    delete mutex;
    return nullptr;
  }
  if (length > 0) {
    std::memcpy(mutex->name, name, length);
  }
  mutex->name[length] = '\0';
  mutex->check = kMutexCheck;
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return isValid(mutex) ? mutex->name : ""; }

aErr aMutex_Lock(aMutex* mutex) {
  return isValid(mutex) ? fromErrno(pthread_mutex_lock(&mutex->mutex)) : aErrParam;
}

aErr aMutex_TryLock(aMutex* mutex) {
  return isValid(mutex) ? fromErrno(pthread_mutex_trylock(&mutex->mutex)) : aErrParam;
}

aErr aMutex_Unlock(aMutex* mutex) {
  return isValid(mutex) ? fromErrno(pthread_mutex_unlock(&mutex->mutex)) : aErrParam;
}

aErr aMutex_Destroy(aMutex** mutex) {
  if (mutex == nullptr || *mutex == nullptr) {
    return aErrParam;
  }
  aMutex* record = *mutex;
  *mutex = nullptr;
  // A record without the check word is not ours to free.
  if (!isValid(record)) {
    return aErrParam;
  }
  aErr result = fromErrno(pthread_mutex_destroy(&record->mutex));
  record->check = 0;
  delete record;
  return result;
}
