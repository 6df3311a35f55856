#include "app/Serve.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "app/Announce.h"
#include "app/CommandLine.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "core/platform/Platform.h"
#include "device/ControlPPORT.h"
#include "device/DeviceLink.h"
#include "instrument/Calibration.h"
#include "instrument/Scpi.h"
#include "ports/FtdiChoice.h"
#include "ports/PortSelect.h"
#include "web/WebServer.h"

namespace tarvel {

namespace {

constexpr std::size_t kReadChunk = 4096;
// A client that does not read its answers is not read from either beyond this.
constexpr std::size_t kMaxPendingOutput = std::size_t{64} * 1024;
// Nor one whose lines wait for the port beyond this.
constexpr std::size_t kMaxWaitingInput = std::size_t{64} * 1024;
// How often a command waiting for a port that another process holds (the
// simulated bench's lock) tries again; the backend says when to give up.
constexpr auto kPortRetry = std::chrono::milliseconds(10);
// How long the listener rests after an accept failed for want of descriptors
// or memory: the pending connection keeps it readable, so polling it at once
// would only fail again.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);
// With every slot taken, a new client takes the slot of the one idle the
// longest, if that one has been idle this long.
constexpr auto kEvictIdleAfter = std::chrono::seconds(3);
// The largest --idle-timeout: its milliseconds still fit poll's timeout.
constexpr long kMaxIdleTimeoutSeconds = 2'000'000;

using Clock = std::chrono::steady_clock;

void PrintServeUsage() {
  std::fputs(
      "usage: tarvel --serve [--listen HOST:PORT] [--port-choice LPT1|LPT2|PRN] [--idle-timeout SECONDS]"
      " [--name NAME] [--serial TEXT] [--http HOST:PORT] [--cal FILE]\n",
      stderr);
}

// One complete line a client sent, waiting its turn.
struct Line {
  std::string text;
  bool tooLong = false;    // discarded: it only queues error -223
  bool readsOnly = false;  // runs at once, even while commands wait for the port
};

struct Client {
  platform::Socket fd = platform::kNoSocket;  // none once gone: its waiting lines still run, answers dropped
  std::uint64_t id = 0;
  std::string peer;  // "127.0.0.1:40312", for messages
  std::string in, out;
  std::deque<Line> lines;
  std::size_t lineBytes = 0;
  bool discarding = false;        // inside a line that was too long
  Clock::time_point lastHeard{};  // the last byte received or line run, or the connection
  bool Idle() const { return fd != platform::kNoSocket && lines.empty(); }
};

// Whole seconds in `text`, 0..kMaxIdleTimeoutSeconds; nothing for anything else.
std::optional<std::chrono::seconds> ParseSeconds(std::string_view text) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  const long value = std::stol(std::string(text));
  if (value > kMaxIdleTimeoutSeconds) return std::nullopt;
  return std::chrono::seconds(value);
}

// Milliseconds from `now` until `due`, rounded up, for poll's timeout.
int MillisecondsUntil(Clock::time_point due, Clock::time_point now) {
  if (due <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

// The port number at the end of a "HOST:PORT" or "[HOST]:PORT" text.
std::uint16_t PortOf(const std::string& where) {
  const std::size_t colon = where.rfind(':');
  if (colon == std::string::npos) return 0;
  const unsigned long port = std::strtoul(where.c_str() + colon + 1, nullptr, 10);
  return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

// The host of a "HOST:PORT" or "[HOST]:PORT" text.
std::string HostOf(const std::string& where) {
  std::string host = where.substr(0, where.rfind(':'));
  if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

// Binds and listens; kNoSocket with a message on standard error when it cannot.
platform::Socket OpenListener(const ListenAddress& address) {
  std::string error;
  const platform::Socket fd = platform::Listen(address.host, address.port, error);
  if (fd == platform::kNoSocket) {
    std::fprintf(stderr, "tarvel: cannot listen on %s:%s: %s\n", address.host.c_str(), address.port.c_str(),
                 error.c_str());
  }
  return fd;
}

class Server {
 public:
  // `idleTimeout`: a client that sends nothing for this long is closed; 0
  // for never.
  Server(platform::Socket listener, std::unique_ptr<DeviceLink> link, std::chrono::seconds idleTimeout)
      : listener_(listener), idleTimeout_(idleTimeout), instrument_(std::move(link)) {}
  ~Server() {
    for (Client& c : clients_) platform::CloseSocket(c.fd);
    platform::CloseSocket(listener_);
  }
  void Run();
  DeviceLink& link() { return instrument_.link(); }
  void SetSerial(std::string serial) { instrument_.SetSerial(std::move(serial)); }
  ScpiInstrument& instrument() { return instrument_; }
  // The web page's part of the loop (--http).
  void Attach(WebServer& web) { web_ = &web; }

 private:
  void Accept();
  int PollTimeoutMs(Clock::time_point now) const;
  // Makes room for a new client: closes the one idle the longest, if it has
  // been idle kEvictIdleAfter; false when every client is busier.
  bool EvictLongestIdle(Clock::time_point now, const std::string& newcomer);
  void CloseIdleClients(Clock::time_point now);
  // Says why on standard error and, as far as it still reads, to the client.
  void Close(Client& c, const std::string& why);
  // Reads what arrived; false when the client is gone.
  bool Receive(Client& c);
  void TakeLines(Client& c);
  bool Flush(Client& c);
  void Leave(Client& c);
  std::size_t Connected() const;
  Client* Find(std::uint64_t id);
  // Runs what may run now: each client's lines in order, the lines that only
  // read at once, the others one at a time in arrival order while the port
  // can be had (when it is busy, they are tried again kPortRetry later).
  void RunLines(Clock::time_point now);
  void RunReadsOnly(Clock::time_point now);
  bool ReservePort();
  void RunLine(Client& c, Clock::time_point now);

  platform::Socket listener_;
  std::chrono::seconds idleTimeout_;
  std::vector<Client> clients_;
  std::uint64_t nextId_ = 1;
  std::deque<std::uint64_t> portQueue_;  // a client per line needing the port, in arrival order
  Clock::time_point portRetryAt_{};
  ScpiInstrument instrument_;
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  bool acceptFailing_ = false;  // said so on standard error already
  WebServer* web_ = nullptr;
};

// The wait ends when accepting may start again or the next idle client is due.
int Server::PollTimeoutMs(Clock::time_point now) const {
  int timeoutMs = -1;
  auto sooner = [&timeoutMs, now](Clock::time_point due) {
    const int ms = MillisecondsUntil(due, now);
    if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
  };
  if (now < acceptPausedUntil_) sooner(acceptPausedUntil_);
  if (idleTimeout_.count() > 0) {
    for (const Client& c : clients_) {
      if (c.Idle()) sooner(c.lastHeard + idleTimeout_);
    }
  }
  if (!portQueue_.empty()) sooner(portRetryAt_);
  const int webMs = web_ != nullptr ? web_->PollTimeoutMs(now) : -1;
  if (webMs >= 0) sooner(now + std::chrono::milliseconds(webMs));
  return timeoutMs;
}

void Server::Run() {
  std::vector<platform::PollEntry> fds;
  for (;;) {
    const auto now = Clock::now();
    CloseIdleClients(now);
    const int timeoutMs = PollTimeoutMs(now);
    fds.clear();
    // While accepting rests, the listener is left out; so is a client that
    // left with lines still to run.
    fds.push_back({now < acceptPausedUntil_ ? platform::kNoSocket : listener_, true, false});
    for (const Client& c : clients_) {
      fds.push_back(
          {c.fd, c.out.size() < kMaxPendingOutput && c.lineBytes < kMaxWaitingInput, !c.out.empty()});
    }
    const std::size_t webFirst = fds.size();
    if (web_ != nullptr) web_->AddPollEntries(fds, now);
    std::string error;
    const platform::PollOutcome outcome = platform::Poll(fds, timeoutMs, error);
    if (outcome == platform::PollOutcome::Failed) {
      std::fprintf(stderr, "tarvel: poll: %s\n", error.c_str());
      return;
    }
    if (outcome == platform::PollOutcome::Stopped) return;  // SIGINT or SIGTERM
    // Clients in the order they connected; each one's complete lines in order.
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Client& c = clients_[i];
      const platform::PollEntry& ev = fds[i + 1];
      if ((ev.readable || ev.hangUp) && !Receive(c)) Leave(c);
    }
    RunLines(Clock::now());
    if (web_ != nullptr) web_->Serve(fds, webFirst, Clock::now());
    for (Client& c : clients_) {
      if (c.fd != platform::kNoSocket && !c.out.empty() && !Flush(c)) Leave(c);
    }
    std::erase_if(clients_, [](const Client& c) { return c.fd == platform::kNoSocket && c.lines.empty(); });
    if (fds[0].readable) Accept();
  }
}

void Server::Leave(Client& c) {
  platform::CloseSocket(c.fd);
  c.fd = platform::kNoSocket;
  c.out.clear();
}

std::size_t Server::Connected() const {
  return static_cast<std::size_t>(std::count_if(clients_.begin(), clients_.end(),
                                                [](const Client& c) { return c.fd != platform::kNoSocket; }));
}

Client* Server::Find(std::uint64_t id) {
  for (Client& c : clients_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

void Server::RunLines(Clock::time_point now) {
  bool reserved = false;
  for (;;) {
    RunReadsOnly(now);
    if (portQueue_.empty()) break;
    Client* c = Find(portQueue_.front());
    if (c == nullptr || c->lines.empty()) {  // cannot happen: each queued line is its client's
      portQueue_.pop_front();
      continue;
    }
    if (!reserved && !(reserved = ReservePort())) {
      portRetryAt_ = now + kPortRetry;
      instrument_.SetWaitingForPort(true);  // STATus:OPERation says so meanwhile
      return;
    }
    instrument_.SetWaitingForPort(false);
    portQueue_.pop_front();
    RunLine(*c, now);
  }
  if (reserved && link().backend() != nullptr) link().backend()->Unreserve();
}

void Server::RunReadsOnly(Clock::time_point now) {
  for (Client& c : clients_) {
    while (!c.lines.empty() && (c.lines.front().readsOnly || c.lines.front().tooLong)) RunLine(c, now);
  }
}

// The port for the commands that follow; false while another process holds
// it and the wait is not over. A port that cannot be had counts as reserved:
// the commands then fail at once with its error.
bool Server::ReservePort() {
  PortBackend* backend = link().backend();
  PortError error;
  return backend == nullptr || backend->Reserve(error) || !error.busy;
}

void Server::RunLine(Client& c, Clock::time_point now) {
  const Line line = std::move(c.lines.front());
  c.lines.pop_front();
  c.lineBytes -= line.text.size();
  c.lastHeard = now;  // a client waiting for its commands is not idle
  if (line.tooLong) {
    instrument_.PushError(-223, "Too much data");
    return;
  }
  std::string answer = instrument_.Execute(line.text);
  if (c.fd != platform::kNoSocket) c.out += answer;
}

void Server::CloseIdleClients(Clock::time_point now) {
  if (idleTimeout_.count() == 0) return;
  std::erase_if(clients_, [this, now](Client& c) {
    if (!c.Idle() || now - c.lastHeard < idleTimeout_) return false;
    Close(c, "nothing received for " + std::to_string(idleTimeout_.count()) + " s (--idle-timeout)");
    return true;
  });
}

bool Server::EvictLongestIdle(Clock::time_point now, const std::string& newcomer) {
  auto longest = clients_.end();
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (it->Idle() && (longest == clients_.end() || it->lastHeard < longest->lastHeard)) longest = it;
  }
  if (longest == clients_.end() || now - longest->lastHeard < kEvictIdleAfter) return false;
  const auto idle = std::chrono::duration_cast<std::chrono::seconds>(now - longest->lastHeard);
  Close(*longest, "idle for " + std::to_string(idle.count()) + " s while all " +
                      std::to_string(kMaxScpiClients) + " connections were taken; " + newcomer +
                      " has the slot now");
  clients_.erase(longest);
  return true;
}

void Server::Close(Client& c, const std::string& why) {
  std::fprintf(stderr, "tarvel: closed %s: %s\n", c.peer.c_str(), why.c_str());
  c.out += "tarvel: closing this connection: " + why + "\n";
  Flush(c);
  platform::CloseSocket(c.fd);
}

void Server::Accept() {
  platform::Socket fd = platform::kNoSocket;
  std::string err;
  const platform::AcceptOutcome outcome = platform::Accept(listener_, fd, err);
  if (outcome != platform::AcceptOutcome::Accepted) {
    // No connection after all: the peer left, or accept passed on a network
    // error of that connection's own. Nothing to wait for.
    if (outcome == platform::AcceptOutcome::Nothing) return;
    // Out of descriptors or memory: rest, then try again; the clients that
    // are connected go on being served meanwhile.
    acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
    if (!acceptFailing_) {
      std::fprintf(stderr, "tarvel: cannot take new connections: %s; trying again every %lld ms\n",
                   err.c_str(), static_cast<long long>(kAcceptPause.count()));
      acceptFailing_ = true;
    }
    return;
  }
  acceptFailing_ = false;
  const std::string where = platform::PeerAddress(fd);
  const auto now = Clock::now();
  if (Connected() >= kMaxScpiClients && !EvictLongestIdle(now, where)) {
    std::fprintf(stderr, "tarvel: refused %s: %d clients are connected already, none idle for %lld s\n",
                 where.c_str(), kMaxScpiClients, static_cast<long long>(kEvictIdleAfter.count()));
    platform::CloseSocket(fd);
    return;
  }
  Client c;
  c.fd = fd;
  c.id = nextId_++;
  c.peer = where;
  c.lastHeard = now;
  clients_.push_back(std::move(c));
}

bool Server::Receive(Client& c) {
  char buffer[kReadChunk];
  const long long n = platform::Receive(c.fd, buffer, sizeof buffer);
  if (n < 0) return n == -1;  // -1: nothing there yet
  if (n == 0) return false;   // a line without its end is dropped with the client
  c.lastHeard = Clock::now();
  c.in.append(buffer, static_cast<std::size_t>(n));
  TakeLines(c);
  return true;
}

void Server::TakeLines(Client& c) {
  std::size_t start = 0;
  for (std::size_t end; (end = c.in.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string_view text(c.in.data() + start, end - start);
    if (c.discarding) {
      c.discarding = false;  // the rest of a line already reported
    } else if (text.size() > kScpiMaxLineBytes + (!text.empty() && text.back() == '\r')) {
      c.lines.push_back({{}, true, false});
    } else {
      Line line{std::string(text), false, ScpiInstrument::ReadsOnly(text)};
      if (!line.readsOnly) portQueue_.push_back(c.id);
      c.lineBytes += line.text.size();
      c.lines.push_back(std::move(line));
    }
  }
  c.in.erase(0, start);
  if (c.in.size() > kScpiMaxLineBytes + 1) {
    if (!c.discarding) c.lines.push_back({{}, true, false});
    c.discarding = true;
    c.in.clear();
  }
}

bool Server::Flush(Client& c) {
  const long long n = platform::Send(c.fd, c.out.data(), c.out.size());
  if (n < 0) return false;
  c.out.erase(0, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress& address) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stol(port) > 65535)
    return false;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  address = {host, port};
  return true;
}

namespace {

struct ServeOptions {
  ListenAddress address;
  std::chrono::seconds idleTimeout = kDefaultIdleTimeout;
  std::string name;                   // the DNS-SD instance name; empty: the default
  std::string serial;                 // *IDN?'s third field; empty: the default
  std::optional<ListenAddress> http;  // --http: the web page's address
  std::string cal;                    // --cal: the calibration table's file; empty: none
};

// The longest --serial: *IDN? answers stay one short line.
constexpr std::size_t kMaxSerialBytes = 64;

// A serial number *IDN? can carry: printable ASCII without the ',' and ';'
// that separate its fields and answers.
bool IsSerialText(std::string_view text) {
  return !text.empty() && text.size() <= kMaxSerialBytes && std::all_of(text.begin(), text.end(), [](char c) {
    return c > ' ' && c < 0x7F && c != ',' && c != ';' && c != '"';
  });
}

// Without --serial: the FTDI adapter's own serial number when the server
// holds it open, else the one TARVEL_PORT names it by (ftdi:s:VID:PID:SERIAL),
// else "0".
std::string DefaultSerial(const DeviceLink& link, bool held) {
  if (const PortBackend* backend = link.backend(); held && backend != nullptr) {
    std::string own = backend->SerialNumber();
    if (IsSerialText(own)) return own;
  }
  const char* choice = platform::EnvironmentValue("TARVEL_PORT");
  std::string descriptor;
  PortError ignored;
  if (choice == nullptr || std::strncmp(choice, "ftdi", 4) != 0 ||
      !ParseFtdiChoice(choice, descriptor, ignored))
    return "0";
  const FtdiDescriptor d = SplitFtdiDescriptor(descriptor);
  return d.kind == 's' && IsSerialText(d.serial) ? d.serial : "0";
}

// The web page's HOST:PORT; an empty text (the bench service's default) for none.
bool ParseHttpAddress(const std::string& text, std::optional<ListenAddress>& http) {
  if (text.empty()) {
    http.reset();
    return true;
  }
  return ParseListenAddress(text, http.emplace());
}

// Reads the options after --serve; false after saying what is wrong.
bool ParseServeOptions(int argc, const char* const* argv, ServeOptions& options) {
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (word == "--listen" && value != nullptr) {
      if (!ParseListenAddress(value, options.address)) {
        std::fprintf(stderr,
                     "tarvel: --listen takes HOST:PORT (e.g. 127.0.0.1:5025, 0.0.0.0:5025 or [::1]:5025), "
                     "not \"%s\"\n",
                     value);
        return false;
      }
      ++i;
    } else if (word == "--idle-timeout") {
      const auto seconds = value != nullptr ? ParseSeconds(value) : std::nullopt;
      if (!seconds) {
        std::fprintf(stderr, "tarvel: --idle-timeout takes whole seconds from 0 (never) to %ld, not \"%s\"\n",
                     kMaxIdleTimeoutSeconds, value != nullptr ? value : "");
        return false;
      }
      options.idleTimeout = *seconds;
      ++i;
    } else if (word == "--http" && value != nullptr) {
      if (!ParseHttpAddress(value, options.http)) {
        std::fprintf(
            stderr,
            "tarvel: --http takes HOST:PORT, e.g. 127.0.0.1:8080 or [::1]:8080 (empty: no web page), "
            "not \"%s\"\n",
            value);
        return false;
      }
      ++i;
    } else if (word == "--port-choice" && value != nullptr) {
      const LegacyPort* c = FindLegacyPort(std::string_view(value));
      if (c == nullptr) {
        std::fprintf(stderr, "tarvel: --port-choice takes LPT1, LPT2 or PRN, not \"%s\"\n", value);
        return false;
      }
      PortAddress = c->base;
      ++i;
    } else if (word == "--name" && value != nullptr && std::strlen(value) <= kMaxInstanceNameBytes) {
      if (!IsUtf8(value)) {
        std::fprintf(stderr,
                     "tarvel: --name takes UTF-8 text (DNS-SD names are UTF-8); this one is not: is "
                     "TARVEL_NAME in another encoding?\n");
        return false;
      }
      options.name = value;
      ++i;
    } else if (word == "--cal" && value != nullptr) {  // empty (the service's default): no table
      options.cal = value;
      ++i;
    } else if (word == "--serial" && value != nullptr) {  // empty: the default
      if (*value != '\0' && !IsSerialText(value)) {
        std::fprintf(stderr,
                     "tarvel: --serial takes 1 to %zu printable ASCII characters without blanks, ',', ';' or "
                     "'\"', not \"%s\"\n",
                     kMaxSerialBytes, value);
        return false;
      }
      options.serial = value;
      ++i;
    } else {
      std::fprintf(stderr, "tarvel: --serve: cannot use \"%s\"%s\n", argv[i],
                   word == "--listen" || word == "--http"
                       ? " (expected HOST:PORT, e.g. 127.0.0.1:5025 or [::1]:5025)"
                   : word == "--name"   ? " (expected a name of at most 63 bytes)"
                   : word == "--serial" ? " (expected a serial number)"
                   : word == "--cal"    ? " (expected a calibration table's file)"
                                        : "");
      return false;
    }
  }
  return true;
}

// The server's instrument has a link of its own, on the backend TARVEL_PORT
// names.
std::unique_ptr<DeviceLink> MakeServerLink() {
  PortError error;
  auto link = std::make_unique<DeviceLink>();
  link->SetBackendFactory(&MakePortBackendFromEnvironment);
  link->SetAccessSink(ProcessLink().accessSink());
  link->SetBackend(MakePortBackendFromEnvironment(error));
  return link;
}

// A real port stays open and claimed for the server's life; a bench shared
// with other processes (the simulated one) opens per command, so its state
// file is saved after each one and they see it.
void HoldPortIfKept(DeviceLink& link, std::optional<PortSession>& held) {
  if (link.backend() != nullptr && !link.backend()->KeepOpenBetweenCommands()) return;
  try {
    held.emplace(link, PortAddress, true);
  } catch (const PortAccessError& e) {
    std::fprintf(stderr, "tarvel: warning: %s; commands that need the port will report it\n",
                 PortAlertText(e.error(), PortAddress).c_str());
  }
}

// The saved states in the instrument's state folder, and state 0 sent when
// recall at power-on is set: before any client is taken.
void UseSavedStates(ScpiInstrument& instrument) {
  const std::string path = DefaultSavedStatesPath();
  std::string error;
  if (path.empty()) {
    std::fputs(
        "tarvel: warning: neither XDG_STATE_HOME nor HOME names a folder: saved states (*SAV) last only "
        "while the server runs\n",
        stderr);
  } else if (!instrument.UseSavedStates(path, error)) {
    std::fprintf(stderr, "tarvel: warning: saved states: %s; *SAV and *RCL report it until it is fixed\n",
                 error.c_str());
  }
  const std::string recalled = instrument.RecallAtPowerOn();
  if (!recalled.empty()) std::fprintf(stderr, "tarvel: %s\n", recalled.c_str());
}

// Stop requests end the poll loop; a client gone mid-answer is no signal.
bool WatchForStopRequests() {
  if (!platform::StopHandlersInstalled()) InstallStopHandlers();
  if (!platform::StopHandlersInstalled()) {
    std::fprintf(stderr, "tarvel: cannot watch for SIGINT and SIGTERM: %s\n", std::strerror(errno));
    return false;
  }
  platform::IgnoreBrokenPipes();
  return true;
}

}  // namespace

int RunServe(int argc, const char* const* argv) {
  ServeOptions options;
  if (!ParseServeOptions(argc, argv, options)) {
    PrintServeUsage();
    return kExitUsage;
  }
  // A bad table stops the server before anything starts, with its file and line.
  std::optional<Calibration> calibration;
  if (!options.cal.empty()) {
    CalParse parsed = LoadCalibrationFile(options.cal);
    if (!parsed.table) {
      std::fprintf(stderr, "tarvel: --cal: %s\n", parsed.error.c_str());
      return kExitUsage;
    }
    calibration.emplace(std::move(*parsed.table));
  }
  const char* portChoice = platform::EnvironmentValue("TARVEL_PORT");
  const bool direct = portChoice != nullptr && std::strcmp(portChoice, "direct") == 0;
  if (platform::RunsAsRoot() && !direct) {
    std::fputs(
        "tarvel: refusing to serve as root: run --serve as an ordinary user "
        "(only TARVEL_PORT=direct needs root, and gives it up once the port is open)\n",
        stderr);
    return kExitNoPermission;
  }

  const platform::Socket listener = OpenListener(options.address);
  if (listener == platform::kNoSocket) return kExitUnavailable;
  bool loopback = false;
  const std::string where = platform::LocalAddress(listener, loopback);
  const platform::Socket webListener = options.http ? OpenListener(*options.http) : platform::kNoSocket;
  if (options.http && webListener == platform::kNoSocket) {
    platform::CloseSocket(listener);
    return kExitUnavailable;
  }
  Server server(listener, MakeServerLink(), options.idleTimeout);
  server.instrument().SetCalibration(std::move(calibration));
  std::optional<PortSession> held;
  HoldPortIfKept(server.link(), held);
  const std::string serial =
      options.serial.empty() ? DefaultSerial(server.link(), held.has_value()) : options.serial;
  server.SetSerial(serial);
  if (platform::RunsAsRoot() && GiveUpRoot(WithoutSudoUser::BecomeNobody) < 0) {
    std::fprintf(stderr, "tarvel: cannot give up root: %s\n", std::strerror(errno));
    return kExitNoPermission;
  }
  if (!WatchForStopRequests()) return kExitUnavailable;
  UseSavedStates(server.instrument());

  std::unique_ptr<Announcement> announced;  // withdrawn when the server ends
  if (!loopback) {
    std::fprintf(stderr,
                 "tarvel: warning: SCPI has no authentication: anyone who can reach %s can drive the chips\n",
                 where.c_str());
    announced = AnnounceScpiServer({options.name.empty() ? DefaultInstanceName() : options.name,
                                    PortOf(where), ScpiIdentity(serial), HostOf(where)});
  }
  std::printf("listening on %s\n", where.c_str());
  std::optional<WebServer> web;
  if (webListener != platform::kNoSocket) {
    bool webLoopback = false;
    const std::string webWhere = platform::LocalAddress(webListener, webLoopback);
    web.emplace(webListener, server.instrument(), where);
    server.Attach(*web);
    if (!webLoopback)
      std::fprintf(
          stderr, "tarvel: warning: the web page has no login: anyone who can reach %s can drive the chips\n",
          webWhere.c_str());
    std::printf("web page on http://%s/\n", webWhere.c_str());
  }
  std::fflush(stdout);

  server.Run();

  if (held) {
    try {
      held->Finish();
    } catch (const PortAccessError& e) {
      std::fprintf(stderr, "tarvel: %s\n", PortAlertText(e.error(), PortAddress).c_str());
    }
  }
  return kExitDone;
}

}  // namespace tarvel
