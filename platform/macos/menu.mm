#include "platform/macos/menu.hh"

#include "platform/macos/text_conversion.hh"

namespace quillary {

namespace {

NSMenuItem* makeMenuItem(const MenuItem& item, id target)
{
    if (item.separator)
        return [NSMenuItem separatorItem];
    SEL action = nullptr;
    id itemTarget = nil;
    switch (item.action) {
    case MenuAction::openUI:
        action = @selector(openUI:);
        itemTarget = target;
        break;
    case MenuAction::terminate:
        // No target: the responder chain brings it to NSApp, whose
        // terminate: is the application's one way to end.
        action = @selector(terminate:);
        break;
    case MenuAction::none:
        break;
    }
    // The key equivalent is taken with the Command modifier, NSMenuItem's default.
    NSMenuItem* entry = [[[NSMenuItem alloc] initWithTitle:nsString(item.title) action:action
                                             keyEquivalent:nsString(item.keyEquivalent)] autorelease];
    [entry setTarget:itemTarget];
    if (!item.submenu.empty())
        [entry setSubmenu:makeMenu(nsString(item.title), item.submenu, target)];
    return entry;
}

} // namespace

NSMenu* makeMenu(NSString* title, const Menu& menu, id target)
{
    NSMenu* result = [[[NSMenu alloc] initWithTitle:title] autorelease];
    for (const MenuItem& item : menu)
        [result addItem:makeMenuItem(item, target)];
    return result;
}

} // namespace quillary
