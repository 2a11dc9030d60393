#include "host/headless/headless_host.h"

#include <algorithm>
#include <cmath>

#include "host/program_end.h"

namespace host::headless {

namespace {

const char* modeName(ShowMode mode) { return mode == ShowMode::Modal ? "modal" : "modeless"; }

std::string formatTwips(Twips value) {
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

HeadlessHost::HeadlessHost(std::string programFolder, ScreenFacts screen)
    : programFolder_(std::move(programFolder)), screen_(screen) {}

HeadlessHost::~HeadlessHost() = default;

// --- script ------------------------------------------------------------------------------------

void HeadlessHost::queueInput(std::string description, std::string form,
                              std::function<void(HeadlessWindow&)> act) {
    pending_.push_back(Event{description, [this, description, form, act] {
                                 auto found = windows_.find(form);
                                 if (found == windows_.end() || !found->second->shown())
                                     failScript("input for " + form + ", which is not shown: " + description);
                                 act(*found->second);
                             }});
}

void HeadlessHost::click(std::string_view form, std::string_view control) {
    std::string name(control);
    queueInput("click " + std::string(form) + "." + name, std::string(form),
               [name](HeadlessWindow& window) { window.events_.nativeClicked(name); });
}

void HeadlessHost::pressKey(std::string_view form, std::string_view control, std::int16_t code) {
    std::string name(control);
    queueInput("key " + std::to_string(code) + " " + std::string(form) + "." + name, std::string(form),
               [name, code](HeadlessWindow& window) { window.events_.nativeKeyPress(name, code); });
}

void HeadlessHost::typeText(std::string_view form, std::string_view control, std::string_view text) {
    std::string name(control);
    std::string typed(text);
    queueInput("type " + std::string(form) + "." + name + " " + typed, std::string(form),
               [this, name, typed](HeadlessWindow& window) {
                   window.texts_[name].clear();
                   const unsigned serial = window.serial_;
                   const std::string form = window.formName_;
                   for (char c : typed) {
                       // A key press handler may close the window under the typing hand.
                       auto found = windows_.find(form);
                       if (found == windows_.end() || found->second->serial_ != serial) return;
                       found->second->texts_[name] += c;
                       found->second->events_.nativeKeyPress(name, static_cast<unsigned char>(c));
                   }
               });
}

void HeadlessHost::contextCommand(std::string_view form, std::string_view control, std::string_view command) {
    std::string name(control);
    std::string caption(command);
    queueInput(
        "context " + std::string(form) + "." + name + " " + caption, std::string(form),
        [name, caption](HeadlessWindow& window) { window.events_.nativeContextCommand(name, caption); });
}

void HeadlessHost::closeBox(std::string_view form) {
    queueInput("close box " + std::string(form), std::string(form),
               [](HeadlessWindow& window) { window.events_.nativeCloseRequested(); });
}

void HeadlessHost::activate(std::string_view form) {
    queueInput("activate " + std::string(form), std::string(form),
               [](HeadlessWindow& window) { window.events_.nativeActivated(); });
}

void HeadlessHost::resizeByUser(std::string_view form, int outerWidthPx, int outerHeightPx) {
    queueInput("resize " + std::string(form), std::string(form),
               [outerWidthPx, outerHeightPx](HeadlessWindow& window) {
                   window.outerWidthPx_ = outerWidthPx;
                   window.outerHeightPx_ = outerHeightPx;
               });
}

void HeadlessHost::reportNavigateError(std::string_view form, std::string_view control) {
    std::string name(control);
    queueInput("navigate-error " + std::string(form) + "." + name, std::string(form),
               [name](HeadlessWindow& window) { window.events_.nativeNavigateError(name); });
}

void HeadlessHost::failNavigations(std::function<bool(std::string_view)> fails, Delivery delivery) {
    navigationFails_ = std::move(fails);
    failureDelivery_ = delivery;
}

// --- running -----------------------------------------------------------------------------------

void HeadlessHost::guarded(const std::function<void()>& body) {
    if (ended()) {
        scriptError_ = "the program has ended; nothing more runs";
        return;
    }
    try {
        body();
    } catch (const ProgramEnd&) {
        // The status was recorded where the program ended.
    }
}

void HeadlessHost::start(Form& startup) {
    guarded([&] { Run(startup); });
}

void HeadlessHost::runUntilIdle() {
    guarded([&] { runLoopImpl(Loop::Main, [this] { return !anyFormLoaded(); }); });
}

void HeadlessHost::handle(Event event) {
    record("event " + event.description);
    event.handle();
}

void HeadlessHost::runLoopImpl(Loop loop, const std::function<bool()>& done) {
    while (!done()) {
        std::deque<Event>* queue = !pending_.empty() ? &pending_ : !late_.empty() ? &late_ : nullptr;
        if (queue == nullptr) {
            if (loop == Loop::Main) return;  // idle: the test may queue more and run again
            failScript("a modal window waits for input that the script does not give");
        }
        Event event = std::move(queue->front());
        queue->pop_front();
        handle(std::move(event));
    }
    if (loop == Loop::Main && !anyFormLoaded()) {
        record("end 0");
        exitStatus_ = 0;
    }
}

void HeadlessHost::pumpImpl() {
    record("pump");
    // Only what was pending when the pump began; what those events queue waits for later.
    for (std::size_t count = pending_.size(); count > 0 && !pending_.empty(); --count) {
        Event event = std::move(pending_.front());
        pending_.pop_front();
        handle(std::move(event));
    }
}

void HeadlessHost::endProgramImpl(int status) {
    record("end " + std::to_string(status));
    exitStatus_ = status;
    throw ProgramEnd{status};
}

void HeadlessHost::reportRuntimeErrorImpl(const std::string& message) {
    record("error " + message);
    runtimeError_ = message;
    exitStatus_ = 1;
    throw ProgramEnd{1};
}

void HeadlessHost::failScript(const std::string& why) {
    record("script error " + why);
    scriptError_ = why;
    exitStatus_ = 99;
    throw ProgramEnd{99};
}

void HeadlessHost::showMessageImpl(const std::string& text) {
    record("message " + text);
    messages_.push_back(text);
}

std::unique_ptr<NativeWindow> HeadlessHost::createWindowImpl(const std::string& formName,
                                                             const FormDesign& design, NativeEvents& events) {
    record("load " + formName);
    return std::make_unique<HeadlessWindow>(*this, formName, design, events, nextWindowSerial_++);
}

const HeadlessWindow* HeadlessHost::window(std::string_view form) const {
    auto found = windows_.find(form);
    return found == windows_.end() ? nullptr : found->second;
}

void HeadlessHost::navigated(HeadlessWindow& window, std::string_view control, std::string_view address) {
    if (!navigationFails_ || !navigationFails_(address)) return;
    Event failure{
        "navigate-error " + window.formName_ + "." + std::string(control) + " " + std::string(address),
        [this, form = window.formName_, serial = window.serial_, name = std::string(control)] {
            // A window closed since then has nobody left to tell.
            auto found = windows_.find(form);
            if (found == windows_.end() || found->second->serial_ != serial) return;
            found->second->events_.nativeNavigateError(name);
        }};
    (failureDelivery_ == Delivery::Pending ? pending_ : late_).push_back(std::move(failure));
}

// --- windows -----------------------------------------------------------------------------------

HeadlessWindow::HeadlessWindow(HeadlessHost& host, std::string formName, const FormDesign& design,
                               NativeEvents& events, unsigned serial)
    : host_(host), formName_(std::move(formName)), design_(design), events_(events), serial_(serial) {
    const ScreenFacts& screen = host_.screen_;
    outerWidthPx_ = toPixels(design.clientWidth) + screen.frameLeftPx + screen.frameRightPx;
    outerHeightPx_ = toPixels(design.clientHeight) + screen.frameTopPx + screen.frameBottomPx;
    for (const ControlDesign& c : design_.controls) {
        if (c.kind == ControlKind::TextBox) texts_[c.name] = c.caption;
        controlSizesPx_[c.name] = {toPixels(c.width), toPixels(c.height)};
    }
    host_.windows_[formName_] = this;
}

HeadlessWindow::~HeadlessWindow() {
    host_.record("unload " + formName_);
    auto found = host_.windows_.find(formName_);
    if (found != host_.windows_.end() && found->second == this) host_.windows_.erase(found);
}

int HeadlessWindow::toPixels(Twips twips) const {
    return static_cast<int>(std::lround(twips / host_.screen_.twipsPerPixel));
}

const ControlDesign& HeadlessWindow::control(std::string_view name) const {
    const ControlDesign* found = design_.control(name);
    if (found == nullptr) throw RuntimeError(formName_ + " has no control named " + std::string(name));
    return *found;
}

int HeadlessWindow::clientWidthPx() const {
    return std::max(0, outerWidthPx_ - host_.screen_.frameLeftPx - host_.screen_.frameRightPx);
}
int HeadlessWindow::clientHeightPx() const {
    return std::max(0, outerHeightPx_ - host_.screen_.frameTopPx - host_.screen_.frameBottomPx);
}

int HeadlessWindow::controlWidthPx(std::string_view name) const {
    if (control(name).placement == Placement::FillClientArea) return clientWidthPx();
    return controlSizesPx_.find(name)->second.first;
}
int HeadlessWindow::controlHeightPx(std::string_view name) const {
    if (control(name).placement == Placement::FillClientArea) return clientHeightPx();
    return controlSizesPx_.find(name)->second.second;
}

void HeadlessWindow::show(ShowMode mode) {
    host_.record("show " + formName_ + " " + modeName(mode));
    shown_ = mode;
    // Showing activates the window at once, as a window manager that focuses new windows does.
    events_.nativeActivated();
}

void HeadlessWindow::setOuterWidth(Twips width) {
    host_.record("set-width " + formName_ + " " + formatTwips(width));
    outerWidthPx_ = std::max(1, toPixels(width));
}

void HeadlessWindow::setOuterHeight(Twips height) {
    host_.record("set-height " + formName_ + " " + formatTwips(height));
    int pixels = std::max(1, toPixels(height));
    if (host_.screen_.maxOuterHeightPx) pixels = std::min(pixels, *host_.screen_.maxOuterHeightPx);
    outerHeightPx_ = pixels;
}

std::string HeadlessWindow::text(std::string_view name) const {
    if (control(name).kind != ControlKind::TextBox) throw RuntimeError(std::string(name) + " holds no text");
    return texts_.find(name)->second;
}

void HeadlessWindow::setText(std::string_view name, std::string_view text) {
    if (control(name).kind != ControlKind::TextBox) throw RuntimeError(std::string(name) + " holds no text");
    host_.record("set-text " + formName_ + "." + std::string(name) + " " + std::string(text));
    texts_.find(name)->second = std::string(text);
}

void HeadlessWindow::focus(std::string_view name) {
    control(name);
    host_.record("focus " + formName_ + "." + std::string(name));
    focus_ = std::string(name);
}

void HeadlessWindow::navigate(std::string_view name, std::string_view address) {
    if (control(name).kind != ControlKind::BrowserView)
        throw RuntimeError(std::string(name) + " is not a browser view");
    host_.record("navigate " + formName_ + "." + std::string(name) + " " + std::string(address));
    addresses_[std::string(name)] = std::string(address);
    host_.navigated(*this, name, address);
}

std::string HeadlessWindow::currentAddress(std::string_view name) const {
    auto found = addresses_.find(name);
    return found == addresses_.end() ? std::string() : found->second;
}

Twips HeadlessWindow::controlWidth(std::string_view name) const {
    return controlWidthPx(name) * host_.screen_.twipsPerPixel;
}
Twips HeadlessWindow::controlHeight(std::string_view name) const {
    return controlHeightPx(name) * host_.screen_.twipsPerPixel;
}

void HeadlessWindow::setControlWidth(std::string_view name, Twips width) {
    if (control(name).placement == Placement::FillClientArea)
        throw RuntimeError(std::string(name) + " fills its window; its size follows the window");
    controlSizesPx_[std::string(name)].first = toPixels(width);
}

void HeadlessWindow::setControlHeight(std::string_view name, Twips height) {
    if (control(name).placement == Placement::FillClientArea)
        throw RuntimeError(std::string(name) + " fills its window; its size follows the window");
    controlSizesPx_[std::string(name)].second = toPixels(height);
}

}  // namespace host::headless
