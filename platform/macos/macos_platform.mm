#include "platform/macos/macos_platform.hh"

#include "platform/macos/delegate_bridge.hh"
#include "platform/macos/main_queue.hh"
#include "platform/macos/menu.hh"
#include "platform/macos/newer_app_kit.hh"
#include "platform/macos/quit_signals.hh"
#include "platform/macos/status_item.hh"
#include "platform/macos/text_conversion.hh"
#include "platform/posix/posix_process.hh"

#include <cstdlib>

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#if __has_include(<os/log.h>)
#include <os/log.h>
#define QUILLARY_HAVE_OS_LOG 1
#else
#define QUILLARY_HAVE_OS_LOG 0
#endif

namespace quillary {

namespace {

constexpr NSInteger kActivationPolicyRegular = 0; // NSApplicationActivationPolicyRegular

} // namespace

struct MacPlatform::Objects {
    QuillaryApplicationDelegate* delegate = nil;
};

MacPlatform::MacPlatform() : objects_(std::make_unique<Objects>()), mainQueue_(std::make_unique<MainQueue>()) {}

MacPlatform::~MacPlatform()
{
    [objects_->delegate release];
}

int MacPlatform::run(ApplicationDelegate& delegate)
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    delegate_ = &delegate;
    [NSApplication sharedApplication];
    objects_->delegate = [[QuillaryApplicationDelegate alloc] initWithPlatform:this controller:&delegate];
    // Objective-C is used from the server's reader and waiter threads, which
    // Foundation does not start: one thread of its own tells it to guard
    // itself against threads before they come.
    [NSThread detachNewThreadSelector:@selector(becomeMultithreaded:) toTarget:objects_->delegate withObject:nil];
    [NSApp setDelegate:objects_->delegate];
    quitOnSignals(*this);
    [NSApp run];
    // terminate: usually ends the process itself; should the loop return
    // instead, the status is the one kept.
    [pool release];
    return static_cast<int>(termination_.status());
}

bool MacPlatform::applicationShouldTerminate()
{
    // terminate: ends the process before the alert's caller is back to say
    // how it ends: the alert is closed instead, and its caller ends the
    // application itself.
    if (!alertUp_)
        return true;
    [NSApp stopModal];
    // The modal loop sees that it is stopped only after its next event:
    // one of no meaning, where the request came from no event (a signal).
    [NSApp postEvent:[NSEvent otherEventWithType:NSApplicationDefined location:NSMakePoint(0, 0) modifierFlags:0
                                       timestamp:0 windowNumber:0 context:nil subtype:0 data1:0 data2:0]
             atStart:NO];
    return false;
}

void MacPlatform::applicationWillTerminate()
{
    // Here from terminate as from the menu's Quit, which sends terminate:
    // to NSApp itself.
    termination_.begin(*mainQueue_, *delegate_);
    // NSApp ends the process with status 0 once this returns; a failure
    // that was reported must stay the exit status.
    if (termination_.status() == ExitStatus::failure)
        std::exit(static_cast<int>(ExitStatus::failure));
}

void MacPlatform::perform(MenuAction action)
{
    if (termination_.begun())
        return;
    switch (action) {
    case MenuAction::openUI:
        delegate_->openUI();
        break;
    case MenuAction::terminate:
        terminate(ExitStatus::success);
        break;
    case MenuAction::none:
        break;
    }
}

void MacPlatform::terminate(ExitStatus status)
{
    termination_.asked(status);
    if (termination_.begun())
        return;
    [NSApp terminate:nil];
}

void MacPlatform::setActivationPolicy(ActivationPolicy)
{
    // GNUstep has no activation policies: every application is regular there.
    if ([NSApp respondsToSelector:@selector(setActivationPolicy:)])
        [(id<QuillaryNewerAppKit>)NSApp setActivationPolicy:kActivationPolicyRegular];
}

void MacPlatform::setMainMenu(Menu menu)
{
    // macOS titles the application menu with the application's name whatever
    // it is given; GNUstep shows the titles it is given.
    [NSApp setMainMenu:makeMenu(nsString(QUILLARY_APP_NAME), menu, objects_->delegate)];
}

std::unique_ptr<StatusItem> MacPlatform::makeStatusItem()
{
    NSStatusItem* item = [[NSStatusBar systemStatusBar] statusItemWithLength:NSVariableStatusItemLength];
    if (!item)
        return std::make_unique<NoStatusItem>();
    return std::make_unique<MacStatusItem>(item, objects_->delegate);
}

void MacPlatform::runModalAlert(std::string_view messageText, std::string_view informativeText)
{
    alertUp_ = true;
    NSAlert* alert = [[NSAlert alloc] init];
    [alert setMessageText:nsString(messageText)];
    [alert setInformativeText:nsString(informativeText)];
    [alert runModal];
    [alert release];
    alertUp_ = false;
}

void MacPlatform::openURL(std::string_view url)
{
    if (NSURL* address = [NSURL URLWithString:nsString(url)])
        [[NSWorkspace sharedWorkspace] openURL:address];
}

std::optional<std::filesystem::path> MacPlatform::resourcePath(std::string_view name)
{
    // Beside the launcher in the bundle: Contents/MacOS on macOS, the
    // application's own folder under GNUstep.
    NSString* path = [[NSBundle mainBundle] pathForAuxiliaryExecutable:nsString(name)];
    if (!path || ![[NSFileManager defaultManager] fileExistsAtPath:path])
        return std::nullopt;
    return std::filesystem::path(utf8(path));
}

Environment MacPlatform::environment()
{
    Environment variables;
    NSDictionary* environment = [[NSProcessInfo processInfo] environment];
    // An enumerator, not for-in: GCC's Objective-C++ has no fast enumeration.
    NSEnumerator* names = [environment keyEnumerator];
    while (NSString* name = [names nextObject])
        variables.emplace(utf8(name), utf8([environment objectForKey:name]));
    return variables;
}

void MacPlatform::async(std::function<void()> work)
{
    mainQueue_->async(std::move(work));
}

std::unique_ptr<ServerProcess> MacPlatform::makeServerProcess()
{
    return std::make_unique<PosixProcess>();
}

void MacPlatform::debugLog(std::string_view line)
{
#if QUILLARY_HAVE_OS_LOG
    // At the debug level: kept only while `log stream --level debug` asks.
    os_log_debug(OS_LOG_DEFAULT, "%{public}.*s", static_cast<int>(line.size()), line.data());
#else
    (void)line; // GNUstep has no debug log that is silent unless asked
#endif
}

} // namespace quillary
