#ifndef TESTS_SIM_BIRD_SEEDCORPUS_H
#define TESTS_SIM_BIRD_SEEDCORPUS_H

#include <string>
#include <utility>
#include <vector>

#include "tests/sim/bird/BirdGenerator.h"

namespace birdgen {

// Named containers that start the fuzzers off: well-formed ones of each
// shape the updater meets, and a few that bend the block structure.
std::vector<std::pair<std::string, Container>> seedContainers();

// Writes each seed twice below dir: the whole file into "fuzz_bird_file/"
// and its inflated body into "fuzz_bird_body/" (the directories are made
// when missing). False on the first failure.
bool writeSeedCorpus(const std::string& dir);

}  // namespace birdgen

#endif
