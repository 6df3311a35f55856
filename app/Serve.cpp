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

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/Announce.h"
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
// How long the listener rests after an accept failed for want of descriptors
// or memory: the pending connection keeps it readable, so polling it at once
// would only fail again.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);

void PrintServeUsage() {
  std::fputs("usage: tarvel --serve [--listen HOST:PORT] [--port-choice LPT1|LPT2|PRN] [--name NAME]\n",
             stderr);
}

struct Client {
  int fd = -1;
  std::string in, out;
  bool discarding = false;  // inside a line that was too long
};

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

std::uint16_t PortOf(const sockaddr_storage& a) {
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                       : reinterpret_cast<const sockaddr_in&>(a).sin_port);
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
  Server(int listener, std::unique_ptr<DeviceLink> link)
      : listener_(listener), instrument_(std::move(link)) {}
  ~Server() {
    for (Client& c : clients_) ::close(c.fd);
    ::close(listener_);
  }
  void Run();
  DeviceLink& link() { return instrument_.link(); }

 private:
  void Accept();
  // Reads what arrived; false when the client is gone.
  bool Receive(Client& c);
  void TakeLines(Client& c);
  bool Flush(Client& c);

  int listener_;
  std::vector<Client> clients_;
  ScpiInstrument instrument_;
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  bool acceptFailing_ = false;  // said so on standard error already
};

void Server::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    // While accepting rests, the listener is left out (poll ignores a
    // negative descriptor) and the wait ends with the rest.
    int timeoutMs = -1;
    const auto now = std::chrono::steady_clock::now();
    if (now < acceptPausedUntil_) {
      timeoutMs =
          static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(acceptPausedUntil_ - now).count());
    }
    fds.clear();
    fds.push_back({StopSignalFd(), POLLIN, 0});
    fds.push_back({timeoutMs < 0 ? listener_ : -1, POLLIN, 0});
    for (const Client& c : clients_) {
      short events = c.out.size() < kMaxPendingOutput ? POLLIN : 0;
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
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Client& c = clients_[i];
      const short ev = fds[i + 2].revents;
      bool alive = true;
      if ((ev & (POLLIN | POLLHUP | POLLERR)) != 0) alive = Receive(c);
      if (alive && !c.out.empty()) alive = Flush(c);
      if (alive) {
        kept.push_back(std::move(c));
      } else {
        ::close(c.fd);
      }
    }
    clients_ = std::move(kept);
    if ((fds[1].revents & POLLIN) != 0) Accept();
  }
}

void Server::Accept() {
  const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
  if (clients_.size() >= kMaxScpiClients) {
    std::fprintf(stderr, "tarvel: refused a connection: %d clients are connected already\n", kMaxScpiClients);
    ::close(fd);
    return;
  }
  const int one = 1;  // answers are short: send them at once
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  clients_.push_back({fd, {}, {}, false});
}

bool Server::Receive(Client& c) {
  char buffer[kReadChunk];
  const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (n == 0) return false;  // a line without its end is dropped with the client
  c.in.append(buffer, static_cast<std::size_t>(n));
  TakeLines(c);
  return true;
}

void Server::TakeLines(Client& c) {
  std::size_t start = 0;
  for (std::size_t end; (end = c.in.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string_view line(c.in.data() + start, end - start);
    if (c.discarding) {
      c.discarding = false;  // the rest of a line already reported
    } else if (line.size() > kScpiMaxLineBytes + (!line.empty() && line.back() == '\r')) {
      instrument_.PushError(-223, "Too much data");
    } else {
      c.out += instrument_.Execute(line);
    }
  }
  c.in.erase(0, start);
  if (c.in.size() > kScpiMaxLineBytes + 1) {
    if (!c.discarding) instrument_.PushError(-223, "Too much data");
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
  std::string name;  // the DNS-SD instance name; empty: the default
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (word == "--listen" && value != nullptr && ParseListenAddress(value, address)) {
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
    } else if (word == "--name" && value != nullptr && std::strlen(value) <= kMaxInstanceNameBytes) {
      name = value;
      ++i;
    } else {
      std::fprintf(stderr, "tarvel: --serve: cannot use \"%s\"%s\n", argv[i],
                   word == "--listen" ? " (expected HOST:PORT, e.g. 127.0.0.1:5025 or [::1]:5025)"
                   : word == "--name" ? " (expected a name of at most 63 bytes)"
                                      : "");
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
  Server server(listener, std::move(link));
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
  std::unique_ptr<Announcement> announced;  // withdrawn when the server ends
  if (!IsLoopback(bound)) {
    std::fprintf(stderr,
                 "tarvel: warning: SCPI has no authentication: anyone who can reach %s can drive the chips\n",
                 where.c_str());
    announced = AnnounceScpiServer(name.empty() ? DefaultInstanceName() : name, PortOf(bound));
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
