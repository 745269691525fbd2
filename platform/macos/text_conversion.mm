#include "platform/macos/text_conversion.hh"

namespace quillary {

NSString* nsString(std::string_view text)
{
    NSString* string = [[[NSString alloc] initWithBytes:text.data() length:text.size()
                                                encoding:NSUTF8StringEncoding] autorelease];
    if (!string)
        string = [[[NSString alloc] initWithBytes:text.data() length:text.size()
                                         encoding:NSISOLatin1StringEncoding] autorelease];
    return string;
}

std::string utf8(NSString* string)
{
    const char* bytes = [string UTF8String];
    return bytes ? bytes : "";
}

} // namespace quillary
