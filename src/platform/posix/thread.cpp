// Threads that anybody may wait for any number of times: pthread_join allows one waiter, so
// the end of the thread is published through a condition variable instead.
#include "platform/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/posix/deadline.h"

struct PlatThread {
    PlatThreadProc proc;
    void *arg;
    pthread_mutex_t lock;
    pthread_cond_t ended_cond;
    bool ended;
    pid_t process;  // the process the thread runs in
    PlatThread *next;
};

namespace {
// Every handle ever handed out, so that they stay reachable for the life of the process.
std::atomic<PlatThread *> g_threads{nullptr};

void *Trampoline(void *raw) {
    auto *thread = static_cast<PlatThread *>(raw);
    thread->proc(thread->arg);
    pthread_mutex_lock(&thread->lock);
    thread->ended = true;
    pthread_cond_broadcast(&thread->ended_cond);
    pthread_mutex_unlock(&thread->lock);
    return nullptr;
}
}  // namespace

PlatThread *PlatThreadStart(PlatThreadProc proc, void *arg) {
    // Never freed: a handle stays valid for every waiter for the life of the process.
    auto *thread = new (std::nothrow) PlatThread{
        proc, arg, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false, getpid(), nullptr};
    if (thread == nullptr) return nullptr;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    int rc = pthread_create(&id, &attr, Trampoline, thread);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete thread;
        return nullptr;
    }
    thread->next = g_threads.load();
    while (!g_threads.compare_exchange_weak(thread->next, thread)) {
    }
    return thread;
}

void PlatThreadWait(PlatThread *thread) {
    // A forked child has none of its parent's threads, only their handles, whose end it would
    // never see (and whose lock the thread may have held at the fork).
    if (thread == nullptr || thread->process != getpid()) return;
    pthread_mutex_lock(&thread->lock);
    while (!thread->ended) pthread_cond_wait(&thread->ended_cond, &thread->lock);
    pthread_mutex_unlock(&thread->lock);
}

bool PlatThreadWaitFor(PlatThread *thread, unsigned milliseconds) {
    if (thread == nullptr || thread->process != getpid()) return true;
    const timespec until = PosixDeadline(milliseconds);
    pthread_mutex_lock(&thread->lock);
    int rc = 0;
    while (!thread->ended && rc == 0) {
        rc = pthread_cond_timedwait(&thread->ended_cond, &thread->lock, &until);
    }
    const bool ended = thread->ended;
    pthread_mutex_unlock(&thread->lock);
    return ended;
}

unsigned long PlatThreadId() {
    return static_cast<unsigned long>(pthread_self());
}
