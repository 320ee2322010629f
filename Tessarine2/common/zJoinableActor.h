#ifndef TESSARINE2_COMMON_ZJOINABLEACTOR_H
#define TESSARINE2_COMMON_ZJOINABLEACTOR_H

#include <czmq.h>

#include <cstdint>

// An actor in CZMQ's manner, a thread that talks to its owner over a pair of
// sockets (the pipe), whose thread the owner joins. CZMQ's own zactor
// detaches its thread and tells the owner of its end only through the pipe;
// the module-sharing server and the client stream free what their actors use
// right after stopping them, so they need the join.
//
// The body runs on the new thread with the actor's end of the pipe. It
// signals the pipe once (zsock_signal) when it is ready for work, and
// returns when it receives any message on the pipe that it does not know
// (zJoinableActor_Destroy sends "$TERM"). A body that returns without having
// signalled still lets zJoinableActor_New return.
struct zJoinableActor;

typedef void (*zJoinableActorBody)(zsock_t* pipe, void* argument);

// Starts the thread and waits for the body's ready signal. NULL when the
// pipe or the thread cannot be made.
zJoinableActor* zJoinableActor_New(zJoinableActorBody body, void* argument);

// Sends a CZMQ signal with the status (0 to 255) down the pipe; any thread
// may call it. false when it could not be sent.
bool zJoinableActor_Signal(zJoinableActor* actor, uint8_t status);

// Tells the body to end, joins its thread, then closes the pipe and clears
// the caller's pointer. Nothing for NULL.
void zJoinableActor_Destroy(zJoinableActor** actor);

// zpoller_wait for actor bodies (timeout -1: no limit): a signal that
// interrupts the wait does not end it, the wait goes on for the time left.
// NULL when the time is up, or when the messaging context is ending
// (zpoller_terminated then tells).
void* zJoinableActor_Wait(zpoller_t* poller, int timeoutMS);

#endif
