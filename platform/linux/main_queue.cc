#include "platform/linux/main_queue.hh"

namespace quillary {

namespace {

struct QueueSource {
    GSource source;
    MainQueue* queue;
};

} // namespace

MainQueue::MainQueue()
{
    static GSourceFuncs functions{nullptr, nullptr, dispatch, nullptr, nullptr, nullptr};
    source_ = g_source_new(&functions, sizeof(QueueSource));
    reinterpret_cast<QueueSource*>(source_)->queue = this;
    // As an idle source: the desktop's own events and calls go first.
    g_source_set_priority(source_, G_PRIORITY_DEFAULT_IDLE);
    // A step that shows the alert runs the alert's loop inside this source's
    // dispatch; the work queued behind it (a click on the tray's Quit) must
    // run meanwhile, and in order, so the source runs again in there.
    g_source_set_can_recurse(source_, TRUE);
    g_source_set_ready_time(source_, -1);
    g_source_set_name(source_, QUILLARY_PROGRAM " main queue");
    g_source_attach(source_, nullptr);
}

MainQueue::~MainQueue()
{
    close();
    std::lock_guard lock(mutex_); // a late async must not wake a source destroyed
    g_source_destroy(source_);
    g_source_unref(source_);
}

void MainQueue::async(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return;
    work_.push_back(std::move(work));
    // Wakes the main context from any thread.
    g_source_set_ready_time(source_, 0);
}

void MainQueue::close()
{
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(work_);
}

gboolean MainQueue::dispatch(GSource* source, GSourceFunc, gpointer)
{
    MainQueue& queue = *reinterpret_cast<QueueSource*>(source)->queue;
    // Only what is queued now: work queued while this runs waits for the
    // next turn of the loop, so that a busy reader cannot starve the desktop.
    std::size_t count;
    {
        std::lock_guard lock(queue.mutex_);
        g_source_set_ready_time(source, -1);
        count = queue.work_.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::function<void()> work;
        {
            std::lock_guard lock(queue.mutex_);
            if (queue.work_.empty())
                break; // closed meanwhile, or run by the alert's loop
            work = std::move(queue.work_.front());
            queue.work_.pop_front();
        }
        work();
    }
    std::lock_guard lock(queue.mutex_);
    if (!queue.work_.empty())
        g_source_set_ready_time(source, 0);
    return G_SOURCE_CONTINUE;
}

} // namespace quillary
