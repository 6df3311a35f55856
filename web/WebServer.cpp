#include "web/WebServer.h"

#include <algorithm>
#include <cstdio>

#include "chips/Chips.h"
#include "device/ControlPPORT.h"
#include "device/DeviceLink.h"
#include "device/PortIO.h"
#include "instrument/Calibration.h"
#include "ports/SimPortBackend.h"
#include "sim/BenchStateFile.h"
#include "web/Json.h"
#include "web/WebPage.h"

namespace tarvel {

namespace {

using Clock = WebServer::Clock;

constexpr std::size_t kReadChunk = 4096;
// A client that does not read what it is sent (a page watching that stopped
// reading) is dropped beyond this.
constexpr std::size_t kMaxOutput = std::size_t{256} * 1024;
// A client with no request under way is closed after this; a watching page
// is not (its browser reconnects if it is).
constexpr auto kIdleClose = std::chrono::seconds(60);
// A change waiting for the port tries again this much later.
constexpr auto kPortRetry = std::chrono::milliseconds(10);
// The simulated bench's state file is looked at this often while pages watch,
// and the RX4410 read back at most this often: a change shows within 0.5 s.
constexpr auto kWatchEvery = std::chrono::milliseconds(200);
// How long the listener rests after an accept failed for want of descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);
// Watching pages get a comment line this often, which finds dead peers.
constexpr auto kPingEvery = std::chrono::seconds(15);

int MillisecondsUntil(Clock::time_point due, Clock::time_point now) {
  if (due <= now) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

const char* StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Content";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

std::string ErrorJson(int code, const std::string& text) {
  const std::string words = std::to_string(code) + ",\"" + text + "\"";
  return "{\"error\": " + JsonQuoted(words) + ", \"code\": " + std::to_string(code) +
         ", \"message\": " + JsonQuoted(text) + "}\n";
}

// The status a SCPI error answers with: bad syntax or type 400, a value
// outside what the chip takes 422, a conflict with the device 409, the port 503.
int StatusOf(int code) {
  if (code == -240) return 503;
  if (code == -221) return 409;
  if (code == -222 || code == -224) return 422;
  return 400;
}

std::string CodesJson(const std::array<int, 2>& codes) {
  return "[" + std::to_string(codes[0]) + ", " + std::to_string(codes[1]) + "]";
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The host and port an Origin names ("http://bench.local:8080" gives
// "bench.local:8080"), to compare with the Host field.
std::string_view OriginHost(std::string_view origin) {
  const std::size_t scheme = origin.find("://");
  return scheme == std::string_view::npos ? std::string_view() : origin.substr(scheme + 3);
}

// A request another site's page made the browser send: its Origin is not
// this server's, or the browser says it came from another site. A request
// without either (curl, scripts) is taken.
bool CrossSite(const HttpRequest& request) {
  const std::string_view fetchSite = request.Header("sec-fetch-site");
  if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none") return true;
  const std::string_view origin = request.Header("origin");
  if (origin.empty()) return false;
  const std::string_view host = request.Header("host");
  return host.empty() || !EqualsNoCase(OriginHost(origin), host);
}

bool IsJson(const HttpRequest& request) {
  std::string_view type = request.Header("content-type");
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  return EqualsNoCase(type, "application/json");
}

// The host part of "host:port" or "[v6]:port".
std::string HostOf(const std::string& where) {
  const std::size_t colon = where.rfind(':');
  std::string host = where.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  return host;
}

std::string PortOf(const std::string& where) {
  const std::size_t colon = where.rfind(':');
  return colon == std::string::npos ? std::string() : where.substr(colon + 1);
}

std::string XmlEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

WebServer::WebServer(platform::Socket listener, ScpiInstrument& instrument, std::string scpiWhere)
    : listener_(listener), instrument_(instrument), scpiWhere_(std::move(scpiWhere)) {
  if (const auto* sim = dynamic_cast<const SimPortBackend*>(instrument_.link().backend()))
    benchFile_ = sim->statePath();
}

WebServer::~WebServer() {
  for (Client& c : clients_) platform::CloseSocket(c.fd);
  platform::CloseSocket(listener_);
}

std::size_t WebServer::Watching() const {
  return static_cast<std::size_t>(
      std::count_if(clients_.begin(), clients_.end(), [](const Client& c) { return c.events; }));
}

void WebServer::AddPollEntries(std::vector<platform::PollEntry>& fds, Clock::time_point now) const {
  fds.push_back({now < acceptPausedUntil_ ? platform::kNoSocket : listener_, true, false});
  for (const Client& c : clients_) {
    const bool read = !c.closing && !c.waiting && c.out.size() < kMaxOutput &&
                      c.in.size() <= kHttpMaxHeaderBytes + kHttpMaxBodyBytes;
    fds.push_back({c.fd, read, !c.out.empty()});
  }
}

int WebServer::PollTimeoutMs(Clock::time_point now) const {
  int timeoutMs = -1;
  auto sooner = [&timeoutMs, now](Clock::time_point due) {
    const int ms = MillisecondsUntil(due, now);
    if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
  };
  bool waiting = false, idle = false;
  Clock::time_point oldest = now;
  for (const Client& c : clients_) {
    waiting = waiting || c.waiting.has_value();
    if (!c.events && !c.waiting) {
      idle = true;
      oldest = std::min(oldest, c.lastHeard);
    }
  }
  if (waiting) sooner(portRetryAt_);
  if (now < acceptPausedUntil_) sooner(acceptPausedUntil_);
  if (idle) sooner(oldest + kIdleClose);
  if (Watching() > 0) {
    sooner(pingAt_);
    if (!benchFile_.empty()) sooner(watchAt_);
    if (readWanted_) sooner(readAt_);
  }
  return timeoutMs;
}

void WebServer::Serve(const std::vector<platform::PollEntry>& fds, std::size_t first, Clock::time_point now) {
  for (std::size_t i = 0; i < clients_.size() && first + 1 + i < fds.size(); ++i) {
    Client& c = clients_[i];
    const platform::PollEntry& ev = fds[first + 1 + i];
    if ((ev.readable || ev.hangUp) && !Receive(c, now)) Drop(c, nullptr);
  }
  for (Client& c : clients_) {
    if (c.fd != platform::kNoSocket && !c.events && !c.waiting) TakeRequests(c, now);
  }
  RunWaiting(now);
  WatchBench(now);
  Publish(now);
  for (Client& c : clients_) {
    if (c.fd == platform::kNoSocket) continue;
    if (!c.events && !c.waiting && now - c.lastHeard >= kIdleClose && c.out.empty()) {
      Drop(c, nullptr);
      continue;
    }
    if (!c.out.empty()) Flush(c);
    if (c.fd != platform::kNoSocket && c.closing && c.out.empty()) Drop(c, nullptr);
  }
  std::erase_if(clients_, [](const Client& c) { return c.fd == platform::kNoSocket; });
  if (first < fds.size() && fds[first].readable) Accept(now);
}

void WebServer::Accept(Clock::time_point now) {
  platform::Socket fd = platform::kNoSocket;
  std::string error;
  const platform::AcceptOutcome outcome = platform::Accept(listener_, fd, error);
  if (outcome == platform::AcceptOutcome::Exhausted) {
    // Out of descriptors or memory: the pending connection keeps the
    // listener readable, so it rests instead of spinning the loop.
    acceptPausedUntil_ = now + kAcceptPause;
    return;
  }
  if (outcome != platform::AcceptOutcome::Accepted) return;
  if (clients_.size() >= kMaxWebClients) {
    // The slot of the client heard from the longest ago, unless each one
    // has a change waiting for the port.
    auto longest = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
      if (!it->waiting && (longest == clients_.end() || it->lastHeard < longest->lastHeard)) longest = it;
    }
    if (longest == clients_.end()) {
      platform::CloseSocket(fd);
      return;
    }
    platform::CloseSocket(longest->fd);
    clients_.erase(longest);
  }
  Client c;
  c.fd = fd;
  c.peer = platform::PeerAddress(fd);
  c.lastHeard = now;
  clients_.push_back(std::move(c));
}

bool WebServer::Receive(Client& c, Clock::time_point now) {
  char buffer[kReadChunk];
  const long long n = platform::Receive(c.fd, buffer, sizeof buffer);
  if (n < 0) return n == -1;
  if (n == 0) return false;
  if (c.events || c.closing) return true;  // nothing more is taken from them
  c.lastHeard = now;
  c.in.append(buffer, static_cast<std::size_t>(n));
  return true;
}

void WebServer::TakeRequests(Client& c, Clock::time_point now) {
  while (!c.closing && !c.events && !c.waiting && c.out.size() < kMaxOutput && !c.in.empty()) {
    HttpParse parse = ParseHttpRequest(c.in);
    if (parse.outcome == HttpParse::Outcome::NeedMore) return;
    if (parse.outcome == HttpParse::Outcome::Bad) {
      c.in.clear();
      Send(c, {parse.status, "text/plain; charset=utf-8", parse.reason + "\n", {}}, false);
      return;
    }
    c.in.erase(0, parse.used);
    c.lastHeard = now;
    if (!Handle(c, parse.request)) {
      c.waiting = std::move(parse.request);
      portRetryAt_ = now;
    }
  }
}

bool WebServer::Handle(Client& c, const HttpRequest& request) {
  if (request.path == "/events" && request.method == "GET") {
    // The first page to watch gets the chips as they are now.
    if (Watching() == 0) readWanted_ = true;
    c.events = true;
    c.in.clear();
    c.out +=
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n\r\nretry: 1000\n\n";
    published_.clear();  // the state goes out on this turn, to every page watching
    return true;
  }
  std::optional<Answer> answer = Route(c, request);
  if (!answer) return false;
  Send(c, *answer, request.keepAlive);
  return true;
}

std::optional<WebServer::Answer> WebServer::Route(const Client& c, const HttpRequest& request) {
  struct Path {
    const char* path;
    const char* allow;
  };
  static constexpr Path kPaths[] = {
      {"/", "GET"},          {"/api/state", "GET"},     {"/lxi/identification", "GET"},
      {"/api/codes", "PUT"}, {"/api/transmit", "POST"}, {"/api/receive", "POST"}};
  const auto* known = std::find_if(std::begin(kPaths), std::end(kPaths),
                                   [&request](const Path& p) { return request.path == p.path; });
  if (known == std::end(kPaths)) return Answer{404, "text/plain; charset=utf-8", "no such page\n", {}};
  if (request.method != known->allow)
    return Answer{405, "text/plain; charset=utf-8", std::string(known->allow) + " only\n",
                  std::string("Allow: ") + known->allow + "\r\n"};
  if (request.path == "/") return Answer{200, "text/html; charset=utf-8", std::string(WebPageHtml()), {}};
  if (request.path == "/api/state") return Answer{200, "application/json", StateJson() + "\n", {}};
  if (request.path == "/lxi/identification")
    return Answer{200, "text/xml; charset=utf-8", Identification(c), {}};
  return Change(request);
}

// A change of the bench: only PUT or POST with a JSON body, never from
// another site's page; nothing reaches the chips otherwise. Empty while the
// port is held by another process.
std::optional<WebServer::Answer> WebServer::Change(const HttpRequest& request) {
  if (CrossSite(request)) {
    return Answer{403,
                  "application/json",
                  "{\"error\": \"refused: a request from another site's page (Origin or Sec-Fetch-Site)\"}\n",
                  {}};
  }
  if (!IsJson(request)) {
    return Answer{
        415, "application/json", "{\"error\": \"send the body as Content-Type: application/json\"}\n", {}};
  }
  std::string why;
  if (!ParseJsonObject(request.body, why))
    return Answer{400, "application/json", ErrorJson(-104, "Data type error"), {}};
  // Checked before the port is taken: a bad request touches nothing.
  std::string line = "TRANsmit";
  const bool receive = request.path == "/api/receive";
  if (request.path == "/api/codes") {
    if (auto refused = CodesLine(request, line)) return refused;
  } else if (receive && instrument_.Status().device != "RX4410") {
    return Answer{409, "application/json", ErrorJson(-221, "Settings conflict"), {}};
  }
  if (!Reserve()) return std::nullopt;
  if (!receive) return RunAside(line);
  if (const auto error = ReadBack())
    return Answer{StatusOf(error->code), "application/json", ErrorJson(error->code, error->text), {}};
  return Answer{200, "application/json", StateJson() + "\n", {}};
}

WebServer::Answer WebServer::RunAside(const std::string& line) {
  std::vector<ScpiError> errors;
  instrument_.ExecuteAside(line, errors);
  if (!errors.empty()) {
    return Answer{StatusOf(errors.front().code),
                  "application/json",
                  ErrorJson(errors.front().code, errors.front().text),
                  {}};
  }
  return Answer{200, "application/json", StateJson() + "\n", {}};
}

// {"codes": [c1, c2], "device": "RX4410", "auto": false, "send": true}, each
// member optional but one: the device and auto-transmit as DEVice and
// TRANsmit:AUTO take them, the codes as CODE takes them (set and sent), or
// with "send": false as CHANnel<n>:CODE (set; sent only with auto-transmit).
// Every member is checked before anything changes: the SCPI line that
// makes the change into `line`, or the refusal.
std::optional<WebServer::Answer> WebServer::CodesLine(const HttpRequest& request, std::string& line) {
  std::string why;
  const JsonObject body = *ParseJsonObject(request.body, why);
  auto bad = [](int code, const char* text) {
    return Answer{StatusOf(code), "application/json", ErrorJson(code, text), {}};
  };
  const ScpiStatus now = instrument_.Status();
  std::string device = now.device;
  std::optional<bool> autoTransmit;
  bool send = true;
  const JsonValue* codes = nullptr;
  for (const auto& [name, value] : body) {
    if (name == "device") {
      if (value.kind != JsonValue::Kind::String) return bad(-104, "Data type error");
      const Chip* chosen = nullptr;
      for (const Chip* chip : Chips()) {
        if (EqualsNoCase(value.text, chip->token)) chosen = chip;
      }
      if (chosen == nullptr) return bad(-224, "Illegal parameter value");
      device = chosen->token;
    } else if (name == "auto" || name == "send") {
      if (value.kind != JsonValue::Kind::Bool) return bad(-104, "Data type error");
      (name == "auto" ? autoTransmit.emplace() : send) = value.boolean;
    } else if (name == "codes") {
      codes = &value;
    } else {
      return bad(-108, "Parameter not allowed");
    }
  }
  if (codes == nullptr && body.empty()) return bad(-109, "Missing parameter");
  std::array<int, 2> values{};
  if (codes != nullptr) {
    if (codes->kind != JsonValue::Kind::Array) return bad(-104, "Data type error");
    if (codes->items.size() < 2) return bad(-109, "Missing parameter");
    if (codes->items.size() > 2) return bad(-108, "Parameter not allowed");
    for (std::size_t i = 0; i < 2; ++i) {
      const JsonValue& item = codes->items[i];
      if (item.kind != JsonValue::Kind::Number && item.kind != JsonValue::Kind::String)
        return bad(-104, "Data type error");
      if (const auto error = ScpiCheckCode(item.text, device, values[i]))
        return Answer{StatusOf(error->code), "application/json", ErrorJson(error->code, error->text), {}};
    }
  }
  line.clear();
  if (device != now.device) line += "DEVice " + device + ";";
  if (autoTransmit) line += std::string("TRANsmit:AUTO ") + (*autoTransmit ? "ON;" : "OFF;");
  if (codes != nullptr) {
    const std::string a = std::to_string(values[0]), b = std::to_string(values[1]);
    const bool sends = send || autoTransmit.value_or(now.autoTransmit);
    line += sends ? "CODE " + a + "," + b : "CHANnel1:CODE " + a + ";CHANnel2:CODE " + b;
  }
  return std::nullopt;
}

void WebServer::Send(Client& c, const Answer& answer, bool keepAlive) {
  std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " + StatusText(answer.status) + "\r\n";
  head +=
      "Content-Type: " + answer.type + "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n";
  head += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n";
  head += "Referrer-Policy: no-referrer\r\n";
  if (answer.type.starts_with("text/html")) {
    head +=
        "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
        "connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'\r\n";
  }
  head += answer.extraHeaders;
  if (!keepAlive) {
    head += "Connection: close\r\n";
    c.closing = true;
  }
  c.out += head + "\r\n" + answer.body;
}

void WebServer::Flush(Client& c) {
  const long long n = platform::Send(c.fd, c.out.data(), c.out.size());
  if (n < 0) return Drop(c, nullptr);
  c.out.erase(0, static_cast<std::size_t>(n));
  if (c.out.size() > kMaxOutput) Drop(c, "it does not read what it is sent");
}

void WebServer::Drop(Client& c, const char* why) {
  if (why != nullptr) std::fprintf(stderr, "tarvel: closed web client %s: %s\n", c.peer.c_str(), why);
  platform::CloseSocket(c.fd);
  c.fd = platform::kNoSocket;
  c.out.clear();
  c.waiting.reset();
}

bool WebServer::Reserve() {
  if (reserved_) return true;
  PortBackend* backend = instrument_.link().backend();
  PortError error;
  reserved_ = backend == nullptr || backend->Reserve(error) || !error.busy;
  return reserved_;
}

void WebServer::Release() {
  if (!reserved_) return;
  reserved_ = false;
  if (PortBackend* backend = instrument_.link().backend()) backend->Unreserve();
}

// Changes that waited for the port, in their clients' order, while it can be had.
void WebServer::RunWaiting(Clock::time_point now) {
  for (Client& c : clients_) {
    if (c.fd == platform::kNoSocket || !c.waiting) continue;
    if (now < portRetryAt_ && !reserved_) break;
    const HttpRequest request = *c.waiting;
    c.waiting.reset();
    if (!Handle(c, request)) {
      c.waiting = request;
      portRetryAt_ = now + kPortRetry;
      break;
    }
    TakeRequests(c, now);  // what the client sent after it
  }
}

// Another process that changes the simulated bench rewrites its state file:
// a changed text means the chips may hold other codes.
void WebServer::WatchBench(Clock::time_point now) {
  if (Watching() == 0) {
    Release();
    return;
  }
  if (!benchFile_.empty() && now >= watchAt_) {
    watchAt_ = now + kWatchEvery;
    std::string text, reason;
    if (ReadWholeFile(benchFile_, text, reason) == ReadOutcome::Ok && text != benchText_) {
      benchText_ = std::move(text);
      readWanted_ = true;
    }
  }
  if (readWanted_ && now >= readAt_) {
    if (Reserve()) {
      readWanted_ = false;
      readAt_ = now + kWatchEvery;
      ReadBack();
    } else {
      readAt_ = now + kWatchEvery;  // another process holds the bench: no hurry
    }
  }
  Release();
}

std::optional<ScpiError> WebServer::ReadBack() {
  if (instrument_.Status().device != "RX4410") {
    read_.reset();
    return std::nullopt;
  }
  std::vector<ScpiError> errors;
  const std::string answer = instrument_.ExecuteAside("READ?", errors);
  int first = 0, second = 0;
  if (errors.empty() && std::sscanf(answer.c_str(), "%d,%d", &first, &second) == 2) read_ = {{first, second}};
  // The read-back itself saved the state: that is no change by another process.
  std::string reason;
  if (!benchFile_.empty()) ReadWholeFile(benchFile_, benchText_, reason);
  if (errors.empty()) return std::nullopt;
  return errors.front();
}

void WebServer::Publish(Clock::time_point now) {
  if (Watching() == 0) {
    published_.clear();
    seen_.reset();
    return;
  }
  const ScpiStatus status = instrument_.Status();
  if (seen_ && (seen_->sent != status.sent || seen_->device != status.device)) readWanted_ = true;
  if (seen_ && seen_->device != status.device && status.device != "RX4410") read_.reset();
  seen_ = status;
  const std::string state = StateJson();
  std::string message;
  if (state != published_) {
    published_ = state;
    message = "data: " + state + "\n\n";
    pingAt_ = now + kPingEvery;
  } else if (now >= pingAt_) {
    message = ": still here\n\n";
    pingAt_ = now + kPingEvery;
  }
  if (message.empty()) return;
  for (Client& c : clients_) {
    if (c.events && c.fd != platform::kNoSocket) c.out += message;
  }
}

std::string WebServer::StateJson() const {
  const ScpiStatus s = instrument_.Status();
  const bool rx = s.device == "RX4410";
  std::string json = "{\"device\": " + JsonQuoted(s.device);
  json += ", \"codes\": " + CodesJson(s.codes);
  json += ", \"sent\": " + (s.sent[0] < 0 ? std::string("null") : CodesJson(s.sent));
  json += ", \"read\": " + (rx && read_ ? CodesJson(*read_) : std::string("null"));
  json += std::string(", \"auto\": ") + (s.autoTransmit ? "true" : "false");
  json += ", \"port\": " + JsonQuoted(s.port);
  json += ", \"error\": " + JsonQuoted(s.lastError);
  // The gains in dB at the working frequency, with a calibration table
  // (--cal): null for a code it lacks; both null without one.
  auto gain = [&s](std::size_t ch) { return s.gains[ch] ? GainText(*s.gains[ch]) : std::string("null"); };
  json += ", \"gains\": " + (s.calDevice ? "[" + gain(0) + ", " + gain(1) + "]" : std::string("null"));
  json += ", \"calibration\": " + (s.calDevice ? "{\"device\": " + JsonQuoted(*s.calDevice) +
                                                     ", \"frequency\": " + FrequencyText(s.calFrequency) + "}"
                                               : std::string("null"));
  json += ", \"devices\": " + WebDevicesJson() + "}";
  return json;
}

// The LXI identification document: who the bench is and where its SCPI
// socket listens, at the address this client reached.
std::string WebServer::Identification(const Client& c) const {
  const std::string id = ScpiIdentity();  // manufacturer,model,serial,firmware
  std::vector<std::string> fields;
  for (std::size_t start = 0, comma;; start = comma + 1) {
    comma = id.find(',', start);
    fields.push_back(id.substr(start, comma - start));
    if (comma == std::string::npos) break;
  }
  fields.resize(4);
  bool loopback = false;
  const std::string here = platform::LocalAddress(c.fd, loopback);
  const platform::NetworkInterface where = platform::LocalInterface(c.fd);
  const std::string host = HostOf(here);
  const bool v6 = host.find(':') != std::string::npos;
  const std::string urlHost = v6 ? "[" + host + "]" : host;
  const std::string base = "http://" + urlHost + ":" + PortOf(here);
  const std::string scpiPort = PortOf(scpiWhere_);
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml +=
      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\""
      " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
      " xsi:schemaLocation=\"http://www.lxistandard.org/InstrumentIdentification/1.0"
      " http://www.lxistandard.org/InstrumentIdentification/1.0/LXIIdentification.xsd\">\n";
  xml += "  <Manufacturer>" + XmlEscaped(fields[0]) + "</Manufacturer>\n";
  xml += "  <Model>" + XmlEscaped(fields[1]) + "</Model>\n";
  xml += "  <SerialNumber>" + XmlEscaped(fields[2]) + "</SerialNumber>\n";
  xml += "  <FirmwareRevision>" + XmlEscaped(fields[3]) + "</FirmwareRevision>\n";
  std::string chipNames;
  for (const Chip* chip : Chips()) chipNames += (chipNames.empty() ? "" : " and ") + std::string(chip->token);
  xml += "  <ManufacturerDescription>Bench for the " + XmlEscaped(chipNames) +
         " programmable-gain amplifiers</ManufacturerDescription>\n";
  xml += "  <HomepageURL>" + XmlEscaped(base) + "/</HomepageURL>\n";
  xml += "  <DriverURL>" + XmlEscaped(base) + "/</DriverURL>\n";
  xml += "  <UserDescription>" + XmlEscaped(platform::HostName()) + "</UserDescription>\n";
  xml += "  <IdentificationURL>" + XmlEscaped(base) + "/lxi/identification</IdentificationURL>\n";
  xml += "  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"" +
         std::string(v6 ? "IPv6" : "IPv4") + "\" InterfaceName=\"" + XmlEscaped(where.name) + "\">\n";
  xml += "    <InstrumentAddressString>TCPIP::" + XmlEscaped(host) + "::" + scpiPort +
         "::SOCKET</InstrumentAddressString>\n";
  xml += "    <Hostname>" + XmlEscaped(platform::HostName()) + "</Hostname>\n";
  xml += "    <IPAddress>" + XmlEscaped(host) + "</IPAddress>\n";
  xml += "    <SubnetMask>" + XmlEscaped(where.mask) + "</SubnetMask>\n";
  xml += "    <MACAddress>" + XmlEscaped(where.mac) + "</MACAddress>\n    <Gateway></Gateway>\n";
  xml += "    <DHCPEnabled>false</DHCPEnabled>\n    <AutoIPEnabled>false</AutoIPEnabled>\n";
  xml += "  </Interface>\n";
  xml += "  <LXIVersion>1.5</LXIVersion>\n";
  xml += "</LXIDevice>\n";
  return xml;
}

}  // namespace tarvel
