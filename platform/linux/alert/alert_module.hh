// The alert module: the one part of the launcher built against GTK, opened
// only when an alert must be shown, so that a launcher that never fails never
// maps GTK. Plain C names, looked up with GModule.
#pragma once

extern "C" {

// Shows a modal message dialog with one button and returns once it has been
// dismissed; shows nothing when no display can be opened.
void quillary_alert_run(const char* headline, const char* explanation);
using QuillaryAlertRun = void (*)(const char* headline, const char* explanation);

// Dismisses the dialog that quillary_alert_run is showing, if any.
void quillary_alert_close(void);
using QuillaryAlertClose = void (*)(void);
}
