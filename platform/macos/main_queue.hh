// Work handed to the main thread from any thread, run first in, first out,
// one wake-up per piece of work; closed when the application ends.
#pragma once

#import <Foundation/Foundation.h>

#include <deque>
#include <functional>
#include <mutex>

namespace quillary {

class MainQueue {
public:
    MainQueue();
    ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // Safe from any thread; never waits for the main thread.
    void async(std::function<void()> work);
    // Drops what is queued and all that comes later: the application is ending.
    void close();
    // Runs the oldest piece of queued work, if the queue still holds one.
    // On the main thread, from the wake-up.
    void runNext();

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
    bool closed_ = false;
    // Where the wake-up goes through the run loop's own hand-off, the
    // object it is performed on; nil where the main dispatch queue wakes.
    id waker_ = nil;
};

} // namespace quillary
