#pragma once
// The base of the engine's threads (the credential tester, the supervisor
// and the migration workers): one joinable operating-system thread per
// object, a stop flag the thread's work polls, and the frame that keeps any
// exception from ending the process.
#include "tiny/KMutex.h"

#include <pthread.h>

#include <atomic>
#include <string>

namespace tavir::migration {

class Thread {
public:
    explicit Thread(std::wstring name);
    // Neither joins nor detaches: the owner joins (join()) before it lets
    // the object go, since the thread runs the object's own code.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    virtual bool isTerminated();
    // Raises (or clears) the stop flag; the work honours it at its own
    // checkpoints. Never waits.
    virtual void setTerminated(bool terminated);
    // Under the start lock: when the object has no thread yet, starts a
    // joinable thread that runs start(this). False when it has one already
    // or the thread can't be made.
    virtual bool guardedStart(void (*start)(void*));
    virtual void execute() = 0;

    // Waits, under the join lock, for the thread to end. True when it was
    // joined now or before; false when it was never started, or when it is
    // asked on the thread itself (before the join lock, which an owner
    // joining at the same moment holds while it waits for this thread) or
    // the join failed, the thread then left to its owner to join.
    bool join();
    // Started and its work not yet returned.
    bool isRunning() const { return running_; }
    // True on the thread that runs this object's work, while it runs.
    bool isCurrent() const;
    const std::wstring& name() const { return name_; }

    // The body of every start routine: execute(), with anything it throws
    // turned into a sentence for recover(); the thread then ends normally.
    void run();

protected:
    // Runs on the thread when execute() let an exception out. The default
    // writes the sentence to the report and the debug log; a subclass adds
    // what its work in hand needs (an account marked failed).
    virtual void recover(const std::wstring& sentence);

private:
    std::wstring name_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> running_{false};
    std::atomic<unsigned long> runner_{0}; // tiny::threadID() of the work's thread; 0: none
    bool started_ = false; // under startLock_
    pthread_t handle_{}; // under joinLock_; cleared once joined
    tiny::KMutex startLock_;
    tiny::KMutex joinLock_;
};

// Supplies the plain start routine for a thread class T derived from Thread.
template <class T> class ThreadRunner {
public:
    // `arg` is the T object whose guardedStart created the thread; it was
    // passed as a Thread*, so it goes back through that type.
    static void startPoint(void* arg) { static_cast<T*>(static_cast<Thread*>(arg))->run(); }
};

} // namespace tavir::migration
