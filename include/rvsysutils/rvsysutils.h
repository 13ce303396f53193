// The whole public interface of rvsysutils.
#ifndef RVSYSUTILS_RVSYSUTILS_H
#define RVSYSUTILS_RVSYSUTILS_H

#include "Semaphore.h"
#include "Thread.h"
#include "ThreadBase.h"
#include "ThreadEvent.h"
#include "ThreadMutex.h"
#include "TimerManager.h"
#include "TimersAndEventManager.h"

#endif  // RVSYSUTILS_RVSYSUTILS_H
