// velmora-screenshot: saves what the X display shows as a PNG file.
//   velmora-screenshot OUT.png [--title TITLE]
// With --title, only the top-level window whose title is TITLE (the first
// found, frame included) is saved; without it, the whole screen.
#include <gdk/gdk.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string windowTitle(Display* d, Window w) {
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(d, w, netName, 0, 4096, False, utf8, &type, &format, &n, &after, &data) == Success && data) {
    out.assign(reinterpret_cast<char*>(data), n);
    XFree(data);
    return out;
  }
  char* name = nullptr;
  if (XFetchName(d, w, &name) && name) {
    out = name;
    XFree(name);
  }
  return out;
}

Window findByTitle(Display* d, Window w, const std::string& title) {
  if (windowTitle(d, w) == title) return w;
  Window root, parent, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &n)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < n && !found; ++i) found = findByTitle(d, children[i], title);
  if (children) XFree(children);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s OUT.png [--title TITLE]\n", argv[0]);
    return 2;
  }
  std::string title;
  if (argc >= 4 && strcmp(argv[2], "--title") == 0) title = argv[3];
  gtk_init(&argc, &argv);
  GdkWindow* root = gdk_get_default_root_window();
  int x = 0, y = 0, w = gdk_window_get_width(root), h = gdk_window_get_height(root);
  if (!title.empty()) {
    Display* d = GDK_WINDOW_XDISPLAY(root);
    Window win = findByTitle(d, GDK_WINDOW_XID(root), title);
    if (!win) {
      fprintf(stderr, "velmora-screenshot: no window titled \"%s\"\n", title.c_str());
      return 1;
    }
    XWindowAttributes a;
    XGetWindowAttributes(d, win, &a);
    Window child;
    XTranslateCoordinates(d, win, GDK_WINDOW_XID(root), 0, 0, &x, &y, &child);
    w = a.width;
    h = a.height;
  }
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, x, y, w, h);
  if (!shot) {
    fprintf(stderr, "velmora-screenshot: nothing captured\n");
    return 1;
  }
  GError* error = nullptr;
  if (!gdk_pixbuf_save(shot, argv[1], "png", &error, nullptr)) {
    fprintf(stderr, "velmora-screenshot: %s\n", error->message);
    return 1;
  }
  printf("%s %dx%d+%d+%d\n", argv[1], w, h, x, y);
  return 0;
}
