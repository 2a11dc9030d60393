#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "host/design.h"
#include "host/native.h"

namespace host {

class Host;
class Form;

// Handles to a form's controls. A handle stays valid across loads and unloads of its form:
// every use goes through the form, and touching a control of a form that is not loaded loads
// it first, running its load step, without showing it.
class TextBox {
public:
    std::string text() const;
    void setText(std::string_view text);
    void setFocus();

private:
    friend class Form;
    TextBox(Form& form, std::string name) : form_(&form), name_(std::move(name)) {}
    Form* form_;
    std::string name_;
};

class BrowserView {
public:
    // Starts loading the address; a failure arrives later as the navigation-error event.
    void Navigate(std::string_view address);
    Twips height() const;
    Twips width() const;
    void setHeight(Twips height);
    void setWidth(Twips width);

private:
    friend class Form;
    BrowserView(Form& form, std::string name) : form_(&form), name_(std::move(name)) {}
    Form* form_;
    std::string name_;
};

// A window that exists once for the whole run and is either not loaded, or loaded (hidden or
// shown). The rules of loading, showing and unloading live in Host; a Form carries its design,
// its event bindings and, while loaded, its native window.
class Form final : private NativeEvents {
public:
    Form(Host& host, std::string name, FormDesign design);
    ~Form();
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    const std::string& name() const { return name_; }
    const FormDesign& design() const { return design_; }
    bool isLoaded() const { return native_ != nullptr; }
    bool isShown() const { return shown_; }

    // Event bindings, made once by the code that owns the window.
    void onLoad(std::function<void()> step) { loadStep_ = std::move(step); }
    void onActivate(std::function<void()> step) { activateStep_ = std::move(step); }
    void onClick(std::string_view control, std::function<void()> step);
    void onKeyPress(std::string_view control, std::function<void(std::int16_t& code)> step);
    void onNavigateError(std::string_view control, std::function<void()> step);
    void onContextCommand(std::string_view control, std::string_view command, std::function<void()> step);

    // Outer size, frame and caption included. Touching it loads the form.
    Twips height();
    Twips width();
    void setHeight(Twips height);
    void setWidth(Twips width);

    TextBox textBox(std::string_view name);
    BrowserView browserView(std::string_view name);

private:
    friend class Host;
    friend class TextBox;
    friend class BrowserView;

    NativeWindow& loadedWindow();  // loads the form when needed
    const ControlDesign& controlOfKind(std::string_view name, ControlKind kind) const;

    void nativeActivated() override;
    void nativeClicked(std::string_view control) override;
    void nativeKeyPress(std::string_view control, std::int16_t code) override;
    void nativeNavigateError(std::string_view control) override;
    void nativeContextCommand(std::string_view control, std::string_view command) override;
    void nativeCloseRequested() override;

    Host& host_;
    std::string name_;
    FormDesign design_;
    std::unique_ptr<NativeWindow> native_;
    bool shown_ = false;
    unsigned loadCount_ = 0;

    std::function<void()> loadStep_;
    std::function<void()> activateStep_;
    std::map<std::string, std::function<void()>, std::less<>> clickSteps_;
    std::map<std::string, std::function<void(std::int16_t&)>, std::less<>> keyPressSteps_;
    std::map<std::string, std::function<void()>, std::less<>> navigateErrorSteps_;
    std::map<std::string, std::function<void()>, std::less<>> contextCommandSteps_;  // "control/command"
};

}  // namespace host
