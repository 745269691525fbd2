// The seam's Menu as an NSMenu, for the main menu and the status item's.
#pragma once

#include "platform/platform.hh"

#import <AppKit/AppKit.h>

namespace quillary {

// Autoreleased. `target` is sent openUI: by the items that open the UI.
NSMenu* makeMenu(NSString* title, const Menu& menu, id target);

} // namespace quillary
