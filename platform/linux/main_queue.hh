// Work handed to the GLib main context from any thread, run first in,
// first out, one wake-up at a time.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include <glib.h>

namespace quillary {

class MainQueue {
public:
    MainQueue() = default;
    ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // Safe from any thread; never waits for the main thread.
    void async(std::function<void()> work);
    // Drops what is queued and all that comes later: the application is ending.
    void close();

private:
    static gboolean drain(gpointer self);

    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
    guint source_ = 0; // the idle source that will drain, while one is pending
    bool closed_ = false;
};

} // namespace quillary
