#pragma once

#include "dialog/dialog.h"
#include "host/design.h"
#include "host/form.h"
#include "host/host.h"
#include "store/server_address_file.h"

namespace app {

// The view's context menu command that brings up the server address dialog.
inline constexpr std::string_view kSetServerCommand = "Set Server\u2026";

// The main window as created each time it is loaded.
host::FormDesign Form1Design();

// "Tovel (Lokal)": the main window, filled by the browser view that shows the server's pages.
class Form1 {
public:
    Form1(host::Host& host, const store::ServerAddressFile& file);

    // The dialog is made after the window it navigates, so it is attached afterwards.
    void attach(dialog::Dialog& dialog) { dialog_ = &dialog; }

    host::Form& form() { return form_; }
    host::BrowserView WebBrowser1() { return form_.browserView("WebBrowser1"); }

private:
    void LoadStep();
    void OnNavigateError();
    void OnSetServerCommand();
    void ShowDialogWithoutBlocking();

    host::Host& host_;
    const store::ServerAddressFile& file_;
    host::Form form_;
    dialog::Dialog* dialog_ = nullptr;
};

// The program's two windows, each existing once for the whole run.
class Program {
public:
    Program(host::Host& host, const store::ServerAddressFile& file);
    host::Form& startupForm() { return form1_.form(); }
    Form1& form1() { return form1_; }
    dialog::Dialog& dialog() { return dialog_; }

private:
    Form1 form1_;
    dialog::Dialog dialog_;
};

}  // namespace app
