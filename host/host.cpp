#include "host/host.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "host/program_end.h"

namespace host {

Host::~Host() = default;

void Host::registerForm(Form& form) { forms_.push_back(&form); }

void Host::unregisterForm(Form& form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), &form), forms_.end());
    if (activeForm_ == &form) activeForm_ = nullptr;
}

bool Host::anyFormLoaded() const {
    return std::any_of(forms_.begin(), forms_.end(), [](const Form* f) { return f->isLoaded(); });
}

void Host::LoadForm(Form& form) {
    if (form.isLoaded()) return;
    form.native_ = createWindowImpl(form.name(), form.design(), form);
    form.shown_ = false;
    ++form.loadCount_;
    if (form.loadStep_) form.loadStep_();
}

void Host::ShowModal(Form& form) {
    LoadForm(form);
    if (!form.isLoaded()) return;  // its load step unloaded it
    const unsigned load = form.loadCount_;
    form.shown_ = true;
    form.native_->show(ShowMode::Modal);
    runLoopImpl(Loop::Modal, [&] { return !form.isLoaded() || form.loadCount_ != load; });
}

void Host::ShowModeless(Form& form) {
    LoadForm(form);
    if (!form.isLoaded()) return;
    form.shown_ = true;
    form.native_->show(ShowMode::Modeless);
}

void Host::UnloadForm(Form& form) {
    if (!form.isLoaded()) return;
    // Move the window out first so the form counts as unloaded while its window goes away.
    std::unique_ptr<NativeWindow> window = std::move(form.native_);
    form.shown_ = false;
    if (activeForm_ == &form) activeForm_ = nullptr;
    window.reset();
}

void Host::formActivated(Form& form) {
    if (activeForm_ == &form) return;
    activeForm_ = &form;
    if (form.activateStep_) dispatch(form.activateStep_);
}

void Host::PumpMessages() { pumpImpl(); }

void Host::EndProgram() {
    endProgramImpl(0);
    std::abort();  // a binding's end never returns
}

std::string Host::ProgramFolder() { return programFolderImpl(); }
Twips Host::ScreenWidth() { return screenWidthImpl(); }
Twips Host::ScreenHeight() { return screenHeightImpl(); }

void Host::ShowMessage(std::string_view text) { showMessageImpl(std::string(text)); }

int Host::Run(Form& startup) {
    dispatch([&] {
        LoadForm(startup);
        if (startup.isLoaded()) ShowModeless(startup);
    });
    runLoopImpl(Loop::Main, [this] { return !anyFormLoaded(); });
    return 0;
}

void Host::dispatch(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const ProgramEnd&) {
        throw;  // the headless binding's way of ending the program; not an error
    } catch (const std::exception& error) {
        reportRuntimeError(error.what());
    } catch (...) {
        reportRuntimeError("unknown error");
    }
}

void Host::reportRuntimeError(std::string_view message) {
    reportRuntimeErrorImpl(std::string(message));
    std::abort();  // a binding's report never returns
}

}  // namespace host
