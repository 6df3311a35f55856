// A window library from another build: its interface version is not the
// program's, so the program must refuse it before calling anything else.
// Built with TARVEL_FAKE_WITHOUT_ENTRY_POINTS: the program's version but no
// entry points; it says when it is unloaded, so a refusal that closes it shows.
#include "app/GuiInterface.h"

#ifndef TARVEL_FAKE_WITHOUT_ENTRY_POINTS
namespace {
int Run(int, char**, const tarvel_gui_host*) { return 42; }
void MessageBox(const tarvel_gui_host*, int, const char*, const char*) {}
constexpr tarvel_gui_table kEntry{99, &Run, &MessageBox};
}  // namespace
#else
#include <unistd.h>

namespace {
constexpr tarvel_gui_table kEntry{TARVEL_GUI_INTERFACE_VERSION, nullptr, nullptr};
__attribute__((destructor)) void SayUnloaded() {
  constexpr char kText[] = "fake window library unloaded\n";
  [[maybe_unused]] const ssize_t n = ::write(2, kText, sizeof kText - 1);
}
}  // namespace
#endif

extern "C" __attribute__((visibility("default"))) const tarvel_gui_table* tarvel_gui_entry() {
  return &kEntry;
}
