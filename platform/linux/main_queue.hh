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
    // Attaches the queue to the default main context.
    MainQueue();
    ~MainQueue();
    MainQueue(const MainQueue&) = delete;
    MainQueue& operator=(const MainQueue&) = delete;

    // Safe from any thread; never waits for the main thread.
    void async(std::function<void()> work);
    // Drops what is queued and all that comes later: the application is ending.
    void close();

private:
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);

    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
    // Ours for the queue's life; ready whenever work waits.
    GSource* source_;
    bool closed_ = false;
};

} // namespace quillary
