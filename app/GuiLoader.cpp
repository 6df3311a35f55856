#include "GuiLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#ifndef TARVEL_GUI_LIBRARY
#define TARVEL_GUI_LIBRARY "libtarvel-gui.so"
#endif
#ifndef TARVEL_GUI_RELDIR
#define TARVEL_GUI_RELDIR "../lib/tarvel"
#endif

namespace tarvel {

namespace {

std::filesystem::path ProgramFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace

const GuiEntry* LoadGui(std::string& error) {
  static GuiEntry entry;
  static bool loaded = false;
  static std::string failure;
  if (loaded) return &entry;
  if (!failure.empty()) {
    error = failure;
    return nullptr;
  }

  // Beside the program (the build tree), then the installed library folder.
  const auto folder = ProgramFolder();
  std::vector<std::filesystem::path> candidates;
  if (!folder.empty()) {
    candidates.push_back(folder / TARVEL_GUI_LIBRARY);
    candidates.push_back((folder / TARVEL_GUI_RELDIR / TARVEL_GUI_LIBRARY).lexically_normal());
  }
  std::string reasons;
  for (const auto& path : candidates) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    // RTLD_GLOBAL is not needed: the library resolves the program's own
    // symbols, and nothing else links against it.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      reasons += std::string(reasons.empty() ? "" : "; ") + (why ? why : path.string());
      continue;
    }
    entry.run = reinterpret_cast<GuiRunFunction>(::dlsym(handle, "tarvel_gui_run"));
    entry.messageBox = reinterpret_cast<GuiMessageBoxFunction>(::dlsym(handle, "tarvel_gui_message_box"));
    if (entry.run == nullptr || entry.messageBox == nullptr) {
      reasons += (reasons.empty() ? "" : "; ") + path.string() + " lacks the tarvel_gui entry points";
      continue;
    }
    loaded = true;
    return &entry;
  }
  failure = reasons.empty() ? std::string("cannot find ") + TARVEL_GUI_LIBRARY + " beside the program or in " +
                                  (folder / TARVEL_GUI_RELDIR).lexically_normal().string()
                            : reasons;
  error = failure;
  return nullptr;
}

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

void CommandLineAlertPresenter::Present(const Alert& alert) {
  StderrAlertPresenter().Present(alert);
  // Without a display a modal box could never be closed and would hang the
  // calling script: the line on standard error is all there is.
  if (!DisplayAvailable()) return;
  std::string error;
  if (const GuiEntry* gui = LoadGui(error)) {
    gui->messageBox(alert.icon == AlertIcon::Warning ? 1 : 2, alert.title.c_str(), alert.text.c_str());
  } else {
    std::cerr << "tarvel: cannot show the message box: " << error << std::endl;
  }
}

}  // namespace tarvel
