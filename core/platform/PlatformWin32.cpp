// The platform on Windows (built with mingw-w64). Paths are UTF-8 inside
// the program and UTF-16 at the system's calls.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <shellapi.h>  // after windows.h, whose types it uses

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>

#include "core/platform/Platform.h"
#include "core/platform/WindowsText.h"

namespace tarvel::platform {

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

namespace {

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t I(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

// The system's text for a Win32 error code, without the trailing line end.
std::string WinErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : Narrow(text);
}

bool Fail(SystemError& error, DWORD code) {
  error.text = WinErrorText(code);
  error.missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  error.interrupted = code == ERROR_OPERATION_ABORTED;
  error.noReader = code == ERROR_PIPE_NOT_CONNECTED || code == ERROR_NO_DATA;
  return false;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileKind KindOfHandle(HANDLE h) {
  switch (::GetFileType(h)) {
    case FILE_TYPE_PIPE: return FileKind::Fifo;
    case FILE_TYPE_CHAR: return FileKind::Device;
    case FILE_TYPE_DISK: break;
    default: return FileKind::Other;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return FileKind::Folder;
  return FileKind::Regular;
}

// Six characters of a random-enough name: the clock, the process and a count.
std::string RandomSuffix() {
  static std::atomic<unsigned> counter{0};
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  unsigned long long x = static_cast<unsigned long long>(now.QuadPart) ^
                         (static_cast<unsigned long long>(::GetCurrentProcessId()) << 20) ^
                         (static_cast<unsigned long long>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ULL);
  std::string out;
  for (int i = 0; i < 6; ++i) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    out += kChars[x % 62];
  }
  return out;
}

}  // namespace

std::string ErrorText(int err) { return std::strerror(err); }

// ---- Reading files -----------------------------------------------------------

bool InputFile::Open(const std::string& path, SystemError& error, bool stream) {
  Close();
  // Backup semantics open a folder too, so that it is recognised and refused.
  HANDLE h =
      ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(error, ::GetLastError());
  kind_ = KindOfHandle(h);
  (void)stream;  // a named pipe opens only when its server is there: never a wait
  handle_ = I(h);
  return true;
}

long long InputFile::Read(char* buffer, std::size_t size, SystemError& error) {
  if (handle_ == -1) return Fail(error, ERROR_INVALID_HANDLE), -1;
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!::ReadFile(H(handle_), buffer, want, &n, nullptr)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
    return Fail(error, code), -1;
  }
  return n;
}

void InputFile::Close() {
  if (handle_ != -1) ::CloseHandle(H(handle_));
  handle_ = -1;
}

namespace {

bool IdentityOf(HANDLE h, std::uint64_t& volume, std::uint64_t& index) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return false;
  volume = info.dwVolumeSerialNumber;
  index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

bool KeptFile::Open(const std::string& path, SystemError& error) {
  Close();
  // Others may read, replace and remove the file while it is kept open.
  HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(error, ::GetLastError());
  if (KindOfHandle(h) != FileKind::Regular || !IdentityOf(h, volume_, index_)) {
    ::CloseHandle(h);
    error.text = "not a regular file";
    return false;
  }
  handle_ = I(h);
  return true;
}

bool KeptFile::IsAt(const std::string& path) const {
  if (handle_ == -1) return false;
  HANDLE h = ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::uint64_t volume = 0, index = 0;
  const bool same = IdentityOf(h, volume, index) && volume == volume_ && index == index_;
  ::CloseHandle(h);
  return same;
}

bool KeptFile::ReadAll(std::string& text, std::size_t limit, SystemError& error) {
  if (handle_ == -1) return Fail(error, ERROR_INVALID_HANDLE);
  char buffer[4096];
  text.clear();
  for (;;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(text.size());
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(text.size()) >> 32);
    DWORD n = 0;
    if (!::ReadFile(H(handle_), buffer, sizeof buffer, &n, &at)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) return true;
      return Fail(error, code);
    }
    if (n == 0) return true;
    text.append(buffer, n);
    if (text.size() > limit) {
      error.text = "file too large";
      return false;
    }
  }
}

bool KeptFile::WriteAtStart(const std::string& text) {
  if (handle_ == -1 || text.size() > 0x7fffffff) return false;
  OVERLAPPED at{};
  DWORD n = 0;
  return ::WriteFile(H(handle_), text.data(), static_cast<DWORD>(text.size()), &n, &at) && n == text.size();
}

void KeptFile::Close() {
  if (handle_ != -1) ::CloseHandle(H(handle_));
  handle_ = -1;
}

bool KindOf(const std::string& path, FileKind& kind) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Folder
         : (attributes & FILE_ATTRIBUTE_DEVICE) != 0  ? FileKind::Device
                                                      : FileKind::Regular;
  return true;
}

bool RemoveFile(const std::string& path, SystemError& error) {
  if (::DeleteFileW(Wide(path).c_str())) return true;
  const DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  return Fail(error, code);
}

// ---- Replacing files ---------------------------------------------------------

bool ReplacementFile::Begin(const std::string& target, const std::string& tempPrefix, SystemError& error) {
  Abort();
  target_ = target;
  const std::string name = NameOf(target);
  if (name.empty() || name == "." || name == "..") {
    error.text = ErrorText(EISDIR);
    return false;
  }
  const std::string folder = FolderOf(target);
  const std::string prefix = tempPrefix.empty() ? "." + name + "." : tempPrefix;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = folder;
    if (!IsSeparator(path.back())) path += '\\';
    path += prefix + RandomSuffix();
    // CREATE_NEW fails on anything already there, a planted link included.
    HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = I(h);
      temp_ = path;
      return true;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return Fail(error, code);
  }
  return Fail(error, ERROR_FILE_EXISTS);
}

bool ReplacementFile::Write(std::string_view bytes, SystemError& error) {
  if (handle_ == -1) return Fail(error, ERROR_INVALID_HANDLE);
  while (!bytes.empty()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(H(handle_), bytes.data(), want, &n, nullptr)) return Fail(error, ::GetLastError());
    if (n == 0) return Fail(error, ERROR_WRITE_FAULT);
    bytes.remove_prefix(n);
  }
  return true;
}

bool ReplacementFile::Commit(bool sync, SystemError& error) {
  if (handle_ == -1) return Fail(error, ERROR_INVALID_HANDLE);
  bool ok = true;
  if (sync && !::FlushFileBuffers(H(handle_))) ok = Fail(error, ::GetLastError());
  ::CloseHandle(H(handle_));
  handle_ = -1;
  const std::wstring temp = Wide(temp_), target = Wide(target_);
  if (ok) {
    // ReplaceFileW keeps the target's attributes and security; it needs a
    // target, so a new file is moved into place instead.
    const bool replaced = ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES &&
                          ::ReplaceFileW(target.c_str(), temp.c_str(), nullptr,
                                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    if (!replaced &&
        !::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ok = Fail(error, ::GetLastError());
    }
  }
  if (!ok) ::DeleteFileW(temp.c_str());
  temp_.clear();
  return ok;
}

void ReplacementFile::Abort() {
  if (handle_ != -1) {
    ::CloseHandle(H(handle_));
    handle_ = -1;
    ::DeleteFileW(Wide(temp_).c_str());
  }
  temp_.clear();
}

void RemoveStaleTempFiles(const std::string& folder, const std::string& prefix, int ageSeconds) {
  WIN32_FIND_DATAW found{};
  std::string pattern = folder;
  if (!IsSeparator(pattern.back())) pattern += '\\';
  const std::string base = pattern;
  pattern += prefix + "??????";
  HANDLE find = ::FindFirstFileW(Wide(pattern).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  FILETIME nowFt{};
  ::GetSystemTimeAsFileTime(&nowFt);
  const auto ticks = [](const FILETIME& ft) {
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  };
  do {
    const std::string name = Narrow(found.cFileName);
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    const unsigned long long age = ticks(nowFt) - ticks(found.ftLastWriteTime);
    if (age <= static_cast<unsigned long long>(ageSeconds) * 10'000'000ULL) continue;
    ::DeleteFileW(Wide(base + name).c_str());
  } while (::FindNextFileW(find, &found));
  ::FindClose(find);
}

bool OutputStream::Open(const std::string& path, SystemError& error) {
  HANDLE h = ::CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(error, ::GetLastError());
  handle_ = I(h);
  return true;
}

bool OutputStream::Write(std::string_view bytes, SystemError& error) {
  if (handle_ == -1) return Fail(error, ERROR_INVALID_HANDLE);
  while (!bytes.empty()) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(H(handle_), bytes.data(), want, &n, nullptr)) return Fail(error, ::GetLastError());
    if (n == 0) return Fail(error, ERROR_WRITE_FAULT);
    bytes.remove_prefix(n);
  }
  return true;
}

bool OutputStream::Close(SystemError& error) {
  if (handle_ == -1) return true;
  const bool ok = ::CloseHandle(H(handle_)) || Fail(error, ::GetLastError());
  handle_ = -1;
  return ok;
}

bool IsDevicePath(std::string_view path) {
  if (path.starts_with("\\\\.\\") || path.starts_with("//./")) return true;
  std::string upper;
  for (char c : path.substr(0, path.find('.')))
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == "CON" || upper == "NUL" || upper == "CONOUT$" || upper == "PRN" || upper == "AUX";
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int n = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(Narrow(wide[i]));
  ::LocalFree(static_cast<void*>(wide));
  return out;
}

const char* EnvironmentValue(const char* name) {
  // The system's UTF-16 block itself: the C library's copy of it is in the
  // ANSI code page.
  const std::wstring key = Wide(name);
  const DWORD size = ::GetEnvironmentVariableW(key.c_str(), nullptr, 0);
  if (size == 0) return nullptr;
  std::wstring value(size, L'\0');
  value.resize(::GetEnvironmentVariableW(key.c_str(), value.data(), size));
  // Every text handed out is kept: callers hold on to the pointer.
  static std::mutex lock;
  static std::list<std::string> kept;
  std::string text = Narrow(value);
  const std::lock_guard<std::mutex> hold(lock);
  for (const std::string& k : kept) {
    if (k == text) return k.c_str();
  }
  return kept.emplace_back(std::move(text)).c_str();
}

std::string StateFolder() {
  const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') return {};
  return Narrow(local) + "\\tarvel";
}

std::string InstrumentStateFolder() { return StateFolder(); }

std::string CurrentFolder() {
  const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return {};
  std::wstring buffer(n, L'\0');
  const DWORD got = ::GetCurrentDirectoryW(n, buffer.data());
  buffer.resize(got);
  return Narrow(buffer);
}

char PathSeparator() { return '\\'; }

// ---- The bench lock ----------------------------------------------------------

// The lock is on the file's first byte. Windows has no list of the locks
// held, so the holder writes its process ID after that byte ("\n1234\n"),
// where a process that waits for the lock can still read it.
namespace {

void RecordHolder(HANDLE h) {
  const std::string text = "\n" + std::to_string(::GetCurrentProcessId()) + "\n";
  OVERLAPPED at{};
  DWORD n = 0;
  if (!::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, &at)) return;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(text.size());
  ::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end);
}

}  // namespace

FileLock::Outcome FileLock::Acquire(const std::string& path, int waitMs, std::string& error) {
  Release();
  // FILE_FLAG_OPEN_REPARSE_POINT: a link in the lock's place is opened itself
  // and refused, never followed.
  HANDLE h =
      ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot open " + path + ": " + WinErrorText(::GetLastError());
    return Outcome::Failed;
  }
  handle_ = I(h);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      ::GetFileType(h) != FILE_TYPE_DISK) {
    error = path + " is not a regular file";
    Release();
    return Outcome::Failed;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    OVERLAPPED where{};
    if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
      RecordHolder(h);
      return Outcome::Locked;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
      error = "cannot lock " + path + ": " + WinErrorText(code);
      Release();
      return Outcome::Failed;
    }
    if (std::chrono::steady_clock::now() >= deadline || StopSignal() != 0) return Outcome::Busy;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string FileLock::Holder() const {
  if (handle_ == -1) return {};
  char text[32] = "";
  OVERLAPPED at{};
  at.Offset = 1;  // past the locked byte
  DWORD n = 0;
  if (!::ReadFile(H(handle_), text, sizeof text - 1, &n, &at)) return {};
  unsigned long pid = 0;
  DWORD i = 0;
  for (; i < n && text[i] >= '0' && text[i] <= '9' && pid < 0x10000000UL; ++i)
    pid = pid * 10 + static_cast<unsigned long>(text[i] - '0');
  if (i == 0 || i == n || text[i] != '\n' || pid == 0) return {};
  std::string name;
  if (HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (::QueryFullProcessImageNameW(process, 0, image, &size))
      name = NameOf(Narrow(std::wstring(image, size)));
    ::CloseHandle(process);
  }
  return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

void FileLock::Release() {
  if (handle_ != -1) ::CloseHandle(H(handle_));  // closing drops the lock
  handle_ = -1;
}

// ---- Time ----------------------------------------------------------------------

std::int64_t MonotonicNs() {
  static const long long frequency = [] {
    LARGE_INTEGER f{};
    ::QueryPerformanceFrequency(&f);
    return static_cast<long long>(f.QuadPart);
  }();
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const long long ticks = now.QuadPart;
  return static_cast<std::int64_t>((ticks / frequency) * 1'000'000'000LL +
                                   (ticks % frequency) * 1'000'000'000LL / frequency);
}

void PreferPreciseWakeUps() {}

void SleepUntilNs(std::int64_t deadline) {
  const std::int64_t left = deadline - MonotonicNs();
  if (left <= 0) return;
  // One high-resolution timer per thread, set to the time left (relative,
  // in 100 ns units): the clock behind it is the same monotonic one.
  thread_local HANDLE timer = [] {
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
    HANDLE t =
        ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (t == nullptr)
      t = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);  // before Windows 10 1803
    return t;
  }();
  if (timer == nullptr) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(left));
    return;
  }
  LARGE_INTEGER due{};
  due.QuadPart = -std::max<std::int64_t>(1, left / 100);
  if (!::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(left));
    return;
  }
  ::WaitForSingleObject(timer, INFINITE);
}

// ---- Stop requests and privileges ---------------------------------------------

namespace {

std::atomic<int> stopSignal{0};
std::atomic<void (*)()> divertedTo{nullptr};
bool installed = false;

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
  }
  if (void (*divert)() = divertedTo.load()) {
    divert();
    return TRUE;
  }
  int expected = 0;
  stopSignal.compare_exchange_strong(expected, event == CTRL_C_EVENT ? SIGINT : SIGTERM);
  // The close and shutdown events end the process once the handler returns:
  // give the command a moment to finish its sequence and release the port.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(2000);
  return TRUE;
}

}  // namespace

void InstallStopHandlers() {
  if (!installed) installed = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

int StopSignal() { return stopSignal.load(); }
int StopSignalFd() { return -1; }
bool StopHandlersInstalled() { return installed; }
void IgnoreBrokenPipes() {}

void FinishStopRequest() {
  const int sig = stopSignal.load();
  if (sig == 0) return;
  std::fflush(nullptr);
  // As a console program ended by Ctrl+C: STATUS_CONTROL_C_EXIT.
  ::ExitProcess(sig == SIGINT ? 0xC000013AU : 128U + static_cast<unsigned>(sig));
}

StopDiversion::StopDiversion(void (*onStop)()) {
  saved_ = reinterpret_cast<void*>(divertedTo.exchange(onStop));
}
StopDiversion::~StopDiversion() { divertedTo.store(reinterpret_cast<void (*)()>(saved_)); }

int GiveUpRoot(WithoutSudoUser) { return 0; }
bool RunsAsRoot() { return false; }
bool RunsWithBorrowedPrivileges() { return false; }

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

bool InteractiveDesktop() {
  const char* off = EnvironmentValue("TARVEL_NO_MESSAGE_BOX");
  if (off != nullptr && *off != '\0') return false;
  // A service or a scheduled task runs on a window station of its own that
  // nobody sees: a box there would wait for ever.
  HWINSTA station = ::GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (station == nullptr || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
      (flags.dwFlags & WSF_VISIBLE) == 0) {
    return false;
  }
  // Wine without a display gives no desktop window.
  return ::GetDesktopWindow() != nullptr;
}

void ShowMessageBox(const std::string& title, const std::string& text, BoxIcon icon) {
  const UINT style = icon == BoxIcon::Error     ? MB_ICONERROR
                     : icon == BoxIcon::Warning ? MB_ICONWARNING
                                                : MB_ICONINFORMATION;
  ::MessageBoxW(nullptr, Wide(text).c_str(), Wide(title).c_str(), MB_OK | style | MB_SETFOREGROUND);
}

// ---- Shared libraries ------------------------------------------------------------

void* OpenLibrary(const std::string& name, std::string& reason) {
  // The system's folders and the program's own, never the current folder.
  HMODULE library = ::LoadLibraryExW(Wide(name).c_str(), nullptr,
                                     LOAD_LIBRARY_SEARCH_DEFAULT_DIRS | LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
  if (library == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    library = ::LoadLibraryW(Wide(name).c_str());  // a system without the search flags
  }
  if (library == nullptr) {
    const DWORD code = ::GetLastError();
    // The system's text for this one is "%1 is not a valid Win32 application".
    reason = name + ": " +
             (code == ERROR_BAD_EXE_FORMAT
                  ? std::string(
                        "a 32-bit library (or not a Windows one): 64-bit tarvel.exe loads only 64-bit ones")
                  : WinErrorText(code));
  }
  return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) { ::FreeLibrary(reinterpret_cast<HMODULE>(library)); }

// ---- Sockets -----------------------------------------------------------------------

namespace {

SOCKET S(Socket s) { return static_cast<SOCKET>(s); }

bool StartWinsock(std::string& error) {
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) error = WinErrorText(static_cast<DWORD>(started));
  return started == 0;
}

std::string FormatAddress(const sockaddr_storage& a, int length) {
  char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  const bool v6 = a.ss_family == AF_INET6;
  std::string out;
  if (v6) out += '[';
  out += host;
  if (v6) out += ']';
  out += ':';
  out += port;
  return out;
}

bool IsLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, static_cast<long>(FIONBIO), &on) == 0;
}

}  // namespace

Socket Listen(const std::string& host, const std::string& port, std::string& error) {
  if (!StartWinsock(error)) return kNoSocket;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error = WinErrorText(static_cast<DWORD>(rc));
    return kNoSocket;
  }
  SOCKET s = INVALID_SOCKET;
  int err = 0;
  for (addrinfo* ai = found; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next) {
    s = ::WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      err = ::WSAGetLastError();
      continue;
    }
    // Windows lets SO_REUSEADDR steal a port in use: take it exclusively.
    const BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (::bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 || ::listen(s, 16) != 0 ||
        !SetNonBlocking(s)) {
      err = ::WSAGetLastError();
      ::closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  ::freeaddrinfo(found);
  if (s == INVALID_SOCKET) {
    error = WinErrorText(static_cast<DWORD>(err));
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

std::string PeerAddress(Socket s) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  if (::getpeername(S(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "?";
  return FormatAddress(peer, length);
}

std::string HostName() {
  char host[256] = "";
  DWORD size = sizeof host;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, host, &size)) return {};
  return std::string(host, size);
}

// GetAdaptersAddresses would tell it, at the price of iphlpapi; the LXI
// identification then leaves the interface's details empty.
NetworkInterface LocalInterface(Socket) { return {}; }

std::string LocalAddress(Socket s, bool& loopback) {
  sockaddr_storage bound{};
  int length = sizeof bound;
  ::getsockname(S(s), reinterpret_cast<sockaddr*>(&bound), &length);
  loopback = IsLoopback(bound);
  return FormatAddress(bound, length);
}

AcceptOutcome Accept(Socket listener, Socket& client, std::string& error) {
  const SOCKET s = ::accept(S(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    const int err = ::WSAGetLastError();
    if (err == WSAEMFILE || err == WSAENOBUFS) {
      error = WinErrorText(static_cast<DWORD>(err));
      return AcceptOutcome::Exhausted;
    }
    return AcceptOutcome::Nothing;
  }
  SetNonBlocking(s);
  const BOOL one = TRUE;  // answers are short: send them at once
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  client = static_cast<Socket>(s);
  return AcceptOutcome::Accepted;
}

long long Receive(Socket s, char* buffer, std::size_t size) {
  const int n = ::recv(S(s), buffer, static_cast<int>(std::min<std::size_t>(size, 1u << 30)), 0);
  if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
  return n;
}

long long Send(Socket s, const char* data, std::size_t size) {
  const int n = ::send(S(s), data, static_cast<int>(std::min<std::size_t>(size, 1u << 30)), 0);
  if (n == SOCKET_ERROR) return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  return n;
}

void CloseSocket(Socket s) {
  if (s != kNoSocket) ::closesocket(S(s));
}

PollOutcome Poll(std::vector<PollEntry>& entries, int timeoutMs, std::string& error) {
  // WSAPoll cannot wait on the stop flag: wait in slices and look at it
  // between them.
  constexpr int kSliceMs = 100;
  std::vector<WSAPOLLFD> fds;
  std::vector<std::size_t> index;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PollEntry& e = entries[i];
    e.readable = e.hangUp = false;
    if (e.socket == kNoSocket) continue;
    WSAPOLLFD fd{};
    fd.fd = S(e.socket);
    fd.events = static_cast<SHORT>((e.wantRead ? POLLRDNORM : 0) | (e.wantWrite ? POLLWRNORM : 0));
    fds.push_back(fd);
    index.push_back(i);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (StopSignal() != 0) return PollOutcome::Stopped;
    int wait = kSliceMs;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return PollOutcome::Ready;
      wait = static_cast<int>(std::min<long long>(left, kSliceMs));
    }
    int n = 0;
    if (fds.empty()) {
      ::Sleep(static_cast<DWORD>(wait));
    } else {
      n = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), wait);
    }
    if (n == SOCKET_ERROR) {
      error = WinErrorText(static_cast<DWORD>(::WSAGetLastError()));
      return PollOutcome::Failed;
    }
    if (n > 0) {
      for (std::size_t k = 0; k < fds.size(); ++k) {
        entries[index[k]].readable = (fds[k].revents & POLLRDNORM) != 0;
        entries[index[k]].hangUp = (fds[k].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
      }
      return PollOutcome::Ready;
    }
  }
}

}  // namespace tarvel::platform
