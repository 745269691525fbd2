// Starting the embedded server and wiring its output and its end to the
// controller.
#include "app/app_delegate.hh"

#include "app/texts.hh"
#include "server/pending_output.hh"

#include <string>

namespace quillary {

void AppDelegate::startServer()
{
    std::optional<std::filesystem::path> resource = app.resourcePath(kServerResource);
    if (!resource) {
        fail(kServerMissing);
        return;
    }

    std::unique_ptr<ServerProcess> process = app.makeServerProcess();
    process->setExecutable(*resource);

    Environment environment = app.environment();
    environment.insert_or_assign(std::string(kAppVariable), std::string(kAppVariableValue));
    process->setEnvironment(environment);

    // Both handlers run on the process's own threads. They hold the
    // controller weakly, touch none of its state and only queue work to the
    // main thread; the platform outlives the process object, which calls
    // no handler once destroyed.
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    Platform& platform = app;

    // The output waits in `pending` until the main thread needs it: at once
    // for the port, and for the tail when the server has ended.
    auto pending = std::make_shared<PendingOutput>();
    auto consumePending = [pending](AppDelegate& self) { self.consume(pending->take()); };
    process->setOutputHandler([weakSelf, pending, consumePending, &platform](std::string_view bytes) {
        if (!pending->add(bytes))
            return;
        platform.async([weakSelf, consumePending] {
            if (std::shared_ptr<AppDelegate> self = weakSelf.lock())
                consumePending(*self);
        });
    });

    // Called only once the output has been read to its end (or for a short
    // while more, should a grandchild hold the pipe), so that the server's
    // last words are pending when its end is handled.
    process->setTerminationHandler([weakSelf, consumePending, &platform](int terminationStatus) {
        // Logged here, as it happens: the main thread takes no more work once quitting.
        platform.debugLog("server ended with status " + std::to_string(terminationStatus));
        platform.async([weakSelf, consumePending, terminationStatus] {
            if (std::shared_ptr<AppDelegate> self = weakSelf.lock()) {
                consumePending(*self);
                self->serverDidExit(terminationStatus);
            }
        });
    });

    if (std::optional<std::string> error = process->launch()) {
        fail(std::string(kLaunchFailed) + *error);
        return;
    }
    app.debugLog("server started: " + resource->string() + ", PID " + std::to_string(process->processIdentifier()));
    child = std::move(process);
}

} // namespace quillary
