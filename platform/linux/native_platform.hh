// The platform the process entry runs: this folder's, the Linux desktop.
#pragma once

#include "platform/linux/linux_platform.hh"

namespace quillary {
using NativePlatform = LinuxPlatform;
}
