#include "host/gtk/gtk_host.h"

#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "host/gtk/gobject_ptr.h"
#include "host/gtk/navigation_policy.h"
#include "host/gtk/web_view.h"

// The icons embedded in the binary; registered by hand since nothing else would pull them out of
// the static library.
extern "C" void rozidarude_icons_register_resource(void);

namespace host::gtk {

namespace {

constexpr const char* kProgramName = "rozidarude";
constexpr const char* kIconResourceFolder = "/org/rozidarude/Launcher/icons/";

// Texts from the file may hold bytes that are not UTF-8; GTK would refuse them whole.
std::string validUtf8(std::string_view text) {
    g_autofree gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    return valid;
}

// The engine reports these for loads that did not fail: a navigation replaced by a newer one
// or stopped, and a response handed over to a download.
bool IsNavigationFailure(const GError* error) {
    if (error == nullptr) return true;
    if (error->domain == WEBKIT_NETWORK_ERROR && error->code == WEBKIT_NETWORK_ERROR_CANCELLED) return false;
    if (error->domain == WEBKIT_POLICY_ERROR &&
        error->code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE)
        return false;
    if (error->domain == WEBKIT_PLUGIN_ERROR && error->code == WEBKIT_PLUGIN_ERROR_WILL_HANDLE_LOAD)
        return false;
    return true;
}

// The theme's minimum heights and padding would make text boxes and buttons taller than
// designed, so controls laid out at designed positions would overlap.
void useDesignedSizes(GtkWidget* container) {
    static GtkCssProvider* provider = [] {
        GtkCssProvider* css = gtk_css_provider_new();
        gtk_css_provider_load_from_data(css,
                                        ".designed-layout entry, .designed-layout button {"
                                        " min-height: 0; padding-top: 0; padding-bottom: 0; }",
                                        -1, nullptr);
        gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                                  GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        return css;
    }();
    (void)provider;
    gtk_style_context_add_class(gtk_widget_get_style_context(container), "designed-layout");
}

std::optional<GdkRectangle> primaryMonitor() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
    if (monitor == nullptr) return std::nullopt;
    GdkRectangle geometry{0, 0, 0, 0};
    gdk_monitor_get_geometry(monitor, &geometry);
    return geometry;
}

GdkRectangle screenGeometry() {
    if (auto screen = primaryMonitor()) return *screen;
    throw RuntimeError("no screen to show the windows on");
}

}  // namespace

struct GtkHost::State {
    GObjectPtr<WebKitWebContext> webContext;
    float twipsPerPixel = 15;
};

namespace {

class GtkNativeWindow final : public NativeWindow {
public:
    GtkNativeWindow(GtkHost::State& state, std::string formName, const FormDesign& design,
                    NativeEvents& events);
    ~GtkNativeWindow() override;

    void show(ShowMode mode) override;
    Twips outerWidth() const override;
    Twips outerHeight() const override;
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
    // What a signal handler of one control needs; owned by the window, outlived by nothing.
    struct Binding {
        GtkNativeWindow* window;
        std::string control;
    };

    int toPixels(Twips twips) const { return static_cast<int>(std::lround(twips / state_.twipsPerPixel)); }
    Twips toTwips(int pixels) const { return pixels * state_.twipsPerPixel; }
    GtkWidget* widget(std::string_view control) const;
    const ControlDesign& design(std::string_view control) const;
    Binding* bind(std::string control);
    void connect(gpointer instance, const char* signal, GCallback callback, gpointer data);
    GtkWidget* createControl(const ControlDesign& control);
    void applyIcon();
    void applyRequestedSize();
    void fitFrame();
    std::optional<std::array<int, 4>> frameExtents() const;

    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
    static void onActiveChanged(GObject*, GParamSpec*, gpointer self);
    static gboolean onFrameChanged(GtkWidget*, GdkEvent*, gpointer self);
    static void onRealize(GtkWidget*, gpointer self);
    static void onClicked(GtkButton*, gpointer binding);
    static gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer binding);
    static gboolean onContextMenu(WebKitWebView*, WebKitContextMenu* menu, GdkEvent*, WebKitHitTestResult*,
                                  gpointer binding);
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                 gpointer binding);

    GtkHost::State& state_;
    std::string formName_;
    FormDesign design_;
    NativeEvents& events_;
    GObjectPtr<GtkWidget> window_;
    std::map<std::string, GtkWidget*, std::less<>> controls_;
    std::vector<std::unique_ptr<Binding>> bindings_;
    std::vector<std::pair<gpointer, gulong>> handlers_;
    // Tells callbacks queued on the main loop whether this window still exists.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    // The outer size asked for, in pixels. The frame's size is known only once the window
    // manager has framed the window, so the client area is fitted again then.
    std::optional<int> requestedOuterWidth_, requestedOuterHeight_;
    int frameWidth_ = 0, frameHeight_ = 0;
    bool fittingFrame_ = false;
    // Each load makes a new window, so every first show after a load centres it again.
    bool centrePending_ = true;
};

GtkNativeWindow::GtkNativeWindow(GtkHost::State& state, std::string formName, const FormDesign& design,
                                 NativeEvents& events)
    : state_(state), formName_(std::move(formName)), design_(design), events_(events) {
    window_ = GObjectPtr<GtkWidget>::adoptRef(GTK_WIDGET(g_object_ref(gtk_window_new(GTK_WINDOW_TOPLEVEL))));
    GtkWindow* window = GTK_WINDOW(window_.get());
    gtk_window_set_title(window, design_.caption.c_str());
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    const int clientWidth = toPixels(design_.clientWidth);
    const int clientHeight = toPixels(design_.clientHeight);

    if (design_.frame == FrameStyle::FixedDialog) {
        gtk_window_set_resizable(window, FALSE);
        gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    }
    if (design_.taskbar == Taskbar::Hidden) {
        gtk_window_set_skip_taskbar_hint(window, TRUE);
        gtk_window_set_skip_pager_hint(window, TRUE);
    }
    applyIcon();

    const ControlDesign* filling = nullptr;
    for (const ControlDesign& c : design_.controls)
        if (c.placement == Placement::FillClientArea) filling = &c;
    if (filling != nullptr) {
        // One control as large as the client area, following the window's every resize.
        GtkWidget* control = createControl(*filling);
        gtk_container_add(GTK_CONTAINER(window), control);
        gtk_window_set_default_size(window, clientWidth, clientHeight);
        if (WEBKIT_IS_WEB_VIEW(control)) InstallBrowserShortcuts(window, WEBKIT_WEB_VIEW(control));
    } else {
        GtkWidget* fixed = gtk_fixed_new();
        gtk_widget_set_size_request(fixed, clientWidth, clientHeight);
        useDesignedSizes(fixed);
        std::vector<const ControlDesign*> byTabIndex;
        for (const ControlDesign& c : design_.controls) {
            GtkWidget* control = createControl(c);
            gtk_widget_set_size_request(control, toPixels(c.width), toPixels(c.height));
            gtk_fixed_put(GTK_FIXED(fixed), control, toPixels(c.left), toPixels(c.top));
            byTabIndex.push_back(&c);
        }
        // Tab follows the designed order rather than the controls' positions.
        std::stable_sort(
            byTabIndex.begin(), byTabIndex.end(),
            [](const ControlDesign* a, const ControlDesign* b) { return a->tabIndex < b->tabIndex; });
        GList* chain = nullptr;
        for (const ControlDesign* c : byTabIndex)
            chain = g_list_append(chain, controls_.find(c->name)->second);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_container_set_focus_chain(GTK_CONTAINER(fixed), chain);
        G_GNUC_END_IGNORE_DEPRECATIONS
        g_list_free(chain);
        gtk_container_add(GTK_CONTAINER(window), fixed);
    }

    connect(window_.get(), "delete-event", G_CALLBACK(onDelete), this);
    connect(window_.get(), "notify::is-active", G_CALLBACK(onActiveChanged), this);
    gtk_widget_add_events(window_.get(), GDK_PROPERTY_CHANGE_MASK | GDK_STRUCTURE_MASK);
    connect(window_.get(), "property-notify-event", G_CALLBACK(onFrameChanged), this);
    connect(window_.get(), "map-event", G_CALLBACK(onFrameChanged), this);
    connect(window_.get(), "realize", G_CALLBACK(onRealize), this);
}

GtkNativeWindow::~GtkNativeWindow() {
    *alive_ = false;
    for (auto [instance, id] : handlers_)
        if (g_signal_handler_is_connected(instance, id)) g_signal_handler_disconnect(instance, id);
    gtk_widget_destroy(window_.get());
}

void GtkNativeWindow::connect(gpointer instance, const char* signal, GCallback callback, gpointer data) {
    handlers_.emplace_back(instance, g_signal_connect(instance, signal, callback, data));
}

GtkNativeWindow::Binding* GtkNativeWindow::bind(std::string control) {
    bindings_.push_back(std::make_unique<Binding>(Binding{this, std::move(control)}));
    return bindings_.back().get();
}

GtkWidget* GtkNativeWindow::createControl(const ControlDesign& c) {
    GtkWidget* control = nullptr;
    switch (c.kind) {
        case ControlKind::TextBox:
            control = gtk_entry_new();
            gtk_entry_set_text(GTK_ENTRY(control), validUtf8(c.caption).c_str());
            connect(control, "key-press-event", G_CALLBACK(onKeyPress), bind(c.name));
            break;
        case ControlKind::CommandButton:
            control = gtk_button_new_with_label(c.caption.c_str());
            connect(control, "clicked", G_CALLBACK(onClicked), bind(c.name));
            break;
        case ControlKind::BrowserView:
            control = GTK_WIDGET(
                g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", state_.webContext.get(), nullptr));
            ConfigureWebView(WEBKIT_WEB_VIEW(control));
            connect(control, "load-failed", G_CALLBACK(onLoadFailed), bind(c.name));
            if (!c.contextCommands.empty())
                connect(control, "context-menu", G_CALLBACK(onContextMenu), bind(c.name));
            break;
    }
    // Lets assistive technology (and the end-to-end tests that use it) tell controls apart.
    atk_object_set_accessible_id(gtk_widget_get_accessible(control), c.name.c_str());
    controls_.emplace(c.name, control);
    return control;
}

void GtkNativeWindow::applyIcon() {
    if (design_.icon.empty()) return;
    GList* icons = nullptr;
    for (const char* size : {"16", "32"}) {
        std::string path = std::string(kIconResourceFolder) + design_.icon + "-" + size + ".png";
        if (GdkPixbuf* pixbuf = gdk_pixbuf_new_from_resource(path.c_str(), nullptr))
            icons = g_list_append(icons, pixbuf);
    }
    if (icons != nullptr) gtk_window_set_icon_list(GTK_WINDOW(window_.get()), icons);
    g_list_free_full(icons, g_object_unref);
}

const ControlDesign& GtkNativeWindow::design(std::string_view control) const {
    const ControlDesign* found = design_.control(control);
    if (found == nullptr) throw RuntimeError(formName_ + " has no control named " + std::string(control));
    return *found;
}

GtkWidget* GtkNativeWindow::widget(std::string_view control) const {
    auto found = controls_.find(control);
    if (found == controls_.end())
        throw RuntimeError(formName_ + " has no control named " + std::string(control));
    return found->second;
}

void GtkNativeWindow::show(ShowMode mode) {
    GtkWindow* window = GTK_WINDOW(window_.get());
    gtk_window_set_modal(window, mode == ShowMode::Modal);
    gtk_widget_show_all(window_.get());
    gtk_window_present(window);
}

Twips GtkNativeWindow::outerWidth() const {
    if (requestedOuterWidth_ && fittingFrame_) return toTwips(*requestedOuterWidth_);
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(window_.get()), &width, &height);
    return toTwips(width + frameWidth_);
}

Twips GtkNativeWindow::outerHeight() const {
    if (requestedOuterHeight_ && fittingFrame_) return toTwips(*requestedOuterHeight_);
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(window_.get()), &width, &height);
    return toTwips(height + frameHeight_);
}

void GtkNativeWindow::setOuterWidth(Twips width) {
    requestedOuterWidth_ = std::max(1, toPixels(width));
    applyRequestedSize();
}

void GtkNativeWindow::setOuterHeight(Twips height) {
    requestedOuterHeight_ = std::max(1, toPixels(height));
    applyRequestedSize();
}

void GtkNativeWindow::applyRequestedSize() {
    GtkWindow* window = GTK_WINDOW(window_.get());
    int width = 0, height = 0;
    gtk_window_get_size(window, &width, &height);
    if (requestedOuterWidth_) width = std::max(1, *requestedOuterWidth_ - frameWidth_);
    if (requestedOuterHeight_) height = std::max(1, *requestedOuterHeight_ - frameHeight_);
    if (gtk_window_get_resizable(window)) {
        gtk_window_resize(window, width, height);
        // Until the window manager has framed the window, the frame's size is a guess.
        fittingFrame_ = !gtk_widget_get_mapped(window_.get());
    }
}

// The frame the window manager put around the window: left, right, top and bottom, in pixels.
std::optional<std::array<int, 4>> GtkNativeWindow::frameExtents() const {
    GdkWindow* gdkWindow = gtk_widget_get_window(window_.get());
    if (gdkWindow == nullptr) return std::nullopt;
    GdkAtom type = GDK_NONE;
    gint format = 0, length = 0;
    guchar* data = nullptr;
    if (!gdk_property_get(gdkWindow, gdk_atom_intern_static_string("_NET_FRAME_EXTENTS"),
                          gdk_atom_intern_static_string("CARDINAL"), 0, 4 * 4, FALSE, &type, &format, &length,
                          &data))
        return std::nullopt;
    std::optional<std::array<int, 4>> extents;
    // Format 32 properties arrive as C longs.
    if (format == 32 && length >= static_cast<gint>(4 * sizeof(long))) {
        const long* values = reinterpret_cast<const long*>(data);
        extents = std::array<int, 4>{static_cast<int>(values[0]), static_cast<int>(values[1]),
                                     static_cast<int>(values[2]), static_cast<int>(values[3])};
    }
    g_free(data);
    return extents;
}

// Once the window manager has told the frame's size, take it off the client area so that the
// outer size is the one asked for, and centre the window again with that size.
void GtkNativeWindow::fitFrame() {
    auto extents = frameExtents();
    if (!extents) return;
    frameWidth_ = (*extents)[0] + (*extents)[1];
    frameHeight_ = (*extents)[2] + (*extents)[3];
    if (fittingFrame_) {
        applyRequestedSize();
        fittingFrame_ = false;
    }
    if (!centrePending_) return;
    const auto screen = primaryMonitor();
    if (!screen) return;
    // Centred as a whole, frame included, which GTK cannot do before the frame is known.
    centrePending_ = false;
    int width = 0, height = 0;
    gtk_window_get_size(GTK_WINDOW(window_.get()), &width, &height);
    const int outerWidth = requestedOuterWidth_.value_or(width + frameWidth_);
    const int outerHeight = requestedOuterHeight_.value_or(height + frameHeight_);
    gtk_window_move(GTK_WINDOW(window_.get()), screen->x + (screen->width - outerWidth) / 2,
                    screen->y + (screen->height - outerHeight) / 2);
}

std::string GtkNativeWindow::text(std::string_view control) const {
    GtkWidget* entry = widget(control);
    if (!GTK_IS_ENTRY(entry)) throw RuntimeError(std::string(control) + " holds no text");
    return gtk_entry_get_text(GTK_ENTRY(entry));
}

void GtkNativeWindow::setText(std::string_view control, std::string_view text) {
    GtkWidget* entry = widget(control);
    if (!GTK_IS_ENTRY(entry)) throw RuntimeError(std::string(control) + " holds no text");
    gtk_entry_set_text(GTK_ENTRY(entry), validUtf8(text).c_str());
}

void GtkNativeWindow::focus(std::string_view control) { gtk_widget_grab_focus(widget(control)); }

void GtkNativeWindow::navigate(std::string_view control, std::string_view address) {
    GtkWidget* view = widget(control);
    if (!WEBKIT_IS_WEB_VIEW(view)) throw RuntimeError(std::string(control) + " is not a browser view");
    const std::string uri = validUtf8(address);
    if (CheckAddress(uri) == AddressVerdict::Loadable) {
        webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), uri.c_str());
        return;
    }
    // The engine would show a blank page and say nothing: report the failure as it would for
    // an unreachable server, from the main loop like any other.
    struct Pending {
        std::weak_ptr<bool> alive;
        NativeEvents* events;
        std::string control;
    };
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* pending = static_cast<Pending*>(data);
            if (auto alive = pending->alive.lock(); alive && *alive)
                pending->events->nativeNavigateError(pending->control);
            return G_SOURCE_REMOVE;
        },
        new Pending{alive_, &events_, std::string(control)},
        [](gpointer data) { delete static_cast<Pending*>(data); });
}

Twips GtkNativeWindow::controlWidth(std::string_view control) const {
    return toTwips(gtk_widget_get_allocated_width(widget(control)));
}

Twips GtkNativeWindow::controlHeight(std::string_view control) const {
    return toTwips(gtk_widget_get_allocated_height(widget(control)));
}

void GtkNativeWindow::setControlWidth(std::string_view control, Twips width) {
    if (design(control).placement == Placement::FillClientArea)
        throw RuntimeError(std::string(control) + " fills its window; its size follows the window");
    int height = 0;
    gtk_widget_get_size_request(widget(control), nullptr, &height);
    gtk_widget_set_size_request(widget(control), toPixels(width), height);
}

void GtkNativeWindow::setControlHeight(std::string_view control, Twips height) {
    if (design(control).placement == Placement::FillClientArea)
        throw RuntimeError(std::string(control) + " fills its window; its size follows the window");
    int width = 0;
    gtk_widget_get_size_request(widget(control), &width, nullptr);
    gtk_widget_set_size_request(widget(control), width, toPixels(height));
}

gboolean GtkNativeWindow::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
    // Unloading destroys the window; GTK must not destroy it a second time.
    static_cast<GtkNativeWindow*>(self)->events_.nativeCloseRequested();
    return TRUE;
}

void GtkNativeWindow::onActiveChanged(GObject* object, GParamSpec*, gpointer self) {
    if (gtk_window_is_active(GTK_WINDOW(object)))
        static_cast<GtkNativeWindow*>(self)->events_.nativeActivated();
}

void GtkNativeWindow::onRealize(GtkWidget* widget, gpointer self) {
    auto* window = static_cast<GtkNativeWindow*>(self);
    if (window->design_.frame == FrameStyle::FixedDialog) {
        // No minimize or maximize: a dialog that can only be moved and closed.
        GdkWindow* gdkWindow = gtk_widget_get_window(widget);
        gdk_window_set_functions(gdkWindow, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
        gdk_window_set_decorations(
            gdkWindow, static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE | GDK_DECOR_MENU));
    }
}

gboolean GtkNativeWindow::onFrameChanged(GtkWidget*, GdkEvent* event, gpointer self) {
    if (event->type == GDK_PROPERTY_NOTIFY &&
        event->property.atom != gdk_atom_intern_static_string("_NET_FRAME_EXTENTS"))
        return FALSE;
    static_cast<GtkNativeWindow*>(self)->fitFrame();
    return FALSE;
}

void GtkNativeWindow::onClicked(GtkButton*, gpointer data) {
    auto* binding = static_cast<Binding*>(data);
    binding->window->events_.nativeClicked(binding->control);
}

gboolean GtkNativeWindow::onKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* binding = static_cast<Binding*>(data);
    const guint key = event->keyval;
    const bool control = (event->state & GDK_CONTROL_MASK) != 0;
    int code = -1;
    if (key == GDK_KEY_Return || key == GDK_KEY_KP_Enter || key == GDK_KEY_ISO_Enter)
        code = 13;
    else if (control && ((key >= GDK_KEY_a && key <= GDK_KEY_z) || (key >= GDK_KEY_A && key <= GDK_KEY_Z)))
        code = static_cast<int>(g_ascii_tolower(static_cast<gchar>(key)) - 'a' + 1);  // Ctrl+M is 13 too
    else if (key == GDK_KEY_BackSpace)
        code = 8;
    else if (key == GDK_KEY_Escape)
        code = 27;
    else if (gunichar character = gdk_keyval_to_unicode(key); character != 0 && character <= 0x7FFF)
        code = static_cast<int>(character);
    if (code < 0) return FALSE;

    std::shared_ptr<bool> alive = binding->window->alive_;
    binding->window->events_.nativeKeyPress(binding->control, static_cast<std::int16_t>(code));
    // The key goes on to the text box as usual, unless the handler closed the window.
    return *alive ? FALSE : TRUE;
}

gboolean GtkNativeWindow::onContextMenu(WebKitWebView*, WebKitContextMenu* menu, GdkEvent*,
                                        WebKitHitTestResult*, gpointer data) {
    auto* binding = static_cast<Binding*>(data);
    GtkNativeWindow* window = binding->window;
    // The menu may outlive the window; a command chosen after that reaches nobody.
    struct Command {
        std::weak_ptr<bool> alive;
        NativeEvents* events;
        std::string control;
        std::string caption;
    };
    webkit_context_menu_append(menu, webkit_context_menu_item_new_separator());
    for (const std::string& caption : window->design(binding->control).contextCommands) {
        GSimpleAction* action = g_simple_action_new("rozidarude-command", nullptr);
        g_signal_connect_data(
            action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
                auto* command = static_cast<Command*>(data);
                if (auto alive = command->alive.lock(); alive && *alive)
                    command->events->nativeContextCommand(command->control, command->caption);
            }),
            new Command{window->alive_, &window->events_, binding->control, caption},
            [](gpointer data, GClosure*) { delete static_cast<Command*>(data); }, G_CONNECT_DEFAULT);
        webkit_context_menu_append(
            menu, webkit_context_menu_item_new_from_gaction(G_ACTION(action), caption.c_str(), nullptr));
        g_object_unref(action);
    }
    return FALSE;
}

gboolean GtkNativeWindow::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error,
                                       gpointer data) {
    if (!IsNavigationFailure(error)) return FALSE;
    auto* binding = static_cast<Binding*>(data);
    binding->window->events_.nativeNavigateError(binding->control);
    // Handled: the engine's own error page would replace the blank page the handler asked for.
    return TRUE;
}

}  // namespace

GtkHost::GtkHost(int& argc, char**& argv) : state_(std::make_unique<State>()) {
    g_set_prgname(kProgramName);
    g_set_application_name("Tovel (Lokal)");
    rozidarude_icons_register_resource();
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "%s: cannot open the display\n", kProgramName);
        std::exit(1);
    }
    double resolution = gdk_screen_get_resolution(gdk_screen_get_default());
    if (resolution <= 0) resolution = 96;
    state_->twipsPerPixel = static_cast<float>(1440.0 / resolution);
    state_->webContext = GObjectPtr<WebKitWebContext>::adoptRef(CreateWebContext());
}

GtkHost::~GtkHost() = default;

std::unique_ptr<NativeWindow> GtkHost::createWindowImpl(const std::string& formName, const FormDesign& design,
                                                        NativeEvents& events) {
    return std::make_unique<GtkNativeWindow>(*state_, formName, design, events);
}

void GtkHost::runLoopImpl(Loop, const std::function<bool()>& done) {
    while (!done()) g_main_context_iteration(nullptr, TRUE);
}

void GtkHost::pumpImpl() {
    // What is pending now; a bound keeps a busy page from holding the caller here.
    for (int round = 0; round < 100 && g_main_context_pending(nullptr); ++round)
        g_main_context_iteration(nullptr, FALSE);
}

void GtkHost::endProgramImpl(int status) {
    std::fflush(nullptr);
    _exit(status);
}

void GtkHost::reportRuntimeErrorImpl(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, message.c_str());
    std::fflush(nullptr);
    GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                                            "%s", validUtf8(message).c_str());
    gtk_window_set_title(GTK_WINDOW(box), kProgramName);
    gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(box));
    _exit(1);
}

void GtkHost::showMessageImpl(const std::string& text) { ShowWarning(text); }

std::string GtkHost::programFolderImpl() {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) throw RuntimeError("cannot find the program's folder: " + error.message());
    return executable.parent_path().string();
}

Twips GtkHost::screenWidthImpl() { return screenGeometry().width * state_->twipsPerPixel; }
Twips GtkHost::screenHeightImpl() { return screenGeometry().height * state_->twipsPerPixel; }

}  // namespace host::gtk
