// A window library from another build: its interface version is not the
// program's, so the program must refuse it before calling anything else.
// Built with TARVEL_FAKE_WITHOUT_ENTRY_POINTS: the program's version but no
// entry points; it says when it is unloaded, so a refusal that closes it shows.
#ifndef TARVEL_FAKE_WITHOUT_ENTRY_POINTS
extern "C" __attribute__((visibility("default"))) int tarvel_gui_interface_version() { return 99; }
extern "C" __attribute__((visibility("default"))) int tarvel_gui_run(int, char**) { return 42; }
extern "C" __attribute__((visibility("default"))) void tarvel_gui_message_box(int, const char*, const char*) {
}
#else
#include <unistd.h>

#include "app/GuiLoader.h"

extern "C" __attribute__((visibility("default"))) int tarvel_gui_interface_version() {
  return tarvel::kGuiInterfaceVersion;
}
__attribute__((destructor)) static void SayUnloaded() {
  constexpr char kText[] = "fake window library unloaded\n";
  [[maybe_unused]] const ssize_t n = ::write(2, kText, sizeof kText - 1);
}
#endif
