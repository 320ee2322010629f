#ifndef TESSARINE2_COMMON_ATHREAD_H
#define TESSARINE2_COMMON_ATHREAD_H

// Threads started and joined by their owner.
struct aThread;

typedef void* (*aThreadFunction)(void* argument);

aThread* aThread_Create(aThreadFunction function, void* argument);

// Joins the thread, frees the handle and clears the caller's pointer.
// Returns the join's own result: 0, or the system's error number.
// Must not be called by the thread itself.
int aThread_Destroy(aThread** thread);

void aThread_Yield();

// Lets another thread that is ready to run on this processor run now, and
// returns at once when there is none; never sleeps. For spins that wait on
// another thread (see aSpinWait.h).
void aThread_Relax();

#endif
