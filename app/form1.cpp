#include "app/form1.h"

#include <cmath>
#include <string>

namespace app {

host::FormDesign Form1Design() {
    host::FormDesign design;
    design.caption = "Tovel (Lokal)";
    design.frame = host::FrameStyle::Sizable;
    design.taskbar = host::Taskbar::Shown;
    design.clientWidth = 6285;
    design.clientHeight = 4335;
    design.icon = "rozidarude";
    // The view fills the client area and follows every resize, so no page content ever lies
    // under the frame or out of reach.
    design.controls = {{.name = "WebBrowser1",
                        .kind = host::ControlKind::BrowserView,
                        .left = 0,
                        .top = 0,
                        .width = 1215,
                        .height = 1095,
                        .tabIndex = 0,
                        .placement = host::Placement::FillClientArea,
                        .contextCommands = {std::string(kSetServerCommand)}}};
    return design;
}

Form1::Form1(host::Host& host, const store::ServerAddressFile& file)
    : host_(host), file_(file), form_(host, "Form1", Form1Design()) {
    form_.onLoad([this] { LoadStep(); });
    form_.onNavigateError("WebBrowser1", [this] { OnNavigateError(); });
    form_.onContextCommand("WebBrowser1", kSetServerCommand, [this] { OnSetServerCommand(); });
}

void Form1::LoadStep() {
    const host::Twips height = host_.ScreenHeight() - 1000.0f;
    if (!std::isfinite(height)) throw host::RuntimeError("floating-point error in the window height");
    form_.setHeight(height);
    form_.setWidth(host_.ScreenWidth());
    // The view needs no size of its own: it fills the client area of whatever size the window
    // was granted.

    std::string address;
    if (file_.ServerAddressExists()) {
        address = file_.ReadServerAddress();
    } else {
        WebBrowser1().Navigate("about:blank");
        host_.LoadForm(dialog_->form());
        host_.ShowModal(dialog_->form());
        // Loads the closed dialog once more (its load step runs) and is then discarded below.
        dialog_->Text1().setText(store::kDefaultServerAddress);
        // Open what the user has just stored; the default only when nothing was stored.
        address = file_.ServerAddressExists() ? file_.ReadServerAddress()
                                              : std::string(store::kDefaultServerAddress);
    }
    host_.UnloadForm(dialog_->form());
    WebBrowser1().Navigate(address);
}

void Form1::OnNavigateError() {
    WebBrowser1().Navigate("about:blank");
    ShowDialogWithoutBlocking();
}

// A reachable but wrong address can be changed at any time: the dialog comes up as after a
// failure, but the page stays.
void Form1::OnSetServerCommand() { ShowDialogWithoutBlocking(); }

// A dialog that is open already keeps what the user typed: loading it again does nothing.
void Form1::ShowDialogWithoutBlocking() {
    host_.LoadForm(dialog_->form());
    host_.ShowModeless(dialog_->form());
}

Program::Program(host::Host& host, const store::ServerAddressFile& file)
    : form1_(host, file), dialog_(host, file, form1_.form(), form1_.WebBrowser1()) {
    form1_.attach(dialog_);
}

}  // namespace app
