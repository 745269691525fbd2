// The NSApplicationDelegate: AppKit's calls to the application, handed on
// to the controller and the platform.
#pragma once

#include "platform/macos/macos_platform.hh"

#import <AppKit/AppKit.h>

@interface QuillaryApplicationDelegate : NSObject <NSApplicationDelegate> {
    quillary::MacPlatform* platform;
    quillary::ApplicationDelegate* controller;
}
- (id)initWithPlatform:(quillary::MacPlatform*)owner controller:(quillary::ApplicationDelegate*)delegate;
- (void)openUI:(id)sender;
// Does nothing: the entry of the thread MacPlatform::run starts only so
// that Foundation guards itself against threads.
- (void)becomeMultithreaded:(id)unused;
@end
