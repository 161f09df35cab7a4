// Leak reports that are not ours: GTK, GLib, WebKit and the libraries below
// them keep process-lifetime allocations that LeakSanitizer counts as
// leaks in the sanitizer build. Included once per program that links them.
#pragma once

extern "C" __attribute__((visibility("default"), used)) inline const char* __lsan_default_suppressions() {
  return "leak:libgtk-3.so\n"
         "leak:libgdk-3.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libgobject-2.0.so\n"
         "leak:libgio-2.0.so\n"
         "leak:libgdk_pixbuf-2.0.so\n"
         "leak:libwebkit2gtk-4.1.so\n"
         "leak:libjavascriptcoregtk-4.1.so\n"
         "leak:libfontconfig.so\n"
         "leak:libpango\n"
         "leak:libcairo\n"
         "leak:libharfbuzz\n"
         "leak:libatk\n"
         "leak:libatspi\n"
         "leak:libdbus\n"
         "leak:libX11.so\n"
         "leak:libEGL\n"
         "leak:libGLX\n"
         "leak:libepoxy\n"
         "leak:libsoup-3.0.so\n";
}
