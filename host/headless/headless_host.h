#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace host::headless {

// The screen and window manager the headless host pretends to be.
struct ScreenFacts {
    int widthPx = 1920;
    int heightPx = 1080;
    float twipsPerPixel = 15;  // 96 pixels to the inch
    // The frame a window manager adds around a client area.
    int frameLeftPx = 4, frameRightPx = 4, frameTopPx = 28, frameBottomPx = 4;
    // A window manager that grants less than asked for.
    std::optional<int> maxOuterHeightPx;
};

// When a failing navigation reports its failure.
enum class Delivery {
    Pending,  // queued behind the input already scripted, so the next pump handles it
    Late,     // only once nothing else is left to handle (a slow network)
};

class HeadlessWindow;

// A scripted, in-memory binding for tests. The test queues input (clicks, keys, typing, the
// close box) and decides which navigations fail; loops and pumps take events from the queue as
// the real toolkit's would. Every call to a native window is written to a trace.
class HeadlessHost final : public Host {
public:
    explicit HeadlessHost(std::string programFolder, ScreenFacts screen = {});
    ~HeadlessHost() override;

    // Input, handled in order by whichever loop or pump runs next.
    void click(std::string_view form, std::string_view control);
    void pressKey(std::string_view form, std::string_view control, std::int16_t code);
    // Replaces the text box's text as a user who selects all and types would; each character
    // arrives as a key press.
    void typeText(std::string_view form, std::string_view control, std::string_view text);
    void closeBox(std::string_view form);
    void contextCommand(std::string_view form, std::string_view control, std::string_view command);
    void activate(std::string_view form);
    void resizeByUser(std::string_view form, int outerWidthPx, int outerHeightPx);

    // A failure the view reports without a navigation of the program's own (a frame, a
    // redirect, a page that navigates itself).
    void reportNavigateError(std::string_view form, std::string_view control);

    // Which navigations fail, and when the failure is reported.
    void failNavigations(std::function<bool(std::string_view address)> fails,
                         Delivery delivery = Delivery::Pending);

    // Runs the program from its start-up form until it ends or nothing is left to handle.
    void start(Form& startup);
    // Handles what the script queued since, until the program ends or nothing is left.
    void runUntilIdle();

    bool ended() const { return exitStatus_.has_value(); }
    std::optional<int> exitStatus() const { return exitStatus_; }
    const std::string& runtimeError() const { return runtimeError_; }
    // A script that does not fit what the program did (input for a hidden window, a modal
    // loop left waiting): the test, not the program, is wrong.
    const std::string& scriptError() const { return scriptError_; }
    const std::vector<std::string>& messages() const { return messages_; }
    const std::vector<std::string>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }

    // The window a form has while loaded, or null.
    const HeadlessWindow* window(std::string_view form) const;

private:
    friend class HeadlessWindow;
    struct Event {
        std::string description;
        std::function<void()> handle;
    };

    std::unique_ptr<NativeWindow> createWindowImpl(const std::string& formName, const FormDesign& design,
                                                   NativeEvents& events) override;
    void runLoopImpl(Loop loop, const std::function<bool()>& done) override;
    void pumpImpl() override;
    [[noreturn]] void endProgramImpl(int status) override;
    [[noreturn]] void reportRuntimeErrorImpl(const std::string& message) override;
    void showMessageImpl(const std::string& text) override;
    std::string programFolderImpl() override { return programFolder_; }
    Twips screenWidthImpl() override { return screen_.widthPx * screen_.twipsPerPixel; }
    Twips screenHeightImpl() override { return screen_.heightPx * screen_.twipsPerPixel; }

    void queueInput(std::string description, std::string form, std::function<void(HeadlessWindow&)> act);
    void handle(Event event);
    [[noreturn]] void failScript(const std::string& why);
    void guarded(const std::function<void()>& body);
    void navigated(HeadlessWindow& window, std::string_view control, std::string_view address);
    void record(std::string line) { trace_.push_back(std::move(line)); }

    std::string programFolder_;
    ScreenFacts screen_;
    std::deque<Event> pending_;
    std::deque<Event> late_;
    std::function<bool(std::string_view)> navigationFails_;
    Delivery failureDelivery_ = Delivery::Pending;
    std::map<std::string, HeadlessWindow*, std::less<>> windows_;
    unsigned nextWindowSerial_ = 1;
    std::optional<int> exitStatus_;
    std::string runtimeError_;
    std::string scriptError_;
    std::vector<std::string> messages_;
    std::vector<std::string> trace_;
};

class HeadlessWindow final : public NativeWindow {
public:
    HeadlessWindow(HeadlessHost& host, std::string formName, const FormDesign& design, NativeEvents& events,
                   unsigned serial);
    ~HeadlessWindow() override;

    bool shown() const { return shown_.has_value(); }
    std::optional<ShowMode> showMode() const { return shown_; }
    std::string focusedControl() const { return focus_; }
    std::string currentAddress(std::string_view control) const;
    int outerWidthPx() const { return outerWidthPx_; }
    int outerHeightPx() const { return outerHeightPx_; }
    int clientWidthPx() const;
    int clientHeightPx() const;
    // A control's size in pixels as laid out now.
    int controlWidthPx(std::string_view control) const;
    int controlHeightPx(std::string_view control) const;

    void show(ShowMode mode) override;
    Twips outerWidth() const override { return outerWidthPx_ * host_.screen_.twipsPerPixel; }
    Twips outerHeight() const override { return outerHeightPx_ * host_.screen_.twipsPerPixel; }
    void setOuterWidth(Twips width) override;
    void setOuterHeight(Twips height) override;
    std::string text(std::string_view control) const override;
    void setText(std::string_view control, std::string_view text) override;
    void focus(std::string_view control) override;
    void navigate(std::string_view control, std::string_view address) override;
    Twips controlWidth(std::string_view control) const override;
    Twips controlHeight(std::string_view control) const override;
    void setControlWidth(std::string_view control, Twips width) override;
    void setControlHeight(std::string_view control, Twips height) override;

private:
    friend class HeadlessHost;
    const ControlDesign& control(std::string_view name) const;
    int toPixels(Twips twips) const;

    HeadlessHost& host_;
    std::string formName_;
    FormDesign design_;
    NativeEvents& events_;
    unsigned serial_;
    std::optional<ShowMode> shown_;
    std::string focus_;
    int outerWidthPx_;
    int outerHeightPx_;
    std::map<std::string, std::string, std::less<>> texts_;
    std::map<std::string, std::string, std::less<>> addresses_;
    std::map<std::string, std::pair<int, int>, std::less<>> controlSizesPx_;
};

}  // namespace host::headless
