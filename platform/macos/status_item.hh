// The seam's StatusItem on NSStatusBar.
#pragma once

#include "platform/platform.hh"

#import <AppKit/AppKit.h>

namespace quillary {

class MacStatusItem final : public StatusItem {
public:
    // `target` is sent openUI: by the menu's items that open the UI.
    MacStatusItem(NSStatusItem* item, id target);
    ~MacStatusItem() override;
    MacStatusItem(const MacStatusItem&) = delete;
    MacStatusItem& operator=(const MacStatusItem&) = delete;

    bool setSymbolImage(std::string_view symbolName, std::string_view accessibilityDescription) override;
    void setTitle(std::string_view title) override;
    void setMenu(Menu menu) override;

private:
    id face() const;

    NSStatusItem* item_;
    id target_;
};

} // namespace quillary
