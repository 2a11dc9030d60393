// A bare WebKitGTK window: a GtkWindow holding a WebKitWebView with default settings, loading
// the address given on the command line. What any launcher on this engine costs at the least.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bare_webview URL\n");
        return 2;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "bare_webview");
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);

    // As large as rozidarude's main window: the screen's width, and its height less 1000 twips.
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle screen{0, 0, 800, 600};
    if (monitor != nullptr) gdk_monitor_get_geometry(monitor, &screen);
    double resolution = gdk_screen_get_resolution(gdk_screen_get_default());
    if (resolution <= 0) resolution = 96;
    const int height = screen.height - static_cast<int>(std::lround(1000.0 * resolution / 1440.0));
    gtk_window_set_default_size(GTK_WINDOW(window), screen.width, height);

    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
