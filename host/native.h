#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/design.h"

namespace host {

enum class ShowMode { Modal, Modeless };

// What a binding delivers up to a form, always on the user-interface thread.
class NativeEvents {
public:
    virtual void nativeActivated() = 0;
    virtual void nativeClicked(std::string_view control) = 0;
    // A typed character, 13 for Enter.
    virtual void nativeKeyPress(std::string_view control, std::int16_t code) = 0;
    virtual void nativeNavigateError(std::string_view control) = 0;
    // A command of the control's context menu, by its caption.
    virtual void nativeContextCommand(std::string_view control, std::string_view command) = 0;
    // The close box or the window menu's Close.
    virtual void nativeCloseRequested() = 0;

protected:
    ~NativeEvents() = default;
};

// One loaded window of a binding. It exists from the form's load to its unload; destroying it
// closes the window and discards its controls. Controls are addressed by their design name.
class NativeWindow {
public:
    virtual ~NativeWindow() = default;

    virtual void show(ShowMode mode) = 0;

    // The window's outer size, frame and caption included.
    virtual Twips outerWidth() const = 0;
    virtual Twips outerHeight() const = 0;
    virtual void setOuterWidth(Twips width) = 0;
    virtual void setOuterHeight(Twips height) = 0;

    virtual std::string text(std::string_view control) const = 0;
    virtual void setText(std::string_view control, std::string_view text) = 0;
    virtual void focus(std::string_view control) = 0;

    virtual void navigate(std::string_view control, std::string_view address) = 0;
    virtual Twips controlWidth(std::string_view control) const = 0;
    virtual Twips controlHeight(std::string_view control) const = 0;
    virtual void setControlWidth(std::string_view control, Twips width) = 0;
    virtual void setControlHeight(std::string_view control, Twips height) = 0;
};

}  // namespace host
