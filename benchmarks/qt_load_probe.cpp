// Loads the GUI toolkit's widget library and nothing else: the start-up cost
// that command-line mode avoids by never loading it.
#include <dlfcn.h>

#include <cstdio>

int main() {
  void* handle = ::dlopen("libQt6Widgets.so.6", RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "qt_load_probe: %s\n", ::dlerror());
    return 1;
  }
  return 0;
}
