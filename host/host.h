#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/design.h"
#include "host/form.h"
#include "host/native.h"

namespace host {

// A failure of a host operation. Like every error that escapes an event handler, it ends up in
// the run-time error report, which ends the program.
class RuntimeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The window toolkit as the program sees it. The rules every binding shares (what loading,
// showing and unloading mean, when the activation step runs, how a failing handler is
// reported) are implemented here once; a binding supplies native windows, loops and screen
// facts through the ...Impl hooks.
class Host {
public:
    virtual ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Not loaded: creates the window hidden and runs its load step. Loaded: nothing.
    void LoadForm(Form& form);
    // Loads when needed, shows and activates, and blocks until the form is unloaded while
    // every other event goes on being handled.
    void ShowModal(Form& form);
    // Loads when needed, shows and activates, and returns at once.
    void ShowModeless(Form& form);
    // Closes the window and discards its controls; nothing on a form that is not loaded.
    void UnloadForm(Form& form);
    // Handles the events pending at the call, then returns.
    void PumpMessages();
    // Ends the program at once with status 0; nothing more of the program runs.
    [[noreturn]] void EndProgram();

    // The folder of the program's executable, without a trailing separator.
    std::string ProgramFolder();
    Twips ScreenWidth();
    Twips ScreenHeight();

    // A message the user acknowledges; blocks like a modal window while events go on.
    void ShowMessage(std::string_view text);

    // Loads and shows the start-up form and handles events until no form is loaded.
    // Returns the exit status.
    int Run(Form& startup);

    // Every event handler runs through here: an error that escapes it is reported and ends
    // the program.
    void dispatch(const std::function<void()>& handler);

    // The run-time error report: tells the user what failed and ends the program (status 1).
    [[noreturn]] void reportRuntimeError(std::string_view message);

protected:
    Host() = default;

    virtual std::unique_ptr<NativeWindow> createWindowImpl(const std::string& formName,
                                                           const FormDesign& design,
                                                           NativeEvents& events) = 0;
    enum class Loop { Main, Modal };
    // Handles events until done() is true. The headless binding's main loop also returns when
    // it has nothing left to handle.
    virtual void runLoopImpl(Loop loop, const std::function<bool()>& done) = 0;
    virtual void pumpImpl() = 0;
    [[noreturn]] virtual void endProgramImpl(int status) = 0;
    [[noreturn]] virtual void reportRuntimeErrorImpl(const std::string& message) = 0;
    virtual void showMessageImpl(const std::string& text) = 0;
    virtual std::string programFolderImpl() = 0;
    virtual Twips screenWidthImpl() = 0;
    virtual Twips screenHeightImpl() = 0;

    bool anyFormLoaded() const;

private:
    friend class Form;
    void registerForm(Form& form);
    void unregisterForm(Form& form);
    void formActivated(Form& form);

    std::vector<Form*> forms_;
    // The program's active window as far as activation steps are concerned: switching to
    // another program and back does not count as a new activation.
    Form* activeForm_ = nullptr;
};

}  // namespace host
