#ifndef TESSARINE2_COMMON_ZBEACONINTERFACE_H
#define TESSARINE2_COMMON_ZBEACONINTERFACE_H

#include <string>

// CZMQ keeps one process-wide network-interface setting that a beacon actor
// reads when it is configured. Beacon discovery and the module-sharing
// servers both change it, so every change goes through this one lock:
// whoever sets the interface holds the lock until its beacon actor no
// longer depends on the setting.
//
// A value is a dotted IPv4 address, "" (CZMQ's first interface) or "*" (all
// interfaces). The lock is not recursive: a set by the thread that already
// holds it is refused. An unlock by a thread that does not hold the lock
// does nothing.

// Takes the lock and sets the interface: true. An invalid value (or a
// second lock by the holder) gives false and takes nothing.
bool zBeaconInterface_setAndLock(const char* value);
void zBeaconInterface_unlock();

// As zBeaconInterface_setAndLock, after saving the current interface so that
// zBeaconInterface_restoreAndUnlock can put it back.
bool zBeaconInterface_backupSetAndLock(const char* value);
void zBeaconInterface_restoreAndUnlock();

// The current interface setting.
std::string zBeaconInterface_get();
// Takes the lock, then reads the setting; the caller unlocks.
std::string zBeaconInterface_getAndLock();
// The setting saved by the last zBeaconInterface_backupSetAndLock.
std::string zBeaconInterface_getBackup();
// Takes the lock, then reads the saved setting; the caller unlocks.
std::string zBeaconInterface_getBackupAndLock();

#endif
