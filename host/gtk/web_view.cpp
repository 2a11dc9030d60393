#include "host/gtk/web_view.h"

#include <glib/gstdio.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace host::gtk {

namespace {

constexpr const char* kDataFolderName = "rozidarude";

// --- downloads ---------------------------------------------------------------------------------

// A download is written under a hidden name beside the chosen file and renamed when complete,
// so the chosen name never holds a partial file.
struct DownloadState {
    std::string finalPath;
    std::string partialPath;
    bool failed = false;
};

GtkWindow* activeWindow() {
    GtkWindow* active = nullptr;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item != nullptr; item = item->next)
        if (gtk_window_is_active(GTK_WINDOW(item->data))) active = GTK_WINDOW(item->data);
    g_list_free(toplevels);
    return active;
}

std::string baseName(const std::string& path) {
    g_autofree gchar* name = g_path_get_basename(path.c_str());
    return name;
}

gboolean onDecideDestination(WebKitDownload* download, gchar* suggestedName, gpointer) {
    GtkWindow* owner = nullptr;
    if (WebKitWebView* view = webkit_download_get_web_view(download))
        owner = GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(view)));
    if (owner == nullptr || !gtk_widget_is_toplevel(GTK_WIDGET(owner))) owner = activeWindow();

    GtkWidget* chooser =
        gtk_file_chooser_dialog_new("Save File", owner, GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancel",
                                    GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser),
                                      suggestedName && *suggestedName ? suggestedName : "download");
    if (const char* downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD))
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), downloads);
    const bool accepted = gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT;
    g_autofree gchar* chosen = accepted ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser)) : nullptr;
    gtk_widget_destroy(chooser);
    if (chosen == nullptr) {
        webkit_download_cancel(download);
        return TRUE;
    }

    auto* state = static_cast<DownloadState*>(g_object_get_data(G_OBJECT(download), "rozidarude-download"));
    state->finalPath = chosen;
    g_autofree gchar* folder = g_path_get_dirname(chosen);
    g_autofree gchar* partial =
        g_strdup_printf("%s/.%s.%08x.part", folder, baseName(chosen).c_str(), g_random_int());
    state->partialPath = partial;
    g_autofree gchar* uri = g_filename_to_uri(partial, nullptr, nullptr);
    webkit_download_set_destination(download, uri);
    return TRUE;
}

void onDownloadFailed(WebKitDownload* download, GError* error, gpointer) {
    auto* state = static_cast<DownloadState*>(g_object_get_data(G_OBJECT(download), "rozidarude-download"));
    state->failed = true;
    if (!state->partialPath.empty()) g_unlink(state->partialPath.c_str());
    if (g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER)) return;
    const std::string name = state->finalPath.empty() ? std::string("the file") : baseName(state->finalPath);
    ShowWarning("The download of " + name + " failed.\n" + (error ? error->message : ""));
}

void onDownloadFinished(WebKitDownload* download, gpointer) {
    auto* state = static_cast<DownloadState*>(g_object_get_data(G_OBJECT(download), "rozidarude-download"));
    if (state->failed || state->partialPath.empty()) return;
    if (g_rename(state->partialPath.c_str(), state->finalPath.c_str()) != 0) {
        const int error = errno;
        g_unlink(state->partialPath.c_str());
        ShowWarning("The download could not be saved as " + state->finalPath + ": " + g_strerror(error));
    }
}

void onDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) {
    g_object_set_data_full(G_OBJECT(download), "rozidarude-download", new DownloadState,
                           [](gpointer data) { delete static_cast<DownloadState*>(data); });
    g_signal_connect(download, "decide-destination", G_CALLBACK(onDecideDestination), nullptr);
    g_signal_connect(download, "failed", G_CALLBACK(onDownloadFailed), nullptr);
    g_signal_connect(download, "finished", G_CALLBACK(onDownloadFinished), nullptr);
}

// Attachments and types the view cannot show are downloaded rather than shown or dropped.
gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                        gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    WebKitURIResponse* uriResponse = webkit_response_policy_decision_get_response(response);
    bool attachment = false;
    if (SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(uriResponse)) {
        const char* disposition = soup_message_headers_get_one(headers, "Content-Disposition");
        attachment = disposition != nullptr && g_ascii_strncasecmp(disposition, "attachment", 10) == 0;
    }
    if (attachment || !webkit_response_policy_decision_is_mime_type_supported(response)) {
        webkit_policy_decision_download(decision);
        return TRUE;
    }
    return FALSE;
}

// --- crash recovery ----------------------------------------------------------------------------

constexpr gint64 kCrashWindowMicroseconds = 30 * G_USEC_PER_SEC;

struct CrashState {
    gint64 lastDeath = 0;
};

std::string escapeHtml(const std::string& text) {
    g_autofree gchar* escaped = g_markup_escape_text(text.c_str(), -1);
    return escaped;
}

void onWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer) {
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;
    auto* state = static_cast<CrashState*>(g_object_get_data(G_OBJECT(view), "rozidarude-crash"));
    const gint64 now = g_get_monotonic_time();
    const bool again = state->lastDeath != 0 && now - state->lastDeath < kCrashWindowMicroseconds;
    state->lastDeath = now;
    const char* uri = webkit_web_view_get_uri(view);
    const std::string address = uri ? uri : "about:blank";
    std::fprintf(stderr, "rozidarude: the web content process %s; %s\n",
                 reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "exceeded its memory limit" : "stopped",
                 again ? "showing a reload button" : "reloading the page");
    if (!again) {
        // Loaded afresh: a plain reload is answered from what the engine kept of the page.
        webkit_web_view_load_uri(view, address.c_str());
        return;
    }
    // Twice within a short time: stop reloading by itself and let the user decide.
    const std::string page =
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Tovel (Lokal)</title></head>"
        "<body style='font-family:sans-serif;margin:3em'>"
        "<h1>The page stopped unexpectedly</h1>"
        "<p>" +
        escapeHtml(address) +
        "</p>"
        "<p><button autofocus onclick='location.reload()'>Reload</button></p></body></html>";
    webkit_web_view_load_alternate_html(view, page.c_str(), address.c_str(), nullptr);
}

// --- pop-up windows ----------------------------------------------------------------------------

void onPopupTitle(WebKitWebView* view, GParamSpec*, gpointer window) {
    const char* title = webkit_web_view_get_title(view);
    gtk_window_set_title(GTK_WINDOW(window), title && *title ? title : "Tovel (Lokal)");
}

void onPopupReady(WebKitWebView* view, gpointer window) {
    WebKitWindowProperties* properties = webkit_web_view_get_window_properties(view);
    GdkRectangle geometry{0, 0, 0, 0};
    webkit_window_properties_get_geometry(properties, &geometry);
    if (geometry.width > 0 && geometry.height > 0)
        gtk_window_set_default_size(GTK_WINDOW(window), geometry.width, geometry.height);
    gtk_widget_show_all(GTK_WIDGET(window));
    gtk_window_present(GTK_WINDOW(window));
}

void onPopupClose(WebKitWebView*, gpointer window) { gtk_widget_destroy(GTK_WIDGET(window)); }

// window.open and links with a target: a window of this program sharing the session (cookies,
// and window.opener for sign-in flows). It has no failure recovery of its own.
GtkWidget* onCreate(WebKitWebView* opener, WebKitNavigationAction*, gpointer) {
    GtkWidget* view = webkit_web_view_new_with_related_view(opener);
    webkit_web_view_set_settings(WEBKIT_WEB_VIEW(view), webkit_web_view_get_settings(opener));
    ConfigureWebView(WEBKIT_WEB_VIEW(view));

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Tovel (Lokal)");
    gtk_window_set_default_size(GTK_WINDOW(window), 900, 700);
    GtkWidget* openerWindow = gtk_widget_get_toplevel(GTK_WIDGET(opener));
    if (gtk_widget_is_toplevel(openerWindow)) {
        if (GList* icons = gtk_window_get_icon_list(GTK_WINDOW(openerWindow))) {
            gtk_window_set_icon_list(GTK_WINDOW(window), icons);
            g_list_free(icons);
        }
    }
    gtk_container_add(GTK_CONTAINER(window), view);
    InstallBrowserShortcuts(GTK_WINDOW(window), WEBKIT_WEB_VIEW(view));
    g_signal_connect_object(view, "notify::title", G_CALLBACK(onPopupTitle), window, G_CONNECT_DEFAULT);
    g_signal_connect_object(view, "ready-to-show", G_CALLBACK(onPopupReady), window, G_CONNECT_DEFAULT);
    g_signal_connect_object(view, "close", G_CALLBACK(onPopupClose), window, G_CONNECT_DEFAULT);
    return view;
}

// --- keyboard ----------------------------------------------------------------------------------

constexpr double kZoomStep = 1.1;

gboolean onShortcut(GtkWidget* widget, GdkEventKey* event, gpointer data) {
    auto* view = WEBKIT_WEB_VIEW(data);
    const GdkModifierType modifiers =
        static_cast<GdkModifierType>(event->state & gtk_accelerator_get_default_mod_mask());
    const bool control = modifiers == GDK_CONTROL_MASK;
    const bool controlShift = modifiers == (GDK_CONTROL_MASK | GDK_SHIFT_MASK);
    const bool alt = modifiers == GDK_MOD1_MASK;
    const bool none = modifiers == 0;
    const guint key = gdk_keyval_to_lower(event->keyval);

    if ((none && key == GDK_KEY_F5) || (control && key == GDK_KEY_r)) {
        webkit_web_view_reload(view);
    } else if ((controlShift && key == GDK_KEY_r) || (control && key == GDK_KEY_F5)) {
        webkit_web_view_reload_bypass_cache(view);
    } else if (alt && key == GDK_KEY_Left) {
        webkit_web_view_go_back(view);
    } else if (alt && key == GDK_KEY_Right) {
        webkit_web_view_go_forward(view);
    } else if ((control || controlShift) &&
               (key == GDK_KEY_plus || key == GDK_KEY_equal || key == GDK_KEY_KP_Add)) {
        webkit_web_view_set_zoom_level(view, webkit_web_view_get_zoom_level(view) * kZoomStep);
    } else if (control && (key == GDK_KEY_minus || key == GDK_KEY_KP_Subtract)) {
        webkit_web_view_set_zoom_level(view, webkit_web_view_get_zoom_level(view) / kZoomStep);
    } else if (control && (key == GDK_KEY_0 || key == GDK_KEY_KP_0)) {
        webkit_web_view_set_zoom_level(view, 1.0);
    } else if (control && key == GDK_KEY_p) {
        WebKitPrintOperation* print = webkit_print_operation_new(view);
        webkit_print_operation_run_dialog(print, GTK_WINDOW(widget));
        g_object_unref(print);
    } else if (none && key == GDK_KEY_F11) {
        GdkWindow* window = gtk_widget_get_window(widget);
        if (window && (gdk_window_get_state(window) & GDK_WINDOW_STATE_FULLSCREEN))
            gtk_window_unfullscreen(GTK_WINDOW(widget));
        else
            gtk_window_fullscreen(GTK_WINDOW(widget));
    } else {
        return FALSE;
    }
    return TRUE;
}

// --- rendering ---------------------------------------------------------------------------------

// A GPU the engine can render with: a DRM render node this user may open.
bool HasGpuRenderNode() {
    GDir* dir = g_dir_open("/dev/dri", 0, nullptr);
    if (dir == nullptr) return false;
    bool found = false;
    while (const gchar* name = g_dir_read_name(dir)) {
        if (!g_str_has_prefix(name, "renderD")) continue;
        g_autofree gchar* path = g_build_filename("/dev/dri", name, nullptr);
        if (access(path, R_OK | W_OK) == 0) found = true;
    }
    g_dir_close(dir);
    return found;
}

// Without a GPU the engine composites with software GL (llvmpipe): under Xvfb that held 74 MiB
// more for the whole tree (275 against 201 MiB PSS) and loaded the page no faster (0.76 against
// 0.75 s, medians of 20 runs). With a GPU the engine's default stays: GPU compositing keeps
// scrolling and animations off the CPU.
void ChooseCompositing(WebKitSettings* settings) {
    static const bool hasGpu = HasGpuRenderNode();
    if (!hasGpu)
        webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
}

// --- hardening ---------------------------------------------------------------------------------

// Pages come from the intranet server alone: they get no way to local files and no inspector.
void HardenWebView(WebKitSettings* settings) {
    webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
}

// The engine runs its web processes in bubblewrap, chosen before the first view exists. Where
// bubblewrap cannot make its namespaces (some containers), the engine could not start a page
// at all, so a quick trial run decides, and the program says once that it goes without.
void EnableSandbox(WebKitWebContext* context) {
    constexpr const char* kBubblewrap = "/usr/bin/bwrap";  // where the engine looks for them
    constexpr const char* kDbusProxy = "/usr/bin/xdg-dbus-proxy";
    const char* trial[] = {kBubblewrap,
                           "--die-with-parent",
                           "--unshare-pid",
                           "--unshare-ipc",
                           "--unshare-uts",
                           "--unshare-net",
                           "--ro-bind",
                           "/",
                           "/",
                           "--proc",
                           "/proc",
                           "--dev",
                           "/dev",
                           "--",
                           "/bin/true",
                           nullptr};
    gint status = -1;
    const bool works =
        g_file_test(kDbusProxy, G_FILE_TEST_IS_EXECUTABLE) &&
        g_spawn_sync(nullptr, const_cast<gchar**>(trial), nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                     nullptr, nullptr, nullptr, nullptr, &status, nullptr) &&
        g_spawn_check_wait_status(status, nullptr);
    if (works) {
        webkit_web_context_set_sandbox_enabled(context, TRUE);
        return;
    }
    std::fprintf(stderr, "%s: warning: the web engine's sandbox cannot run here (%s); pages run without it\n",
                 "rozidarude", kBubblewrap);
}

}  // namespace

void ShowWarning(const std::string& text) {
    GtkWindow* owner = activeWindow();
    // File names and the system's reasons need not be UTF-8; GTK would refuse them whole.
    g_autofree gchar* valid = g_utf8_make_valid(text.c_str(), -1);
    GtkWidget* box =
        gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s", valid);
    gtk_window_set_title(GTK_WINDOW(box), "Tovel (Lokal)");
    gtk_window_set_position(GTK_WINDOW(box), owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
}

WebKitWebContext* CreateWebContext() {
    g_autofree gchar* dataFolder = g_build_filename(g_get_user_data_dir(), kDataFolderName, nullptr);
    g_autofree gchar* cacheFolder = g_build_filename(g_get_user_cache_dir(), kDataFolderName, nullptr);
    WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
        "base-data-directory", dataFolder, "base-cache-directory", cacheFolder, nullptr);
    // An untrusted certificate is a failed navigation, never silently accepted.
    webkit_website_data_manager_set_tls_errors_policy(data, WEBKIT_TLS_ERRORS_POLICY_FAIL);
    // Cookies are kept only in memory unless given a file: without it nobody stays logged in.
    g_autofree gchar* cookies = g_build_filename(dataFolder, "cookies.sqlite", nullptr);
    webkit_cookie_manager_set_persistent_storage(webkit_website_data_manager_get_cookie_manager(data),
                                                 cookies, WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);
    g_signal_connect(context, "download-started", G_CALLBACK(onDownloadStarted), nullptr);
    EnableSandbox(context);
    return context;
}

void ConfigureWebView(WebKitWebView* view) {
    HardenWebView(webkit_web_view_get_settings(view));
    ChooseCompositing(webkit_web_view_get_settings(view));
    g_object_set_data_full(G_OBJECT(view), "rozidarude-crash", new CrashState,
                           [](gpointer data) { delete static_cast<CrashState*>(data); });
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), nullptr);
    g_signal_connect(view, "create", G_CALLBACK(onCreate), nullptr);
    g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), nullptr);
}

void InstallBrowserShortcuts(GtkWindow* window, WebKitWebView* view) {
    g_signal_connect_object(window, "key-press-event", G_CALLBACK(onShortcut), view, G_CONNECT_DEFAULT);
}

}  // namespace host::gtk
