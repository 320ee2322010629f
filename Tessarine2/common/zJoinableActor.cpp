#include "Tessarine2/common/zJoinableActor.h"

#include <errno.h>

#include <mutex>
#include <new>

#include "Tessarine2/common/aThread.h"
#include "Tessarine2/common/aTime.h"
#include "Tessarine2/common/zSignals.h"

struct zJoinableActor {
  zJoinableActorBody body = nullptr;
  void* argument = nullptr;
  // The owner's end: used by the owner and by zJoinableActor_Signal from any
  // thread, so every send goes under the mutex.
  zsock_t* pipe = nullptr;
  std::mutex pipeMutex;
  // The actor's end: the actor thread's alone while it runs.
  zsock_t* actorPipe = nullptr;
  aThread* thread = nullptr;
};

namespace {

void* sRun(void* argument) {
  zJoinableActor* actor = static_cast<zJoinableActor*>(argument);
  actor->body(actor->actorPipe, actor->argument);
  // Unblocks zJoinableActor_New when the body ended before it signalled;
  // otherwise an unread message that goes with the pipe.
  zsock_set_sndtimeo(actor->actorPipe, 0);
  zsock_signal(actor->actorPipe, 0);
  return nullptr;
}

// The body's ready signal; a signal that interrupts the wait does not end
// it.
void sAwaitReady(zsock_t* pipe) {
  while (zsock_wait(pipe) != 0 && zmq_errno() == EINTR) {
  }
}

void sClosePipe(zJoinableActor* actor) {
  zsock_destroy(&actor->actorPipe);
  zsock_destroy(&actor->pipe);
}

}  // namespace

zJoinableActor* zJoinableActor_New(zJoinableActorBody body, void* argument) {
  if (body == nullptr) {
    return nullptr;
  }
  zJoinableActor* actor = new (std::nothrow) zJoinableActor();
  if (actor == nullptr) {
    return nullptr;
  }
  actor->body = body;
  actor->argument = argument;
  zSignals_LeaveToHost();
  actor->pipe = zsys_create_pipe(&actor->actorPipe);
  if (actor->pipe == nullptr || actor->actorPipe == nullptr) {
    sClosePipe(actor);
    delete actor;
    return nullptr;
  }
  actor->thread = aThread_Create(sRun, actor);
  if (actor->thread == nullptr) {
    sClosePipe(actor);
    delete actor;
    return nullptr;
  }
  sAwaitReady(actor->pipe);
  return actor;
}

bool zJoinableActor_Signal(zJoinableActor* actor, uint8_t status) {
  if (actor == nullptr) {
    return false;
  }
  std::lock_guard<std::mutex> hold(actor->pipeMutex);
  return zsock_signal(actor->pipe, status) == 0;
}

void zJoinableActor_Destroy(zJoinableActor** actor) {
  if (actor == nullptr || *actor == nullptr) {
    return;
  }
  zJoinableActor* self = *actor;
  *actor = nullptr;
  {
    std::lock_guard<std::mutex> hold(self->pipeMutex);
    // A body that has already ended no longer reads; the message then goes
    // with the pipe instead of blocking here.
    zsock_set_sndtimeo(self->pipe, 0);
    zstr_send(self->pipe, "$TERM");
  }
  aThread_Destroy(&self->thread);
  sClosePipe(self);
  delete self;
}

void* zJoinableActor_Wait(zpoller_t* poller, int timeoutMS) {
  const uint64_t start = aTime_GetMSTicks();
  int left = timeoutMS;
  for (;;) {
    void* which = zpoller_wait(poller, left);
    if (which != nullptr || !zpoller_terminated(poller) || zmq_errno() != EINTR) {
      return which;
    }
    if (timeoutMS >= 0) {
      // At the time limit one more look, which ends as expired.
      const uint64_t waited = aTime_GetMSTicks() - start;
      left = waited >= static_cast<uint64_t>(timeoutMS) ? 0 : timeoutMS - static_cast<int>(waited);
    }
  }
}
