// Texts between the seam's std::string and Foundation's NSString.
#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

namespace quillary {

// Texts from the controller as NSString, autoreleased. Bytes that are not
// UTF-8 (the controller sends none) are shown one by one rather than
// dropping the text.
NSString* nsString(std::string_view text);

std::string utf8(NSString* string);

} // namespace quillary
