#include "Tessarine2/common/aLogger.h"

#include <atomic>
#include <mutex>
#include <new>

#include "Tessarine2/common/aThread.h"

namespace {

constexpr uint16_t kLoggerCheck = 0xDEED;

}  // namespace

struct aLogger {
  uint32_t userValue;
  aLoggerCallback callback;
  aFile* file;
  aThread* thread;
  std::atomic<uint8_t> enabled;
  uint16_t check;
  // Serialises enable, disable and destroy from different callers.
  std::mutex control;
};

namespace {

// The logger whose thread is the current one, so that a disable or destroy
// made from inside the callback can be told apart.
thread_local const aLogger* tCurrentLogger = nullptr;

bool aVALIDLOGGER(const aLogger* logger) { return logger != nullptr && logger->check == kLoggerCheck; }

void* sLoggerThread(void* argument) {
  aLogger* logger = static_cast<aLogger*>(argument);
  tCurrentLogger = logger;
  while (aVALIDLOGGER(logger) && logger->enabled.load()) {
    logger->callback(logger->file, logger->userValue);
  }
  tCurrentLogger = nullptr;
  return nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t userValue, aLoggerCallback callback, const char* path) {
  if (callback == nullptr) {
    return nullptr;
  }
  aLogger* logger = new (std::nothrow) aLogger();
  if (logger == nullptr) {
    return nullptr;
  }
  logger->file = aFile_Open(path, aFileModeAppend);
  if (logger->file == nullptr) {
    delete logger;
    return nullptr;
  }
  aFile_SetUnbuffered(logger->file);
  logger->userValue = userValue;
  logger->callback = callback;
  logger->thread = nullptr;
  logger->enabled.store(0);
  logger->check = kLoggerCheck;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) {
    return aErrParam;
  }
  std::lock_guard<std::mutex> hold(logger->control);
  if (logger->enabled.load()) {
    return aErrNone;
  }
  logger->enabled.store(1);
  logger->thread = aThread_Create(sLoggerThread, logger);
  if (logger->thread == nullptr) {
    logger->enabled.store(0);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) {
    return aErrParam;
  }
  if (tCurrentLogger == logger) {
    // A thread cannot join itself; the owner disables it from outside.
    return aErrNone;
  }
  std::lock_guard<std::mutex> hold(logger->control);
  if (!logger->enabled.load() && logger->thread == nullptr) {
    return aErrNone;
  }
  logger->enabled.store(0);
  if (logger->thread != nullptr && aThread_Destroy(&logger->thread) != 0) {
    return aErrUnknown;
  }
  return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !aVALIDLOGGER(*logger)) {
    return aErrNone;
  }
  aLogger* doomed = *logger;
  if (tCurrentLogger == doomed) {
    // Freeing the logger here would pull it from under its own thread.
    return aErrBusy;
  }
  aErr err = aLogger_Disable(doomed);
  if (err != aErrNone) {
    return err;
  }
  aFile_Close(&doomed->file);
  doomed->check = 0;
  delete doomed;
  *logger = nullptr;
  return aErrNone;
}
