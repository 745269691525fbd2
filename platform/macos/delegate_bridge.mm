#include "platform/macos/delegate_bridge.hh"

@implementation QuillaryApplicationDelegate

- (id)initWithPlatform:(quillary::MacPlatform*)owner controller:(quillary::ApplicationDelegate*)delegate
{
    if ((self = [super init])) {
        platform = owner;
        controller = delegate;
    }
    return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification
{
    (void)notification;
    controller->applicationDidFinishLaunching();
}

- (BOOL)applicationShouldHandleReopen:(NSApplication*)application hasVisibleWindows:(BOOL)flag
{
    (void)application;
    return controller->applicationShouldHandleReopen(flag) ? YES : NO;
}

- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)application
{
    (void)application;
    return platform->applicationShouldTerminate() ? NSTerminateNow : NSTerminateCancel;
}

- (void)applicationWillTerminate:(NSNotification*)notification
{
    (void)notification;
    platform->applicationWillTerminate();
}

- (void)openUI:(id)sender
{
    (void)sender;
    platform->perform(quillary::MenuAction::openUI);
}

- (void)becomeMultithreaded:(id)unused
{
    (void)unused;
}

@end
