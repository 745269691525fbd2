// The default browser of the GNUstep tests: a GNUstep application that
// NSWorkspace starts for http addresses (once registered with --register),
// and that appends each address it is given to the file $RECORDER_LOG.
// GNUstep finds a running application by its name among all of the user's:
// each test names its copy apart.
#import <AppKit/AppKit.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

@interface Recorder : NSObject
@end

@implementation Recorder

- (BOOL)application:(NSApplication*)application openURL:(NSURL*)url
{
    if (FILE* log = std::fopen(std::getenv("RECORDER_LOG"), "a")) {
        std::fprintf(log, "%s\n", [[url absoluteString] UTF8String]);
        std::fclose(log);
    }
    // It runs on for the next address, as a browser does; the test ends it.
    (void)application; // the asking application's NSApp, through Distributed Objects
    return YES;
}

@end

int main(int argc, char** argv)
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    [NSApplication sharedApplication];
    if (argc > 1 && std::strcmp(argv[1], "--register") == 0) {
        NSWorkspace* workspace = [NSWorkspace sharedWorkspace];
        NSString* name = [[NSProcessInfo processInfo] processName];
        [workspace setBestApp:name inRole:nil forScheme:@"http"];
        return [[workspace getBestAppInRole:nil forScheme:@"http"] isEqual:name] ? 0 : 1;
    }
    // Its PID beside the log, so that the test ends this recorder and no other.
    if (FILE* pid = std::fopen((std::string(std::getenv("RECORDER_LOG")) + ".pid").c_str(), "w")) {
        std::fprintf(pid, "%d\n", static_cast<int>(getpid()));
        std::fclose(pid);
    }
    [NSApp setDelegate:[[Recorder alloc] init]];
    [NSApp run];
    [pool release];
    return 0;
}
