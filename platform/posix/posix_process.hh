// The server process on POSIX systems: started as the system allows
// (server_start), one pipe for standard output and standard error, a reader
// thread and a waiter thread.
#pragma once

#include "platform/platform.hh"

#include <memory>

namespace quillary {

class PosixProcess final : public ServerProcess {
public:
    PosixProcess();
    ~PosixProcess() override;
    PosixProcess(const PosixProcess&) = delete;
    PosixProcess& operator=(const PosixProcess&) = delete;

    void setExecutable(std::filesystem::path executable) override;
    void setEnvironment(const Environment& environment) override;
    void setOutputHandler(OutputHandler handler) override;
    void setTerminationHandler(TerminationHandler handler) override;
    std::optional<std::string> launch() override;
    int processIdentifier() const override;
    bool isRunning() const override;
    void terminate() override;
    bool waitUntilExit(std::chrono::milliseconds timeout) override;

private:
    struct Shared; // what the reader and waiter threads share with the object
    std::shared_ptr<Shared> shared_;
    std::filesystem::path executable_;
    Environment environment_;
};

} // namespace quillary
