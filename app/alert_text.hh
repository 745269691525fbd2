// The explanation of the failure alert as every desktop shows it.
#pragma once

#include <string>
#include <string_view>

namespace quillary {

// The server's text made fit to show: a NUL (which would end the text early
// on its way through the desktop's C strings) becomes U+FFFD, as ill-formed
// bytes already have, and a line longer than a person reads is shortened to
// its start and its end. The text is UTF-8.
std::string alertText(std::string_view text);

} // namespace quillary
