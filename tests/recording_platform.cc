#include "tests/recording_platform.hh"

#include "platform/posix/posix_process.hh"

#include <cstdlib>
#include <string>

namespace quillary::testing {

std::chrono::milliseconds scaled(std::chrono::milliseconds timeout)
{
    const char* factor = std::getenv("QUILLARY_TEST_TIMEOUT_FACTOR");
    double f = factor ? std::atof(factor) : 1.0;
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(timeout.count()) * (f > 0 ? f : 1.0)));
}

std::filesystem::path fakeServerPath()
{
    return FAKE_SERVER_PATH;
}

namespace {

class RecordedStatusItem final : public StatusItem {
public:
    explicit RecordedStatusItem(RecordingPlatform& platform) : platform_(platform) {}

    bool setSymbolImage(std::string_view symbolName, std::string_view) override
    {
        platform_.calls.push_back("statusItem.setSymbolImage");
        if (!platform_.symbolAvailable)
            return false;
        platform_.statusSymbol = symbolName;
        return true;
    }
    void setTitle(std::string_view title) override
    {
        platform_.calls.push_back("statusItem.setTitle");
        platform_.statusTitle = title;
    }
    void setMenu(Menu menu) override
    {
        platform_.calls.push_back("statusItem.setMenu");
        platform_.statusMenu = std::move(menu);
    }

private:
    RecordingPlatform& platform_;
};

} // namespace

void RecordingPlatform::terminate(ExitStatus status)
{
    calls.push_back("terminate");
    terminations.push_back(status);
    // As on the desktop, the delegate hears of it once.
    if (terminations.size() == 1 && delegate)
        delegate->applicationWillTerminate();
}

void RecordingPlatform::setActivationPolicy(ActivationPolicy)
{
    calls.push_back("setActivationPolicy");
}

void RecordingPlatform::setMainMenu(Menu menu)
{
    calls.push_back("setMainMenu");
    mainMenu = std::move(menu);
}

std::unique_ptr<StatusItem> RecordingPlatform::makeStatusItem()
{
    calls.push_back("makeStatusItem");
    return std::make_unique<RecordedStatusItem>(*this);
}

void RecordingPlatform::runModalAlert(std::string_view messageText, std::string_view informativeText)
{
    calls.push_back("runModalAlert");
    alerts.push_back({std::string(messageText), std::string(informativeText)});
}

void RecordingPlatform::openURL(std::string_view url)
{
    calls.push_back("openURL");
    openedURLs.emplace_back(url);
}

std::optional<std::filesystem::path> RecordingPlatform::resourcePath(std::string_view)
{
    calls.push_back("resourcePath");
    return resource;
}

Environment RecordingPlatform::environment()
{
    calls.push_back("environment");
    return variables;
}

void RecordingPlatform::async(std::function<void()> work)
{
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    queued_.notify_one();
}

std::unique_ptr<ServerProcess> RecordingPlatform::makeServerProcess()
{
    calls.push_back("makeServerProcess");
    return std::make_unique<PosixProcess>();
}

bool RecordingPlatform::runNextStep(std::chrono::milliseconds timeout)
{
    std::function<void()> step;
    {
        std::unique_lock lock(mutex_);
        if (!queued_.wait_for(lock, timeout, [this] { return !queue_.empty(); }))
            return false;
        step = std::move(queue_.front());
        queue_.pop_front();
    }
    step();
    return true;
}

bool RecordingPlatform::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !runNextStep(left))
            return done();
    }
    return true;
}

std::size_t RecordingPlatform::queuedSteps()
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

} // namespace quillary::testing
