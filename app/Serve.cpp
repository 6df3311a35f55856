#include "app/Serve.h"

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
#include "core/platform/Platform.h"
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
  platform::Socket fd = platform::kNoSocket;
  std::string in, out;
  bool discarding = false;  // inside a line that was too long
};

// The port number at the end of a "HOST:PORT" or "[HOST]:PORT" text.
std::uint16_t PortOf(const std::string& where) {
  const std::size_t colon = where.rfind(':');
  if (colon == std::string::npos) return 0;
  const unsigned long port = std::strtoul(where.c_str() + colon + 1, nullptr, 10);
  return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
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
  Server(platform::Socket listener, std::unique_ptr<DeviceLink> link)
      : listener_(listener), instrument_(std::move(link)) {}
  ~Server() {
    for (Client& c : clients_) platform::CloseSocket(c.fd);
    platform::CloseSocket(listener_);
  }
  void Run();
  DeviceLink& link() { return instrument_.link(); }

 private:
  void Accept();
  // Reads what arrived; false when the client is gone.
  bool Receive(Client& c);
  void TakeLines(Client& c);
  bool Flush(Client& c);

  platform::Socket listener_;
  std::vector<Client> clients_;
  ScpiInstrument instrument_;
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  bool acceptFailing_ = false;  // said so on standard error already
};

void Server::Run() {
  std::vector<platform::PollEntry> fds;
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
    fds.push_back({timeoutMs < 0 ? listener_ : platform::kNoSocket, true, false});
    for (const Client& c : clients_) {
      fds.push_back({c.fd, c.out.size() < kMaxPendingOutput, !c.out.empty()});
    }
    std::string error;
    const platform::PollOutcome outcome = platform::Poll(fds, timeoutMs, error);
    if (outcome == platform::PollOutcome::Failed) {
      std::fprintf(stderr, "tarvel: poll: %s\n", error.c_str());
      return;
    }
    if (outcome == platform::PollOutcome::Stopped) return;  // SIGINT or SIGTERM
    // Clients in the order they connected; each one's complete lines in order.
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      Client& c = clients_[i];
      const platform::PollEntry& ev = fds[i + 1];
      bool alive = true;
      if (ev.readable || ev.hangUp) alive = Receive(c);
      if (alive && !c.out.empty()) alive = Flush(c);
      if (alive) {
        kept.push_back(std::move(c));
      } else {
        platform::CloseSocket(c.fd);
      }
    }
    clients_ = std::move(kept);
    if (fds[0].readable) Accept();
  }
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
  if (clients_.size() >= kMaxScpiClients) {
    std::fprintf(stderr, "tarvel: refused a connection: %d clients are connected already\n", kMaxScpiClients);
    platform::CloseSocket(fd);
    return;
  }
  clients_.push_back({fd, {}, {}, false});
}

bool Server::Receive(Client& c) {
  char buffer[kReadChunk];
  const long long n = platform::Receive(c.fd, buffer, sizeof buffer);
  if (n < 0) return n == -1;  // -1: nothing there yet
  if (n == 0) return false;   // a line without its end is dropped with the client
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
  if (platform::RunsAsRoot() && !direct) {
    std::fputs(
        "tarvel: refusing to serve as root: run --serve as an ordinary user "
        "(only TARVEL_PORT=direct needs root, and gives it up once the port is open)\n",
        stderr);
    return kExitNoPermission;
  }

  const platform::Socket listener = OpenListener(address);
  if (listener == platform::kNoSocket) return kExitUnavailable;
  bool loopback = false;
  const std::string where = platform::LocalAddress(listener, loopback);
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
  if (platform::RunsAsRoot() && GiveUpRoot(WithoutSudoUser::BecomeNobody) < 0) {
    std::fprintf(stderr, "tarvel: cannot give up root: %s\n", std::strerror(errno));
    return kExitNoPermission;
  }

  if (!platform::StopHandlersInstalled()) InstallStopHandlers();
  if (!platform::StopHandlersInstalled()) {
    std::fprintf(stderr, "tarvel: cannot watch for SIGINT and SIGTERM: %s\n", std::strerror(errno));
    return kExitUnavailable;
  }
  platform::IgnoreBrokenPipes();

  std::unique_ptr<Announcement> announced;  // withdrawn when the server ends
  if (!loopback) {
    std::fprintf(stderr,
                 "tarvel: warning: SCPI has no authentication: anyone who can reach %s can drive the chips\n",
                 where.c_str());
    announced = AnnounceScpiServer(name.empty() ? DefaultInstanceName() : name, PortOf(where));
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
