#include "host/form.h"

#include <algorithm>

#include "host/host.h"

namespace host {

namespace {

const char* kindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::TextBox:
            return "text box";
        case ControlKind::CommandButton:
            return "command button";
        case ControlKind::BrowserView:
            return "browser view";
    }
    return "control";
}

}  // namespace

Form::Form(Host& host, std::string name, FormDesign design)
    : host_(host), name_(std::move(name)), design_(std::move(design)) {
    host_.registerForm(*this);
}

Form::~Form() {
    native_.reset();
    host_.unregisterForm(*this);
}

void Form::onClick(std::string_view control, std::function<void()> step) {
    controlOfKind(control, ControlKind::CommandButton);
    clickSteps_.insert_or_assign(std::string(control), std::move(step));
}

void Form::onKeyPress(std::string_view control, std::function<void(std::int16_t&)> step) {
    controlOfKind(control, ControlKind::TextBox);
    keyPressSteps_.insert_or_assign(std::string(control), std::move(step));
}

void Form::onNavigateError(std::string_view control, std::function<void()> step) {
    controlOfKind(control, ControlKind::BrowserView);
    navigateErrorSteps_.insert_or_assign(std::string(control), std::move(step));
}

void Form::onContextCommand(std::string_view control, std::string_view command, std::function<void()> step) {
    const ControlDesign& design = controlOfKind(control, ControlKind::BrowserView);
    if (std::find(design.contextCommands.begin(), design.contextCommands.end(), command) ==
        design.contextCommands.end())
        throw RuntimeError(std::string(control) + " offers no command " + std::string(command));
    contextCommandSteps_.insert_or_assign(std::string(control) + "/" + std::string(command), std::move(step));
}

const ControlDesign& Form::controlOfKind(std::string_view name, ControlKind kind) const {
    const ControlDesign* control = design_.control(name);
    if (control == nullptr || control->kind != kind)
        throw RuntimeError(name_ + " has no " + kindName(kind) + " named " + std::string(name));
    return *control;
}

NativeWindow& Form::loadedWindow() {
    host_.LoadForm(*this);
    if (native_ == nullptr)  // the load step itself unloaded the form again
        throw RuntimeError("the window " + name_ + " was unloaded while it was being loaded");
    return *native_;
}

Twips Form::height() { return loadedWindow().outerHeight(); }
Twips Form::width() { return loadedWindow().outerWidth(); }
void Form::setHeight(Twips height) { loadedWindow().setOuterHeight(height); }
void Form::setWidth(Twips width) { loadedWindow().setOuterWidth(width); }

TextBox Form::textBox(std::string_view name) {
    controlOfKind(name, ControlKind::TextBox);
    return TextBox(*this, std::string(name));
}

BrowserView Form::browserView(std::string_view name) {
    controlOfKind(name, ControlKind::BrowserView);
    return BrowserView(*this, std::string(name));
}

void Form::nativeActivated() { host_.formActivated(*this); }

void Form::nativeClicked(std::string_view control) {
    auto step = clickSteps_.find(control);
    if (step != clickSteps_.end()) host_.dispatch(step->second);
}

void Form::nativeKeyPress(std::string_view control, std::int16_t code) {
    auto step = keyPressSteps_.find(control);
    if (step == keyPressSteps_.end()) return;
    // The code is passed by reference as the toolkit does; nothing here acts on a change.
    host_.dispatch([&] { step->second(code); });
}

void Form::nativeNavigateError(std::string_view control) {
    auto step = navigateErrorSteps_.find(control);
    if (step != navigateErrorSteps_.end()) host_.dispatch(step->second);
}

void Form::nativeContextCommand(std::string_view control, std::string_view command) {
    auto step = contextCommandSteps_.find(std::string(control) + "/" + std::string(command));
    if (step != contextCommandSteps_.end()) host_.dispatch(step->second);
}

void Form::nativeCloseRequested() {
    // The close box closes the window and runs none of the program's steps.
    host_.dispatch([this] { host_.UnloadForm(*this); });
}

std::string TextBox::text() const { return form_->loadedWindow().text(name_); }
void TextBox::setText(std::string_view text) { form_->loadedWindow().setText(name_, text); }
void TextBox::setFocus() {
    NativeWindow& window = form_->loadedWindow();
    if (!form_->isShown())
        throw RuntimeError("cannot give the focus to " + name_ + " while " + form_->name() + " is not shown");
    window.focus(name_);
}

void BrowserView::Navigate(std::string_view address) { form_->loadedWindow().navigate(name_, address); }
Twips BrowserView::height() const { return form_->loadedWindow().controlHeight(name_); }
Twips BrowserView::width() const { return form_->loadedWindow().controlWidth(name_); }
void BrowserView::setHeight(Twips height) { form_->loadedWindow().setControlHeight(name_, height); }
void BrowserView::setWidth(Twips width) { form_->loadedWindow().setControlWidth(name_, width); }

}  // namespace host
