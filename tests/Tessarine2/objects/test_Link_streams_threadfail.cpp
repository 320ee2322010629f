// A stream-callback worker that cannot be started: the subscription fails
// with aErrResource and leaves neither an entry nor a filter behind. The
// thread start of the standard library is wrapped at link time so that it
// can be made to fail.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "Tessarine2/objects/Link.h"
#include "Tessarine2/objects/Module.h"
#include "tests/Tessarine2/objects/StreamTestSupport.h"

namespace {

std::atomic<bool> gRefuseThreads{false};

}  // namespace

// std::thread's start, as the standard library exports it; the temporary
// unique_ptr travels by address and stays the caller's to destroy.
extern "C" void __real__ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE(
    std::thread* self, std::unique_ptr<std::thread::_State>* state, void (*depend)());

extern "C" void __wrap__ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE(
    std::thread* self, std::unique_ptr<std::thread::_State>* state, void (*depend)()) {
  if (gRefuseThreads.load()) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "no thread");
  }
  __real__ZNSt6thread15_M_start_threadESt10unique_ptrINS_6_StateESt14default_deleteIS1_EEPFvvE(self, state, depend);
}

namespace {

using namespace objtest;

TEST(StreamWorkerStart, AWorkerThatCannotStartUndoesTheSubscription) {
  StreamingModule sim;
  std::unique_ptr<Module> module = connectedModule(sim.spec());
  ASSERT_TRUE(module->isConnected());
  Link* link = module->getLink();
  Recorder recorder;
  const int before = threadCount();

  gRefuseThreads = true;
  EXPECT_EQ(link->registerStreamCallback(kAddress, 0x30, 5, 2, true, recorder.callback(), nullptr), aErrResource);
  gRefuseThreads = false;
  EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
  EXPECT_EQ(threadCount(), before);
  EXPECT_TRUE(sim.source.enabledKeys().empty()) << "the module is not asked to stream";
  // No filter: a sample goes to the in-FIFO.
  sim.source.sendSample(0x30, 5, 2, StreamSource::U8, 1);
  const uint8_t pattern[] = {0x30};
  uint8_t length = 1;
  uint8_t buffer[28];
  EXPECT_EQ(link->receivePacket(kAddress, pattern, &length, buffer), aErrNone);

  // Once threads can be made again, so can subscriptions.
  ASSERT_EQ(link->registerStreamCallback(kAddress, 0x30, 5, 2, true, recorder.callback(), nullptr), aErrNone);
  sim.source.sendSample(0x30, 5, 2, StreamSource::U8, 2);
  ASSERT_TRUE(recorder.waitFor(1));
  module.reset();
}

}  // namespace
