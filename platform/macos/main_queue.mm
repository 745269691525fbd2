#include "platform/macos/main_queue.hh"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

// The main queue is drained by the run loop on macOS; GNUstep drains it only
// when it was built with libdispatch's run loop, and says so in its
// configuration. Otherwise the run loop's own hand-off does the same.
#if defined(GS_USE_LIBDISPATCH_RUNLOOP) && !GS_USE_LIBDISPATCH_RUNLOOP
#define QUILLARY_MAIN_QUEUE_DISPATCH 0
#else
#define QUILLARY_MAIN_QUEUE_DISPATCH 1
#include <dispatch/dispatch.h>
#endif

#if !QUILLARY_MAIN_QUEUE_DISPATCH
@interface QuillaryMainQueueWaker : NSObject {
    quillary::MainQueue* queue;
}
- (id)initWithQueue:(quillary::MainQueue*)owner;
- (void)runNext:(id)unused;
@end

@implementation QuillaryMainQueueWaker

- (id)initWithQueue:(quillary::MainQueue*)owner
{
    if ((self = [super init]))
        queue = owner;
    return self;
}

- (void)runNext:(id)unused
{
    (void)unused;
    queue->runNext();
}

@end
#endif

namespace quillary {

MainQueue::MainQueue()
{
#if !QUILLARY_MAIN_QUEUE_DISPATCH
    waker_ = [[QuillaryMainQueueWaker alloc] initWithQueue:this];
#endif
}

MainQueue::~MainQueue()
{
    [waker_ release];
}

void MainQueue::async(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        work_.push_back(std::move(work));
    }
    // One wake-up per piece of work, each taking the oldest: first in, first
    // out, as both hand-offs deliver in the order they were asked.
#if QUILLARY_MAIN_QUEUE_DISPATCH
    dispatch_async_f(dispatch_get_main_queue(), this, [](void* self) { static_cast<MainQueue*>(self)->runNext(); });
#else
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    // In the modal panel's mode too: the server's end must reach the
    // controller while the alert is up, as the main queue's work does.
    NSArray* modes = [NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode,
                                               NSEventTrackingRunLoopMode, nil];
    [waker_ performSelectorOnMainThread:@selector(runNext:) withObject:nil waitUntilDone:NO modes:modes];
    [pool release];
#endif
}

void MainQueue::close()
{
    std::deque<std::function<void()>> dropped; // destroyed outside the lock
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(work_);
    }
}

void MainQueue::runNext()
{
    std::function<void()> work;
    {
        std::lock_guard lock(mutex_);
        if (work_.empty())
            return; // dropped: the application is ending
        work = std::move(work_.front());
        work_.pop_front();
    }
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    work();
    [pool release];
}

} // namespace quillary
