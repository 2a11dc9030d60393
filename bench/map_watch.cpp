// Prints a line for every top-level window the X server maps, as soon as its event arrives:
//   map <CLOCK_MONOTONIC ns> <window id> <width>x<height> <title>
// The benchmark reads these to time windows appearing without polling. "ready" comes first,
// once the root window is watched.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <ctime>
#include <set>
#include <string>

namespace {

long long nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Windows come and go while they are looked at; a vanished one is simply skipped.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

std::string title(Display* display, Window window) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr && type == utf8 && format == 8)
        text.assign(reinterpret_cast<char*>(data), count);
    if (data != nullptr) XFree(data);
    if (!text.empty()) return text;
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name != nullptr) {
        text = name;
        XFree(name);
    }
    return text;
}

void report(Display* display, Window window, long long ns) {
    std::string name = title(display, window);
    if (name.empty()) return;  // frames of the window manager, menus, tooltips
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes)) return;
    for (char& c : name)
        if (c == '\n') c = ' ';
    std::printf("map %lld 0x%lx %dx%d %s\n", ns, window, attributes.width, attributes.height, name.c_str());
    std::fflush(stdout);
}

}  // namespace

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "map_watch: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);
    std::printf("ready\n");
    std::fflush(stdout);

    std::set<Window> reported;
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        const long long ns = nowNs();
        if (event.type == CreateNotify && event.xcreatewindow.parent == root) {
            // A new top-level window: watch its own map, which arrives even after the window
            // manager has put it into a frame. It may have been mapped before this took effect.
            Window window = event.xcreatewindow.window;
            XSelectInput(display, window, StructureNotifyMask);
            XWindowAttributes attributes{};
            if (XGetWindowAttributes(display, window, &attributes) && attributes.map_state != IsUnmapped &&
                reported.insert(window).second)
                report(display, window, nowNs());
        } else if (event.type == MapNotify) {
            // Without a reparenting window manager the root reports the same map once more.
            if (reported.insert(event.xmap.window).second) report(display, event.xmap.window, ns);
        } else if (event.type == UnmapNotify && event.xunmap.event == event.xunmap.window) {
            reported.erase(event.xunmap.window);
        } else if (event.type == DestroyNotify) {
            reported.erase(event.xdestroywindow.window);
        }
    }
}
