#include "app/GuiLoader.h"

#include "core/Signals.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

#ifndef TARVEL_GUI_LIBRARY
#define TARVEL_GUI_LIBRARY "libtarvel-gui.so"
#endif
#ifndef TARVEL_GUI_RELDIR
#define TARVEL_GUI_RELDIR "../lib/tarvel"
#endif
#ifndef TARVEL_WINDOWS_BUILT
#define TARVEL_WINDOWS_BUILT 1
#endif

namespace tarvel {

namespace {

std::filesystem::path ProgramFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

// Runs `probe` in a child process that the alarm ends after `seconds`: a
// display on a host that does not answer must not stall a script, and a
// library that misbehaves on a bad display cannot take the program with it.
template <typename Probe>
bool ProbeInChild(Probe probe, unsigned seconds) {
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // The libraries' own complaints are not the program's: the caller says
    // what an unreachable display means.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDERR_FILENO);
    ::signal(SIGALRM, SIG_DFL);
    ::alarm(seconds);
    ::_exit(probe() ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

constexpr unsigned kProbeSeconds = 3;

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// An X server at DISPLAY that accepts a connection, through libxcb (opened
// here, so command-line runs never load it).
bool XServerReachable() {
  if (!IsSet("DISPLAY")) return false;
  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
  const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
  if (connect == nullptr || hasError == nullptr || disconnect == nullptr) {
    ::dlclose(xcb);
    return false;
  }
  return ProbeInChild(
      [&] {
        void* connection = connect(nullptr, nullptr);
        const bool ok = hasError(connection) == 0;
        disconnect(connection);
        return ok;
      },
      kProbeSeconds);
}

// A Wayland compositor at WAYLAND_DISPLAY (or its default socket) that
// accepts a connection, through libwayland-client.
bool WaylandReachable() {
  void* wayland = ::dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
  if (wayland == nullptr) return false;
  using Connect = void* (*)(const char*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(::dlsym(wayland, "wl_display_connect"));
  const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(wayland, "wl_display_disconnect"));
  if (connect == nullptr || disconnect == nullptr) {
    ::dlclose(wayland);
    return false;
  }
  return ProbeInChild(
      [&] {
        void* display = connect(nullptr);
        if (display == nullptr) return false;
        disconnect(display);
        return true;
      },
      kProbeSeconds);
}

bool ProbeDisplay() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform == nullptr || *platform == '\0') {
    return XServerReachable() || (IsSet("WAYLAND_DISPLAY") && WaylandReachable());
  }
  // The toolkit tries each platform of the list in turn: "xcb;offscreen".
  std::string_view rest = platform;
  while (!rest.empty()) {
    const auto end = rest.find(';');
    const std::string_view item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const std::string_view name = item.substr(0, item.find(':'));  // "xcb:option=value"
    if (name.empty()) continue;
    if (name == "xcb") {
      if (XServerReachable()) return true;
    } else if (name.substr(0, 7) == "wayland") {
      if (WaylandReachable()) return true;
    } else {
      return true;  // offscreen, vnc, eglfs...: no display server to reach
    }
  }
  return false;
}

}  // namespace

GuiEntry::GuiEntry(const tarvel_gui_table* table) : table_(table) {
  host_.version = kGuiInterfaceVersion;
  host_.stop_fd = StopSignalFd();
}

int GuiEntry::Run(int argc, char** argv) const { return table_->run(argc, argv, &host_); }

void GuiEntry::MessageBox(AlertIcon icon, const std::string& title, const std::string& text) const {
  table_->message_box(&host_, icon == AlertIcon::Warning ? 1 : 2, title.c_str(), text.c_str());
}

bool WindowsBuiltIn() { return TARVEL_WINDOWS_BUILT != 0; }

const GuiEntry* LoadGui(std::string& error) {
  if (!WindowsBuiltIn()) {
    error = "this build has no windows";
    return nullptr;
  }
  static const GuiEntry* loaded = nullptr;
  static std::string failure;
  if (loaded != nullptr) return loaded;
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
    // RTLD_LOCAL: the library carries what it needs and lends nothing out.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      reasons += std::string(reasons.empty() ? "" : "; ") + (why ? why : path.string());
      continue;
    }
    const auto entryFunction =
        reinterpret_cast<tarvel_gui_entry_function>(::dlsym(handle, "tarvel_gui_entry"));
    const tarvel_gui_table* table = entryFunction != nullptr ? entryFunction() : nullptr;
    std::string refusal;
    if (table == nullptr) {
      refusal = path.string() + " lacks the tarvel_gui_entry table";
    } else if (table->version != kGuiInterfaceVersion) {
      refusal = path.string() + " is interface version " + std::to_string(table->version) +
                ", the program needs " + std::to_string(kGuiInterfaceVersion) +
                " (install the program and its window library from one build)";
    } else if (table->run == nullptr || table->message_box == nullptr) {
      refusal = path.string() + " lacks the tarvel_gui entry points";
    }
    if (!refusal.empty()) {
      reasons += (reasons.empty() ? "" : "; ") + refusal;
      ::dlclose(handle);
      continue;
    }
    static GuiEntry entry(table);  // the library stays open for the process's life
    loaded = &entry;
    return loaded;
  }
  failure = reasons.empty()
                ? std::string("cannot find ") + TARVEL_GUI_LIBRARY + " beside the program or in " +
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

bool DisplayReachable() {
  static const bool reachable = ProbeDisplay();
  return reachable;
}

void CommandLineAlertPresenter::Present(const Alert& alert) {
  StderrAlertPresenter().Present(alert);
  // Without a display a modal box could never be closed and would hang the
  // calling script, and one that cannot be reached would end the program in
  // the toolkit: the line on standard error is all there is. So it is in a
  // build without windows.
  if (!WindowsBuiltIn() || !DisplayAvailable() || !DisplayReachable()) return;
  std::string error;
  if (const GuiEntry* gui = LoadGui(error)) {
    gui->MessageBox(alert.icon, alert.title, alert.text);
  } else {
    std::cerr << "tarvel: cannot show the message box: " << error << std::endl;
  }
}

}  // namespace tarvel
