// The operating system under the program: one interface, with a POSIX
// implementation (PlatformPosix.cpp) and a Win32 one (PlatformWin32.cpp).
// Only those two files name the system's own headers or test which system
// the build is for; everything above calls these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {
// What GiveUpRoot does without a sudo user (see core/Signals.h).
enum class WithoutSudoUser { StayRoot, BecomeNobody };
}  // namespace tarvel

namespace tarvel::platform {

// ---- Errors ------------------------------------------------------------------

// A failed call's reason: the system's text, and what the caller may act on.
struct SystemError {
  std::string text;
  bool missing = false;      // no such file or folder
  bool interrupted = false;  // a stop request cut the call short
  bool noReader = false;     // a FIFO that nobody reads
  bool noWriter = false;     // a FIFO that nobody writes
};

// The text for an errno value (strerror on either system).
std::string ErrorText(int err);

// ---- Reading files -----------------------------------------------------------

enum class FileKind { Regular, Folder, Fifo, Device, Other };

// A file opened for reading. Opening never blocks on a FIFO without a
// writer; kind() tells what was opened, so callers refuse what is not a
// regular file before reading it, or read a stream as one.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // `stream`: a FIFO or device is read as the stream it is, its reads
  // waiting for data; a FIFO that no process writes (one waiting to open it
  // counts as writing) fails at once with noWriter instead of waiting for ever.
  bool Open(const std::string& path, SystemError& error, bool stream = false);
  FileKind kind() const { return kind_; }
  // Bytes read, 0 at the end, -1 on failure.
  long long Read(char* buffer, std::size_t size, SystemError& error);
  void Close();

 private:
  std::intptr_t handle_ = -1;
  FileKind kind_ = FileKind::Other;
  std::string pending_;  // read while opening, before the first Read
};

// A regular file kept open between uses, read whole and rewritten in place
// (the simulated bench's state, between commands).
class KeptFile {
 public:
  KeptFile() = default;
  ~KeptFile() { Close(); }
  KeptFile(const KeptFile&) = delete;
  KeptFile& operator=(const KeptFile&) = delete;

  // Opens `path` for reading and writing without waiting on a FIFO; refuses
  // anything but a regular file ("not a regular file").
  bool Open(const std::string& path, SystemError& error);
  bool IsOpen() const { return handle_ != -1; }
  // Whether the file open is still the one at `path`: not replaced by a
  // rename or removed since it was opened.
  bool IsAt(const std::string& path) const;
  // The whole file, from its start; "file too large" past `limit` bytes.
  bool ReadAll(std::string& text, std::size_t limit, SystemError& error);
  // `text` at the file's start in one write; true only when all of it went.
  bool WriteAtStart(const std::string& text);
  void Close();

 private:
  std::intptr_t handle_ = -1;
  std::uint64_t volume_ = 0, index_ = 0;  // the file's identity (device and inode)
};

// What is at `path` without following a final link: false when nothing is.
bool KindOf(const std::string& path, FileKind& kind);

// Removes a file (never a folder). True when it is gone or was never there.
bool RemoveFile(const std::string& path, SystemError& error);

// ---- Replacing files ---------------------------------------------------------

// A new file beside its target that replaces the target in one step: a
// reader sees the old file or the whole new one, never a part.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ~ReplacementFile() { Abort(); }
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file (never following a planted link) beside
  // `target`, named `tempPrefix` + six random characters, with the target's
  // permissions when the system has them.
  bool Begin(const std::string& target, const std::string& tempPrefix, SystemError& error);
  bool Write(std::string_view bytes, SystemError& error);
  // Closes (after flushing to the disk when `sync`) and puts the file in the
  // target's place. The temporary file is gone afterwards either way.
  bool Commit(bool sync, SystemError& error);
  void Abort();

  bool active() const { return handle_ != -1; }
  const std::string& tempPath() const { return temp_; }

 private:
  std::string target_, temp_;
  std::intptr_t handle_ = -1;
};

// Removes this user's regular files named `prefix` + six characters in
// `folder` whose last change is older than `ageSeconds`.
void RemoveStaleTempFiles(const std::string& folder, const std::string& prefix, int ageSeconds);

// A file or stream opened for appending (a FIFO or terminal the user named
// for the trace). Never blocks on a FIFO without a reader: that fails with
// noReader.
class OutputStream {
 public:
  OutputStream() = default;
  ~OutputStream() {
    SystemError ignored;
    Close(ignored);
  }
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  bool Open(const std::string& path, SystemError& error);
  bool Write(std::string_view bytes, SystemError& error);
  bool Close(SystemError& error);
  bool active() const { return handle_ != -1; }

 private:
  std::intptr_t handle_ = -1;
};

// True for a path that names a device or a kernel stream rather than a file
// (/dev/..., /proc/... on Linux; CON, NUL, \\.\... on Windows).
bool IsDevicePath(std::string_view path);

// The folder for the program's own state (the bench): $XDG_STATE_HOME/tarvel
// or ~/.local/state/tarvel, %LOCALAPPDATA%\tarvel on Windows. Empty when the
// environment names none.
std::string StateFolder();
// The folder for the SCPI instrument's saved states: the service's own state
// folder when systemd runs the program with StateDirectory= (STATE_DIRECTORY,
// the first it names; /var/lib/tarvel for the bench service), else
// StateFolder(). Empty when neither is known.
std::string InstrumentStateFolder();

// The current folder, or empty.
std::string CurrentFolder();
// The separator put between a folder and a name.
char PathSeparator();

// ---- The bench lock ----------------------------------------------------------

// An exclusive lock on a file of its own, released when this object goes.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Opens (creating it, never through a link) and locks `path`, waiting up
  // to `waitMs` (and less on a stop request). Busy when another process
  // holds it then; Failed with `error` when it cannot be opened or locked.
  enum class Outcome { Locked, Busy, Failed };
  Outcome Acquire(const std::string& path, int waitMs, std::string& error);
  // "process 1234 (tarvel)" for the holder after Busy, when the system says.
  std::string Holder() const;
  void Release();

 private:
  std::intptr_t handle_ = -1;
};

// ---- Time ----------------------------------------------------------------------

// Nanoseconds of a monotonic clock.
std::int64_t MonotonicNs();
// Asks the system to wake sleeping threads on their deadlines themselves,
// not batched later (Linux timer slack).
void PreferPreciseWakeUps();
// Sleeps until `deadline` (MonotonicNs) or a little after; may return early
// on a stop request.
void SleepUntilNs(std::int64_t deadline);

// ---- Arguments and environment -------------------------------------------------

// The program's arguments in UTF-8, the program's name first. POSIX gives
// them as they are; Windows passes argv in the ANSI code page, so there they
// come from the command line's own UTF-16 text.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// An environment variable's value in UTF-8 (from the UTF-16 environment on
// Windows), or nullptr when it is not set. The text stays valid for the
// rest of the process.
const char* EnvironmentValue(const char* name);

// ---- Stop requests and privileges ---------------------------------------------

// Ctrl+C and termination requests set a flag instead of ending the program:
// SIGINT/SIGTERM on POSIX (without SA_RESTART, and SIGXFSZ/SIGPIPE ignored),
// the console control handler on Windows.
void InstallStopHandlers();
// The signal that asked to stop (SIGINT's number for Ctrl+C on Windows), or 0.
int StopSignal();
// Read end of a pipe that gets a byte per stop request (POSIX); -1 where the
// system has none or before InstallStopHandlers.
int StopSignalFd();
// Whether stop requests are watched.
bool StopHandlersInstalled();
// Writing to a socket or pipe whose reader left fails instead of ending the
// program (SIGPIPE ignored).
void IgnoreBrokenPipes();
// Ends the process by the stop request, when there was one.
void FinishStopRequest();

// While one lives, a stop request calls `onStop` instead of setting the stop
// flag (a sweep stops after its step and ends normally). `onStop` runs in a
// signal handler or the console's thread: it may only store to an atomic.
class StopDiversion {
 public:
  explicit StopDiversion(void (*onStop)());
  ~StopDiversion();
  StopDiversion(const StopDiversion&) = delete;
  StopDiversion& operator=(const StopDiversion&) = delete;

 private:
  void* saved_ = nullptr;
};

// See core/Signals.h.
int GiveUpRoot(WithoutSudoUser orElse);
bool RunsAsRoot();
bool RunsWithBorrowedPrivileges();

// Whether standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();
// Whether a user sits at an interactive desktop that can show a box (never
// under a service or in CI: TARVEL_NO_MESSAGE_BOX or CI set).
bool InteractiveDesktop();
// Shows a modal box with OK (Windows); does nothing elsewhere.
enum class BoxIcon { Error, Warning, Information };
void ShowMessageBox(const std::string& title, const std::string& text, BoxIcon icon);

// ---- Shared libraries ------------------------------------------------------------

// Opens a library by name; nullptr with `reason`.
void* OpenLibrary(const std::string& name, std::string& reason);
void* LibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);

// ---- Sockets -----------------------------------------------------------------------

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Binds and listens (non-blocking, address reuse). kNoSocket with `error`.
Socket Listen(const std::string& host, const std::string& port, std::string& error);
// "host:port" ("[v6]:port") of a bound socket, and whether it is loopback.
std::string LocalAddress(Socket s, bool& loopback);
// "host:port" of a connected socket's peer, or "?".
std::string PeerAddress(Socket s);
// This machine's host name (as gethostname gives it), or empty.
std::string HostName();
// The network interface a connected socket's local address belongs to:
// its name ("eth0"), netmask and hardware address ("00:1a:2b:3c:4d:5e");
// each empty where the system does not tell it.
struct NetworkInterface {
  std::string name, mask, mac;
};
NetworkInterface LocalInterface(Socket s);

enum class AcceptOutcome { Accepted, Nothing, Exhausted };
// A new connection, non-blocking, with TCP_NODELAY. Nothing: the peer left
// or a network error of its own; Exhausted: out of descriptors or memory.
AcceptOutcome Accept(Socket listener, Socket& client, std::string& error);
// Bytes received; 0 when the peer closed; -1 when nothing is there yet; -2 on
// failure.
long long Receive(Socket s, char* buffer, std::size_t size);
// Bytes sent (0 when the buffer is full); -1 on failure.
long long Send(Socket s, const char* data, std::size_t size);
void CloseSocket(Socket s);

struct PollEntry {
  Socket socket = kNoSocket;  // kNoSocket: left out
  bool wantRead = false, wantWrite = false;
  bool readable = false, hangUp = false;  // what poll saw (hang-up or error)
};
enum class PollOutcome { Ready, Stopped, Failed };
// Waits for the entries, `timeoutMs` (-1: no limit) or a stop request.
// Ready may come with nothing seen (an interrupted wait).
PollOutcome Poll(std::vector<PollEntry>& entries, int timeoutMs, std::string& error);

}  // namespace tarvel::platform
