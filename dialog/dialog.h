#pragma once

#include <string>
#include <string_view>

#include "host/design.h"
#include "host/form.h"
#include "host/host.h"
#include "store/server_address_file.h"

namespace dialog {

// The server address dialog as created each time it is loaded.
host::FormDesign DialogDesign();

// The text with spaces (and only spaces) removed from both ends: what the commit compares
// with the stored address.
std::string TrimSpaces(std::string_view text);

// The commit's store step: writes the typed text, as typed, unless a file exists whose first
// line equals the text trimmed of end spaces. Returns whether it wrote. Throws store::FileError.
bool StoreServerAddress(const store::ServerAddressFile& file, std::string_view typed);

// "Set Server": shows the stored address (or the default), lets the user change it, stores it
// when it changed and opens it in the main window.
class Dialog {
public:
    Dialog(host::Host& host, const store::ServerAddressFile& file, host::Form& mainWindow,
           host::BrowserView mainView);

    host::Form& form() { return form_; }
    host::TextBox Text1() { return form_.textBox("Text1"); }

    // OK, or Enter in Text1.
    void CommitServerAddress();

private:
    void LoadStep();
    void ActivationStep();

    host::Host& host_;
    const store::ServerAddressFile& file_;
    host::Form& mainWindow_;
    host::BrowserView mainView_;
    host::Form form_;
};

}  // namespace dialog
