// The platform the process entry runs: this folder's, AppKit.
#pragma once

#include "platform/macos/macos_platform.hh"

namespace quillary {
using NativePlatform = MacPlatform;
}
