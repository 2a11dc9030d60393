#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>

namespace host::gtk {

// The engine's context for every view of the program: website data (cookies, local storage,
// IndexedDB, the HTTP cache) kept across runs under the user's data and cache folders,
// certificate errors refused, downloads saved where the user chooses, web content in the
// engine's sandbox where the system allows it.
WebKitWebContext* CreateWebContext();

// What every view of the program's pages does besides showing them: no access to local files
// and no developer tools, pop-up windows that share the session, one reload by itself after the
// web content process died, the engine's own prompts (sign-in, alerts, file upload, printing)
// left to the engine.
void ConfigureWebView(WebKitWebView* view);

// A warning the user acknowledges, over the program's active window; blocks like a modal window
// while events go on.
void ShowWarning(const std::string& text);

// Reload, zoom, back and forward, print and full screen on the keyboard of a window that
// holds a view.
void InstallBrowserShortcuts(GtkWindow* window, WebKitWebView* view);

}  // namespace host::gtk
