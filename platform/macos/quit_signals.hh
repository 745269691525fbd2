// SIGTERM, SIGINT and SIGHUP quit as the menu does. Plain C++: the signals
// reach AppKit only through the platform's main queue.
#pragma once

namespace quillary {

class MacPlatform;

// For the rest of the process's life; the platform must live as long.
void quitOnSignals(MacPlatform& platform);

} // namespace quillary
