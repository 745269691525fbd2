// The tests' view of the AppKit launcher under GNUstep, which has no
// accessibility bus: linked into a test build of the launcher, never into
// the product. On standard output it tells the main menu once launched, the
// texts of a modal window once one is up, and the end; on standard input
// "o" or "q" is pressed with Command, as a key equivalent.
#import <AppKit/AppKit.h>

#include <cstdio>

@interface QuillaryProbe : NSObject
@end

@implementation QuillaryProbe

+ (void)load
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    QuillaryProbe* probe = [[QuillaryProbe alloc] init];
    NSNotificationCenter* center = [NSNotificationCenter defaultCenter];
    [center addObserver:probe selector:@selector(launched:) name:NSApplicationDidFinishLaunchingNotification object:nil];
    [center addObserver:probe selector:@selector(ending:) name:NSApplicationWillTerminateNotification object:nil];
    [pool release];
}

static void say(NSString* line)
{
    std::printf("%s\n", [[line stringByReplacingOccurrencesOfString:@"\n" withString:@"\\n"] UTF8String]);
    std::fflush(stdout);
}

- (void)launched:(NSNotification*)notification
{
    (void)notification;
    // After every observer, the launcher's delegate among them.
    [self performSelector:@selector(tell) withObject:nil afterDelay:0];
    // The alert runs the loop in the modal panel's mode.
    NSTimer* timer = [NSTimer timerWithTimeInterval:0.1 target:self selector:@selector(watch:) userInfo:nil repeats:YES];
    [[NSRunLoop currentRunLoop] addTimer:timer forMode:NSModalPanelRunLoopMode];
    NSFileHandle* input = [NSFileHandle fileHandleWithStandardInput];
    [[NSNotificationCenter defaultCenter] addObserver:self selector:@selector(command:)
                                                 name:NSFileHandleReadCompletionNotification object:input];
    [input readInBackgroundAndNotify];
}

- (void)tell
{
    NSMenuItem* top = [[NSApp mainMenu] itemAtIndex:0];
    say([NSString stringWithFormat:@"menu\t%@", [top title]]);
    NSArray* items = [[top submenu] itemArray];
    for (NSUInteger i = 0; i < [items count]; ++i) {
        NSMenuItem* item = [items objectAtIndex:i];
        BOOL command = ([item keyEquivalentModifierMask] & NSCommandKeyMask) != 0;
        say([item isSeparatorItem] ? @"item\t-" : [NSString stringWithFormat:@"item\t%@\t%@%@", [item title],
                                                   command ? @"Command-" : @"", [item keyEquivalent]]);
    }
}

static void texts(NSView* view, NSMutableArray* found)
{
    if ([view isKindOfClass:[NSTextField class]])
        [found addObject:[(NSTextField*)view stringValue]];
    if ([view isKindOfClass:[NSTextView class]])
        [found addObject:[(NSTextView*)view string]];
    NSArray* subviews = [view subviews];
    for (NSUInteger i = 0; i < [subviews count]; ++i)
        texts([subviews objectAtIndex:i], found);
}

- (void)watch:(NSTimer*)timer
{
    if (NSWindow* window = [NSApp modalWindow]) {
        NSMutableArray* found = [NSMutableArray array];
        texts([window contentView], found);
        say([@"modal\t" stringByAppendingString:[found componentsJoinedByString:@"\t"]]);
        [timer invalidate];
    }
}

- (void)command:(NSNotification*)notification
{
    NSData* data = [[notification userInfo] objectForKey:NSFileHandleNotificationDataItem];
    NSString* key = [[[NSString alloc] initWithData:data encoding:NSUTF8StringEncoding] autorelease];
    key = [key stringByTrimmingCharactersInSet:[NSCharacterSet whitespaceAndNewlineCharacterSet]];
    if ([key length] == 0)
        return;
    NSEvent* press = [NSEvent keyEventWithType:NSKeyDown location:NSZeroPoint modifierFlags:NSCommandKeyMask
                                     timestamp:0 windowNumber:0 context:nil characters:key
                   charactersIgnoringModifiers:key isARepeat:NO keyCode:0];
    BOOL handled = [[NSApp mainMenu] performKeyEquivalent:press];
    say([NSString stringWithFormat:@"key\t%@\t%@", key, handled ? @"handled" : @"not handled"]);
    [[notification object] readInBackgroundAndNotify];
}

- (void)ending:(NSNotification*)notification
{
    (void)notification;
    say(@"will terminate");
}

@end
