#pragma once

using ThreadFunction = void* (*)(void*);

// An operating-system thread that runs tFunction(tParm). Built by the
// registered ThreadHandler, started by create().
class Thread {
public:
    Thread(ThreadFunction function, void* parm) : tFunction(function), tParm(parm) {}
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread; false when the system would not.
    virtual bool create() = 0;
    // 1 while the thread runs, 0 before it starts and after it returned.
    virtual int status() = 0;
    // Ends the thread at once (exit code 0). A last resort: the thread's
    // locks and resources are not released cleanly.
    virtual void terminate() = 0;

    virtual ~Thread() = default;

protected:
    ThreadFunction tFunction;
    void* tParm;
    int retStatus = 0;
};
