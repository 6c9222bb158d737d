// A process-local lock for short sections (copying a text, linking a list entry). It is a
// plain atomic word, so it needs no set-up at run time and none of the language runtime's
// locks (on Windows those rest on functions the 95 family does not have); a waiter gives up
// its time slice rather than spin against the holder.
#pragma once

#include <atomic>

void PlatYield();
unsigned long PlatProcessId();

class PlatSpinLock {
  public:
    void Acquire() {
        const unsigned long self = PlatProcessId();
        for (unsigned long seen = 0;
             !owner_.compare_exchange_weak(seen, self, std::memory_order_acquire); seen = 0) {
            // Held by the parent when this process was forked: nobody here will release it.
            if (seen != 0 && seen != self &&
                owner_.compare_exchange_strong(seen, self, std::memory_order_acquire)) {
                return;
            }
            PlatYield();
        }
    }
    // Takes the lock only if it is free at once.
    bool TryAcquire() {
        unsigned long free = 0;
        return owner_.compare_exchange_strong(free, PlatProcessId(), std::memory_order_acquire);
    }
    void Release() { owner_.store(0, std::memory_order_release); }

  private:
    std::atomic<unsigned long> owner_{0};  // process id of the holder, 0 when free
};
