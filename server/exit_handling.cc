// What the end of the server means for the launcher.
#include "app/app_delegate.hh"

#include "app/texts.hh"

#include <string>

namespace quillary {

void AppDelegate::serverDidExit(int terminationStatus)
{
    if (quitting)
        return; // an end we asked for, or one that comes after a failure
    if (port || terminationStatus == 0) {
        app.terminate(ExitStatus::success);
        return;
    }

    // The server failed before it announced its port: its last lines say why.
    std::string report;
    std::size_t first = tail.size() > kReportLines ? tail.size() - kReportLines : 0;
    for (std::size_t i = first; i < tail.size(); ++i) {
        if (i > first)
            report += '\n';
        report += tail[i];
    }
    fail(report);
}

} // namespace quillary
