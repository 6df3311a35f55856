#include "app/Serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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

#include "app/CommandLine.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "device/ControlPPORT.h"
#include "device/DeviceLink.h"
#include "device/ports/PortSelect.h"
#include "instrument/Scpi.h"

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
      "usage: tarvel --serve [--listen HOST:PORT] [--port-choice LPT1|LPT2|PRN] [--idle-timeout SECONDS]\n",
      stderr);
}

// One complete line a client sent, waiting its turn.
struct Line {
  std::string text;
  bool tooLong = false;    // discarded: it only queues error -223
  bool readsOnly = false;  // runs at once, even while commands wait for the port
};

struct Client {
  int fd = -1;  // -1 once gone: its waiting lines still run, their answers dropped
  std::uint64_t id = 0;
  std::string peer;  // "127.0.0.1:40312", for messages
  std::string in, out;
  std::deque<Line> lines;
  std::size_t lineBytes = 0;
  bool discarding = false;        // inside a line that was too long
  Clock::time_point lastHeard{};  // the last byte received or line run, or the connection
  bool Idle() const { return fd >= 0 && lines.empty(); }
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

std::string FormatAddress(const sockaddr_storage& a, socklen_t length) {
  char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  return a.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

// Binds and listens; -1 with a message on standard error when it cannot.
int OpenListener(const ListenAddress& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (rc != 0) {
    std::fprintf(stderr, "tarvel: cannot listen on %s:%s: %s\n", address.host.c_str(), address.port.c_str(),
                 ::gai_strerror(rc));
    return -1;
  }
  int fd = -1;
  int err = 0;
  for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
      err = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) {
    std::fprintf(stderr, "tarvel: cannot listen on %s:%s: %s\n", address.host.c_str(), address.port.c_str(),
                 std::strerror(err));
  }
  return fd;
}

class Server {
 public:
  // `idleTimeout`: a client that sends nothing for this long is closed; 0
  // for never.
  Server(int listener, std::unique_ptr<DeviceLink> link, std::chrono::seconds idleTimeout)
      : listener_(listener), idleTimeout_(idleTimeout), instrument_(std::move(link)) {}
  ~Server() {
    for (Client& c : clients_) {
      if (c.fd >= 0) ::close(c.fd);
    }
    ::close(listener_);
  }
  void Run();
  DeviceLink& link() { return instrument_.link(); }

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

  int listener_;
  std::chrono::seconds idleTimeout_;
  std::vector<Client> clients_;
  std::uint64_t nextId_ = 1;
  std::deque<std::uint64_t> portQueue_;  // a client per line needing the port, in arrival order
  Clock::time_point portRetryAt_{};
  ScpiInstrument instrument_;
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  bool acceptFailing_ = false;  // said so on standard error already
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
  return timeoutMs;
}

void Server::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    const auto now = Clock::now();
    CloseIdleClients(now);
    const int timeoutMs = PollTimeoutMs(now);
    fds.clear();
    fds.push_back({StopSignalFd(), POLLIN, 0});
    // While accepting rests, the listener is left out (poll ignores a
    // negative descriptor).
    fds.push_back({now < acceptPausedUntil_ ? -1 : listener_, POLLIN, 0});
    for (const Client& c : clients_) {
      short events = c.out.size() < kMaxPendingOutput && c.lineBytes < kMaxWaitingInput ? POLLIN : 0;
      if (!c.out.empty()) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "tarvel: poll: %s\n", std::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) return;  // SIGINT or SIGTERM
    // Clients in the order they connected; each one's complete lines in order.
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Client& c = clients_[i];
      if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Receive(c)) Leave(c);
    }
    RunLines(Clock::now());
    for (Client& c : clients_) {
      if (c.fd >= 0 && !c.out.empty() && !Flush(c)) Leave(c);
    }
    std::erase_if(clients_, [](const Client& c) { return c.fd < 0 && c.lines.empty(); });
    if ((fds[1].revents & POLLIN) != 0) Accept();
  }
}

void Server::Leave(Client& c) {
  ::close(c.fd);
  c.fd = -1;
  c.out.clear();
}

std::size_t Server::Connected() const {
  return static_cast<std::size_t>(
      std::count_if(clients_.begin(), clients_.end(), [](const Client& c) { return c.fd >= 0; }));
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
      return;
    }
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
  if (c.fd >= 0) c.out += answer;
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
  ::close(c.fd);
}

void Server::Accept() {
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  const int fd =
      ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    // No connection after all: the peer left, or accept passed on a network
    // error of that connection's own. Nothing to wait for.
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED || err == EPROTO ||
        err == ENETDOWN || err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET || err == EHOSTUNREACH ||
        err == EOPNOTSUPP || err == ENETUNREACH) {
      return;
    }
    // Out of descriptors or memory: rest, then try again; the clients that
    // are connected go on being served meanwhile.
    acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
    if (!acceptFailing_) {
      std::fprintf(stderr, "tarvel: cannot take new connections: %s; trying again every %lld ms\n",
                   std::strerror(err), static_cast<long long>(kAcceptPause.count()));
      acceptFailing_ = true;
    }
    return;
  }
  acceptFailing_ = false;
  const std::string where = FormatAddress(peer, peerLength);
  const auto now = Clock::now();
  if (Connected() >= kMaxScpiClients && !EvictLongestIdle(now, where)) {
    std::fprintf(stderr, "tarvel: refused %s: %d clients are connected already, none idle for %lld s\n",
                 where.c_str(), kMaxScpiClients, static_cast<long long>(kEvictIdleAfter.count()));
    ::close(fd);
    return;
  }
  const int one = 1;  // answers are short: send them at once
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Client c;
  c.fd = fd;
  c.id = nextId_++;
  c.peer = where;
  c.lastHeard = now;
  clients_.push_back(std::move(c));
}

bool Server::Receive(Client& c) {
  char buffer[kReadChunk];
  const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (n == 0) return false;  // a line without its end is dropped with the client
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
  const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
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

int RunServe(int argc, const char* const* argv) {
  ListenAddress address;
  std::chrono::seconds idleTimeout = kDefaultIdleTimeout;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (word == "--listen" && value != nullptr && ParseListenAddress(value, address)) {
      ++i;
    } else if (word == "--idle-timeout") {
      const auto seconds = value != nullptr ? ParseSeconds(value) : std::nullopt;
      if (!seconds) {
        std::fprintf(stderr, "tarvel: --idle-timeout takes whole seconds from 0 (never) to %ld, not \"%s\"\n",
                     kMaxIdleTimeoutSeconds, value != nullptr ? value : "");
        PrintServeUsage();
        return kExitUsage;
      }
      idleTimeout = *seconds;
      ++i;
    } else if (word == "--port-choice" && value != nullptr) {
      if (const LegacyPort* c = FindLegacyPort(std::string_view(value))) {
        PortAddress = c->base;
      } else {
        std::fprintf(stderr, "tarvel: --port-choice takes LPT1, LPT2 or PRN, not \"%s\"\n", value);
        PrintServeUsage();
        return kExitUsage;
      }
      ++i;
    } else {
      std::fprintf(stderr, "tarvel: --serve: cannot use \"%s\"%s\n", argv[i],
                   word == "--listen" ? " (expected HOST:PORT, e.g. 127.0.0.1:5025 or [::1]:5025)" : "");
      PrintServeUsage();
      return kExitUsage;
    }
  }

  const char* portChoice = std::getenv("TARVEL_PORT");
  const bool direct = portChoice != nullptr && std::strcmp(portChoice, "direct") == 0;
  if (::geteuid() == 0 && !direct) {
    std::fputs(
        "tarvel: refusing to serve as root: run --serve as an ordinary user "
        "(only TARVEL_PORT=direct needs root, and gives it up once the port is open)\n",
        stderr);
    return kExitNoPermission;
  }

  const int listener = OpenListener(address);
  if (listener < 0) return kExitUnavailable;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
  // The server's instrument has a link of its own, on the backend
  // TARVEL_PORT names. A real port stays open and claimed for the server's
  // life; a bench shared with other processes (the simulated one) opens per
  // command, so its state file is saved after each one and they see it.
  PortError error;
  auto link = std::make_unique<DeviceLink>();
  link->SetBackendFactory(&MakePortBackendFromEnvironment);
  link->SetAccessSink(ProcessLink().accessSink());
  link->SetBackend(MakePortBackendFromEnvironment(error));
  const bool keepOpen = link->backend() == nullptr || link->backend()->KeepOpenBetweenCommands();
  Server server(listener, std::move(link), idleTimeout);
  DeviceLink& serverLink = server.link();
  std::optional<PortSession> held;
  if (keepOpen) {
    try {
      held.emplace(serverLink, PortAddress, true);
    } catch (const PortAccessError& e) {
      std::fprintf(stderr, "tarvel: warning: %s; commands that need the port will report it\n",
                   PortAlertText(e.error(), PortAddress).c_str());
    }
  }
  if (::geteuid() == 0 && GiveUpRoot(WithoutSudoUser::BecomeNobody) < 0) {
    std::fprintf(stderr, "tarvel: cannot give up root: %s\n", std::strerror(errno));
    return kExitNoPermission;
  }

  if (StopSignalFd() < 0) InstallStopHandlers();
  if (StopSignalFd() < 0) {
    std::fprintf(stderr, "tarvel: cannot watch for SIGINT and SIGTERM: %s\n", std::strerror(errno));
    return kExitUnavailable;
  }
  ::signal(SIGPIPE, SIG_IGN);

  const std::string where = FormatAddress(bound, length);
  if (!IsLoopback(bound)) {
    std::fprintf(stderr,
                 "tarvel: warning: SCPI has no authentication: anyone who can reach %s can drive the chips\n",
                 where.c_str());
  }
  std::printf("listening on %s\n", where.c_str());
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
