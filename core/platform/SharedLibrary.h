// An adapter's library opened on demand (dlopen, LoadLibraryW on Windows).
// The program is never linked against libftdi1, libgpiod or a port driver's
// library: it starts no slower for them and runs where they are not
// installed.
#pragma once

#include "core/platform/Platform.h"

#include <string>
#include <utility>

namespace tarvel {

// Opens `soname`; Bind looks its functions up by name. The first failure
// leaves its reason in `reason`. The library is closed again with this object
// unless Keep() is called once everything is bound.
class SharedLibrary {
 public:
  SharedLibrary(std::string soname, std::string& reason)
      : soname_(std::move(soname)), reason_(reason), handle_(platform::OpenLibrary(soname_, reason)) {}
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary() {
    if (handle_ != nullptr) platform::CloseLibrary(handle_);
  }

  bool opened() const { return handle_ != nullptr; }

  template <typename Fn>
  bool Bind(const char* name, Fn& fn) {
    if (handle_ == nullptr) return false;
    void* symbol = platform::LibrarySymbol(handle_, name);
    if (symbol == nullptr) {
      reason_ = soname_ + " lacks " + name;
      return false;
    }
    fn = reinterpret_cast<Fn>(symbol);
    return true;
  }

  // Leaves the library open for the rest of the process.
  void Keep() { handle_ = nullptr; }

 private:
  std::string soname_;
  std::string& reason_;
  void* handle_;
};

}  // namespace tarvel
