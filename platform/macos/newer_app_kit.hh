// AppKit that GNUstep (and an older system) lacks, declared here so that
// the adapter compiles against headers without it; each is sent only after
// respondsToSelector: has said it is there.
#pragma once

#import <AppKit/AppKit.h>

@protocol QuillaryNewerAppKit
- (BOOL)setActivationPolicy:(NSInteger)activationPolicy; // NSApplication, 10.6
- (NSImage*)imageWithSystemSymbolName:(NSString*)symbolName
             accessibilityDescription:(NSString*)description; // NSImage class, 11.0
- (id)button; // NSStatusItem, 10.10: the item's NSStatusBarButton
@end
