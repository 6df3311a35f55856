// `tarvel --serve --http HOST:PORT`: the web page beside the SCPI server, in
// the same thread and poll loop, on the same instrument. The server hands it
// poll entries and calls it once per turn of the loop; it never blocks:
// sockets are non-blocking, every buffer has a limit, and a change waiting
// for a port another process holds is tried again on a later turn, as SCPI
// lines are. Pages watching (GET /events) get the state whenever it changes:
// a SCPI client's command, another browser's, or a change of the simulated
// bench's state file by another process (then the RX4410 is read back).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/Platform.h"
#include "instrument/Scpi.h"
#include "web/HttpRequest.h"

namespace tarvel {

// HTTP clients have slots of their own, apart from SCPI's.
constexpr std::size_t kMaxWebClients = 16;

class WebServer {
 public:
  using Clock = std::chrono::steady_clock;

  // `scpiWhere`: the SCPI listener's "host:port", for the LXI identification.
  WebServer(platform::Socket listener, ScpiInstrument& instrument, std::string scpiWhere);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Appends the listener's and the clients' entries.
  void AddPollEntries(std::vector<platform::PollEntry>& fds, Clock::time_point now) const;
  // Milliseconds until the web side has something to do unasked; -1 for none.
  int PollTimeoutMs(Clock::time_point now) const;
  // One turn after poll: `fds` from `first` are the entries AddPollEntries
  // appended. Reads, answers, runs changes the port allows, tells watching
  // pages, writes, accepts.
  void Serve(const std::vector<platform::PollEntry>& fds, std::size_t first, Clock::time_point now);

 private:
  struct Client {
    platform::Socket fd = platform::kNoSocket;
    std::string peer;
    std::string in, out;
    Clock::time_point lastHeard{};
    bool events = false;                 // GET /events: a page watching
    bool closing = false;                // closes once its answer is out
    std::optional<HttpRequest> waiting;  // a change waiting for the port
  };
  struct Answer {
    int status = 200;
    std::string type = "application/json";
    std::string body;
    std::string extraHeaders;
  };

  void Accept(Clock::time_point now);
  bool Receive(Client& c, Clock::time_point now);
  void TakeRequests(Client& c, Clock::time_point now);
  // False when the request waits for the port.
  bool Handle(Client& c, const HttpRequest& request);
  std::optional<Answer> Route(const Client& c, const HttpRequest& request);
  std::optional<Answer> Change(const HttpRequest& request);
  std::optional<Answer> CodesLine(const HttpRequest& request, std::string& line);
  Answer RunAside(const std::string& line);
  void Send(Client& c, const Answer& answer, bool keepAlive);
  void Flush(Client& c);
  void Drop(Client& c, const char* why);
  // The port for the commands of this turn; false while another process holds it.
  bool Reserve();
  void Release();
  void RunWaiting(Clock::time_point now);
  void WatchBench(Clock::time_point now);
  // The RX4410's codes into read_; the error when it failed.
  std::optional<ScpiError> ReadBack();
  void Publish(Clock::time_point now);
  std::string StateJson() const;
  std::string Identification(const Client& c) const;
  std::size_t Watching() const;

  platform::Socket listener_;
  ScpiInstrument& instrument_;
  std::string scpiWhere_;
  std::vector<Client> clients_;
  bool reserved_ = false;
  Clock::time_point portRetryAt_{};
  std::optional<std::array<int, 2>> read_;  // the RX4410's codes as last read back here
  bool readWanted_ = false;                 // the bench changed: read back when watched
  Clock::time_point readAt_{};              // not again before
  std::string published_;                   // the state last sent to watching pages
  std::optional<ScpiStatus> seen_;          // the instrument as last published
  std::string benchFile_, benchText_;       // the simulated bench's state file and its last text
  Clock::time_point watchAt_{};
  Clock::time_point pingAt_{};
  Clock::time_point acceptPausedUntil_{};
};

}  // namespace tarvel
