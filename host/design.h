#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

// Lengths of windows and controls are twips: 1440 to the inch, independent of the screen.
using Twips = float;

enum class ControlKind { TextBox, CommandButton, BrowserView };

// How a control is placed inside the client area of its window.
enum class Placement {
    AsDesigned,      // left, top, width and height as given
    FillClientArea,  // always as large as the client area, following every resize
};

enum class FrameStyle {
    Sizable,      // sizable border with minimize, maximize and close
    FixedDialog,  // cannot be resized; no minimize or maximize; close kept
};

enum class Taskbar { Shown, Hidden };

struct ControlDesign {
    std::string name{};
    ControlKind kind = ControlKind::TextBox;
    Twips left = 0, top = 0, width = 0, height = 0;
    std::string caption{};  // a button's caption, or a text box's initial text
    int tabIndex = 0;
    Placement placement = Placement::AsDesigned;
    // Commands a browser view offers in its context menu, by their captions.
    std::vector<std::string> contextCommands{};
};

// The settings with which a window and its controls are created each time it is loaded.
struct FormDesign {
    std::string caption;
    FrameStyle frame = FrameStyle::Sizable;
    Taskbar taskbar = Taskbar::Shown;
    Twips clientWidth = 0, clientHeight = 0;
    std::string icon;  // resource name of the window icon; empty for the toolkit's default
    std::vector<ControlDesign> controls;

    const ControlDesign* control(std::string_view name) const {
        for (const auto& c : controls)
            if (c.name == name) return &c;
        return nullptr;
    }
};

}  // namespace host
