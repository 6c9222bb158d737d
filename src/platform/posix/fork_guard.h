// A lock file held across fork(): a child forked while another thread holds the lock inherits
// the locked file description and would keep the lock for ever without knowing it. Whoever
// takes such a lock holds this guard for as long, and fork waits for the guard.
#pragma once

#include <pthread.h>

namespace fork_guard {

inline pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
inline pthread_once_t g_once = PTHREAD_ONCE_INIT;

inline void Give() {
    pthread_mutex_unlock(&g_mutex);
}

inline void Take() {
    pthread_once(&g_once, [] { pthread_atfork([] { pthread_mutex_lock(&g_mutex); }, Give, Give); });
    pthread_mutex_lock(&g_mutex);
}

}  // namespace fork_guard
