// How the server is started on this system: by clone and exec where it can
// be told of its launcher's death (Linux), else by posix_spawn. Which road is
// settled here, by what the build found, like the other system calls.
#pragma once

#include "platform/posix/process_system_calls.hh"

#include <string>

#include <sys/types.h>

namespace quillary {

class LauncherDeathSignal;

// Starts `program`, with no arguments, in `envp`: `output` as its standard
// output and error, its standard input the launcher's, no other descriptor
// of ours, no signal blocked or ignored, a process group of its own; and arms `deathSignal` where this
// system has one. 0, or the error number of the first call that failed: a
// set-up that fails leaves the server unstarted, since half a set-up would
// hand it descriptors or ignored signals of ours.
int startServer(pid_t& pid, std::string& program, char* const envp[], int output, LauncherDeathSignal& deathSignal);

// The server's one SIGTERM for a launcher that ends without quitting: killed
// (SIGKILL, the OOM killer) or crashed. It comes once, however the launcher
// ends, unless disarmed first. Empty where the system has no way to send it
// (the plain POSIX road): the server then outlives such a launcher.
class LauncherDeathSignal {
public:
    // After the launcher's own SIGTERM at quit: nothing may follow that, so
    // the launcher's end, whenever it comes, must send the server nothing.
    void disarm();

private:
    friend int startServer(pid_t&, std::string&, char* const[], int, LauncherDeathSignal&);
    UniqueDescriptor ends_[2];
};

} // namespace quillary
