#include "dialog/dialog.h"

namespace dialog {

host::FormDesign DialogDesign() {
    using host::ControlKind;
    host::FormDesign design;
    design.caption = "Set Server";
    design.frame = host::FrameStyle::FixedDialog;
    design.taskbar = host::Taskbar::Hidden;
    design.clientWidth = 6030;
    design.clientHeight = 1455;
    design.icon = "server-key";
    // Creation order as designed; the tab order runs Text1, CancelButton, OKButton.
    design.controls = {
        {.name = "OKButton",
         .kind = ControlKind::CommandButton,
         .left = 4440,
         .top = 240,
         .width = 1215,
         .height = 375,
         .caption = "OK",
         .tabIndex = 2},
        {.name = "CancelButton",
         .kind = ControlKind::CommandButton,
         .left = 4440,
         .top = 720,
         .width = 1215,
         .height = 375,
         .caption = "Cancel",
         .tabIndex = 1},
        // The load step always replaces this text before the dialog is seen.
        {.name = "Text1",
         .kind = ControlKind::TextBox,
         .left = 360,
         .top = 240,
         .width = 3735,
         .height = 375,
         .caption = "",
         .tabIndex = 0},
    };
    return design;
}

std::string TrimSpaces(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

bool StoreServerAddress(const store::ServerAddressFile& file, std::string_view typed) {
    // Only the comparison ignores end spaces; the file gets the text as typed.
    if (file.ServerAddressExists() && TrimSpaces(typed) == file.ReadServerAddress()) return false;
    file.WriteServerAddress(typed);
    return true;
}

Dialog::Dialog(host::Host& host, const store::ServerAddressFile& file, host::Form& mainWindow,
               host::BrowserView mainView)
    : host_(host),
      file_(file),
      mainWindow_(mainWindow),
      mainView_(std::move(mainView)),
      form_(host, "Dialog", DialogDesign()) {
    form_.onLoad([this] { LoadStep(); });
    form_.onActivate([this] { ActivationStep(); });
    form_.onClick("OKButton", [this] { CommitServerAddress(); });
    form_.onKeyPress("Text1", [this](std::int16_t& code) {
        if (code == 13) CommitServerAddress();
    });
    form_.onClick("CancelButton", [this] { host_.EndProgram(); });
}

void Dialog::LoadStep() {
    Text1().setText(file_.ServerAddressExists() ? file_.ReadServerAddress()
                                                : std::string(store::kDefaultServerAddress));
}

void Dialog::ActivationStep() { Text1().setFocus(); }

void Dialog::CommitServerAddress() {
    const std::string address = Text1().text();
    try {
        StoreServerAddress(file_, address);
    } catch (const store::FileError& error) {
        // Keep the dialog and what the user typed, so the problem can be fixed and OK pressed
        // again; the old file content is intact.
        host_.ShowMessage("The server address could not be saved.\n" + std::string(error.what()));
        return;
    }
    mainView_.Navigate(address);
    for (int pump = 0; pump < 3; ++pump) host_.PumpMessages();
    host_.UnloadForm(form_);
    host_.ShowModeless(mainWindow_);
}

}  // namespace dialog
