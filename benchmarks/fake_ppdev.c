// An LD_PRELOAD fake of one ppdev device, for the benchmarks: open() of the
// path TARVEL_FAKE_PPDEV names (one that is no device, e.g.
// /dev/parport-fake) gives a memory file, and ioctl() on it answers the
// ppdev requests. Each such ioctl still enters the kernel once (on the
// memory file, which refuses it), as the real one does, so the figures keep
// the system-call cost; what they leave out is the port's own bus time. No
// port is ever reached: without this library the path does not open at all.
// Built with _GNU_SOURCE (memfd_create, RTLD_NEXT).
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

static int fakeFd = -1;  // the program opens its port from one thread at a time

static int OpenFake(const char* path, int flags) {
  const char* fake = getenv("TARVEL_FAKE_PPDEV");
  if (fake == NULL || strcmp(path, fake) != 0) return -1;
  fakeFd = memfd_create("fake-ppdev", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
  return fakeFd;
}

static mode_t ModeOf(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  const int fd = OpenFake(path, flags);
  if (fd >= 0) return fd;
  int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  const int fd = OpenFake(path, flags);
  if (fd >= 0) return fd;
  int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
  return real(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  static int (*real)(int, unsigned long, ...);
  if (real == NULL) real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  if (fd < 0 || fd != fakeFd) return real(fd, request, arg);
  (void)real(fd, request, arg);  // the system call a real ppdev request makes
  if (request == PPRSTATUS) *(unsigned char*)arg = 0x78;
  return 0;
}

int close(int fd) {
  static int (*real)(int);
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
  if (fd >= 0 && fd == fakeFd) fakeFd = -1;
  return real(fd);
}
