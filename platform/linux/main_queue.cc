#include "platform/linux/main_queue.hh"

namespace quillary {

MainQueue::~MainQueue()
{
    std::lock_guard lock(mutex_);
    if (source_)
        g_source_remove(source_);
}

void MainQueue::async(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return;
    work_.push_back(std::move(work));
    // One idle source drains everything queued meanwhile; g_idle_add wakes
    // the main context from any thread.
    if (!source_)
        source_ = g_idle_add(drain, this);
}

void MainQueue::close()
{
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(work_);
}

gboolean MainQueue::drain(gpointer self)
{
    auto* queue = static_cast<MainQueue*>(self);
    // Only what is queued now: work queued while this runs waits for the
    // next turn of the loop, so that a busy reader cannot starve the desktop.
    std::size_t count;
    {
        std::lock_guard lock(queue->mutex_);
        count = queue->work_.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::function<void()> work;
        {
            std::lock_guard lock(queue->mutex_);
            if (queue->work_.empty())
                break; // closed meanwhile
            work = std::move(queue->work_.front());
            queue->work_.pop_front();
        }
        work();
    }
    std::lock_guard lock(queue->mutex_);
    if (!queue->work_.empty())
        return G_SOURCE_CONTINUE;
    queue->source_ = 0;
    return G_SOURCE_REMOVE;
}

} // namespace quillary
