#ifndef UPDATER_FINGERPRINT_H
#define UPDATER_FINGERPRINT_H

#include <cstdint>

// The four words that identify a module's microcontroller. On an LPC17xx
// they are the boot ROM's device serial-number words in the order received;
// on an i.MX, word 3 - i holds subindex i of the system entity's unique
// identifier. Printed, sent to the update server and used as the recovery
// image's descrambling key in word order.
struct Fingerprint {
  uint32_t words[4];
};

static_assert(sizeof(Fingerprint) == 16, "a fingerprint is four 32-bit words");

#endif
