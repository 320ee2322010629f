#include "Tessarine2/common/zJoinableActor.h"

#include <mutex>
#include <new>

#include "Tessarine2/common/aThread.h"

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
  zsock_wait(actor->pipe);
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
