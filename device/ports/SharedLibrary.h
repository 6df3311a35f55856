// An adapter's library opened on demand with dlopen. The program is never
// linked against libftdi1 or libgpiod: it starts no slower for them and runs
// where they are not installed.
#pragma once

#include <dlfcn.h>

#include <string>
#include <utility>

namespace tarvel {

// Opens `soname`; Bind looks its functions up by name. The first failure
// leaves its reason in `reason`. The library is closed again with this object
// unless Keep() is called once everything is bound.
class SharedLibrary {
 public:
  SharedLibrary(std::string soname, std::string& reason)
      : soname_(std::move(soname)),
        reason_(reason),
        handle_(::dlopen(soname_.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
      const char* why = ::dlerror();
      reason_ = why != nullptr ? why : soname_ + " cannot be loaded";
    }
  }
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;
  ~SharedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }

  bool opened() const { return handle_ != nullptr; }

  template <typename Fn>
  bool Bind(const char* name, Fn& fn) {
    if (handle_ == nullptr) return false;
    void* symbol = ::dlsym(handle_, name);
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
