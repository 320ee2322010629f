#include "Tessarine2/common/zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "Tessarine2/common/zSignals.h"

namespace {

constexpr size_t _BACKUP_CAPACITY = 100;

// Held across a whole beacon discovery (seconds); the owner is kept so a
// second lock by the holder is refused instead of hanging the thread, and so
// that only the holder can release it.
std::mutex _interfaceLock;
std::atomic<std::thread::id> _lockOwner{};

// Guards the short reads and writes of the two texts, which also happen
// without _interfaceLock (the plain getters).
std::mutex _stateGuard;
std::string _backupInterface;

bool _isValidIpAddress(const char* value) {
  in_addr address{};
  return inet_pton(AF_INET, value, &address) == 1;
}

bool _isValidBeaconConfig(const char* value) { return value[0] == '\0' || (value[0] == '*' && value[1] == '\0'); }

bool isValidValue(const char* value) {
  return value != nullptr && (_isValidBeaconConfig(value) || _isValidIpAddress(value));
}

bool heldByThisThread() { return _lockOwner.load() == std::this_thread::get_id(); }

bool lockForThisThread() {
  if (heldByThisThread()) return false;
  _interfaceLock.lock();
  _lockOwner.store(std::this_thread::get_id());
  return true;
}

void unlockForThisThread() {
  if (!heldByThisThread()) return;
  _lockOwner.store(std::thread::id());
  _interfaceLock.unlock();
}

// Callers hold _stateGuard.
void _configureBackup() {
  if (_backupInterface.capacity() < _BACKUP_CAPACITY) _backupInterface.reserve(_BACKUP_CAPACITY);
}

// Callers hold _stateGuard. CZMQ hands out its own copy, which the next set
// frees: copy it at once.
std::string currentInterface() {
  const char* value = zsys_interface();
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

bool zBeaconInterface_setAndLock(const char* value) {
  // Beacons are CZMQ's: the host's signals stay the host's.
  zSignals_LeaveToHost();
  if (!isValidValue(value) || !lockForThisThread()) return false;
  std::lock_guard<std::mutex> guard(_stateGuard);
  zsys_set_interface(value);
  return true;
}

void zBeaconInterface_unlock() { unlockForThisThread(); }

bool zBeaconInterface_backupSetAndLock(const char* value) {
  zSignals_LeaveToHost();
  if (!isValidValue(value) || !lockForThisThread()) return false;
  std::lock_guard<std::mutex> guard(_stateGuard);
  try {
    _configureBackup();
    _backupInterface = currentInterface();
  } catch (...) {
    // Without a saved value a later restore would put back the wrong text.
    unlockForThisThread();
    return false;
  }
  zsys_set_interface(value);
  return true;
}

void zBeaconInterface_restoreAndUnlock() {
  if (!heldByThisThread()) return;
  {
    std::lock_guard<std::mutex> guard(_stateGuard);
    zsys_set_interface(_backupInterface.c_str());
  }
  unlockForThisThread();
}

std::string zBeaconInterface_get() {
  std::lock_guard<std::mutex> guard(_stateGuard);
  return currentInterface();
}

std::string zBeaconInterface_getAndLock() {
  lockForThisThread();
  return zBeaconInterface_get();
}

std::string zBeaconInterface_getBackup() {
  std::lock_guard<std::mutex> guard(_stateGuard);
  _configureBackup();
  return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock() {
  {
    std::lock_guard<std::mutex> guard(_stateGuard);
    _configureBackup();
  }
  lockForThisThread();
  return zBeaconInterface_getBackup();
}
