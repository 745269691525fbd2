#include "platform/macos/status_item.hh"

#include "platform/macos/menu.hh"
#include "platform/macos/newer_app_kit.hh"
#include "platform/macos/text_conversion.hh"

namespace quillary {

MacStatusItem::MacStatusItem(NSStatusItem* item, id target) : item_([item retain]), target_(target) {}

MacStatusItem::~MacStatusItem()
{
    [[NSStatusBar systemStatusBar] removeStatusItem:item_];
    [item_ release];
}

bool MacStatusItem::setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription)
{
    id imageClass = [NSImage class];
    if (![imageClass respondsToSelector:@selector(imageWithSystemSymbolName:accessibilityDescription:)])
        return false;
    NSImage* image = [(id<QuillaryNewerAppKit>)imageClass imageWithSystemSymbolName:nsString(symbolName)
                                                            accessibilityDescription:nsString(accessibilityDescription)];
    if (!image)
        return false;
    [face() setImage:image];
    return true;
}

void MacStatusItem::setTitle(std::string_view title)
{
    [face() setTitle:nsString(title)];
}

void MacStatusItem::setMenu(Menu menu)
{
    [item_ setMenu:makeMenu(@"", menu, target_)];
}

// Where the image and title go: the item's button since macOS 10.10; the
// item itself where there is no button (GNUstep).
id MacStatusItem::face() const
{
    if ([item_ respondsToSelector:@selector(button)])
        return [(id<QuillaryNewerAppKit>)item_ button];
    return item_;
}

} // namespace quillary
