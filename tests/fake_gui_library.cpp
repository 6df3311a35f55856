// A window library from another build: its interface version is not the
// program's, so the program must refuse it before calling anything else.
#include "app/GuiInterface.h"

namespace {
int Run(int, char**, const tarvel_gui_host*) { return 42; }
void MessageBox(const tarvel_gui_host*, int, const char*, const char*) {}
constexpr tarvel_gui_table kEntry{99, &Run, &MessageBox};
}  // namespace

extern "C" __attribute__((visibility("default"))) const tarvel_gui_table* tarvel_gui_entry() {
  return &kEntry;
}
