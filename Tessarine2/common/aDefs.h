#ifndef TESSARINE2_COMMON_ADEFS_H
#define TESSARINE2_COMMON_ADEFS_H

#include <cstdint>

// Name of a module model by its model number (the low byte of its USB
// product id); "Unknown" for any number without a model.
const char* aDefs_GetModelName(uint32_t model);

#endif
