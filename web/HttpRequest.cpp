#include "web/HttpRequest.h"

#include <algorithm>
#include <cctype>

namespace tarvel {

namespace {

constexpr std::size_t kMaxTargetBytes = 2048;

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool IsTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) != 0 || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Visible characters, blanks and tabs: what a field value may hold here.
bool IsValueChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return c == '\t' || (u >= 0x20 && u != 0x7f);
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = TrimBlanks(list.substr(0, comma));
    if (item.size() == token.size() &&
        std::equal(item.begin(), item.end(), token.begin(), [](char a, char b) { return Lower(a) == b; }))
      return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

HttpParse Bad(int status, std::string reason) {
  HttpParse p;
  p.outcome = HttpParse::Outcome::Bad;
  p.status = status;
  p.reason = std::move(reason);
  return p;
}

// The end of the header block (the index after its empty line), or npos.
// Lines may end in CRLF or a bare LF.
std::size_t HeaderEnd(std::string_view input, std::size_t& lineEndLength) {
  for (std::size_t i = input.find('\n'); i != std::string_view::npos; i = input.find('\n', i + 1)) {
    const std::size_t next = i + 1;
    if (next < input.size() && input[next] == '\n') {
      lineEndLength = 1;
      return next + 1;
    }
    if (next + 1 < input.size() && input[next] == '\r' && input[next + 1] == '\n') {
      lineEndLength = 2;
      return next + 2;
    }
  }
  return std::string_view::npos;
}

bool ParseRequestLine(std::string_view line, HttpRequest& request, HttpParse& bad) {
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
    bad = Bad(400, "malformed request line");
    return false;
  }
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (method.empty() || !std::all_of(method.begin(), method.end(), IsTokenChar)) {
    bad = Bad(400, "malformed method");
    return false;
  }
  if (version == "HTTP/1.0") {
    request.http10 = true;
  } else if (version != "HTTP/1.1") {
    bad = Bad(version.starts_with("HTTP/") ? 505 : 400, "only HTTP/1.0 and HTTP/1.1 are served");
    return false;
  }
  if (target.size() > kMaxTargetBytes) {
    bad = Bad(414, "target longer than " + std::to_string(kMaxTargetBytes) + " bytes");
    return false;
  }
  if (target.empty() || target.front() != '/' || !std::all_of(target.begin(), target.end(), [](char c) {
        return IsValueChar(c) && c != ' ' && c != '\t';
      })) {
    bad = Bad(400, "the target must be a path starting with /");
    return false;
  }
  request.method = method;
  request.path = target.substr(0, target.find_first_of("?#"));
  return true;
}

}  // namespace

std::string_view HttpRequest::Header(std::string_view lowerName) const {
  for (const auto& [name, value] : headers) {
    if (name == lowerName) return value;
  }
  return {};
}

HttpParse ParseHttpRequest(std::string_view input) {
  // Blank lines before a request are skipped, as RFC 9112 allows.
  std::size_t skipped = 0;
  while (skipped < input.size() && (input[skipped] == '\r' || input[skipped] == '\n') && skipped < 4)
    ++skipped;
  input.remove_prefix(skipped);
  std::size_t lineEnd = 2;
  const std::size_t headerEnd = HeaderEnd(input, lineEnd);
  if (headerEnd == std::string_view::npos) {
    if (input.size() > kHttpMaxHeaderBytes) {
      return Bad(431, "request header longer than " + std::to_string(kHttpMaxHeaderBytes) + " bytes");
    }
    // A first line that already cannot start a request is refused at once.
    const std::size_t space = input.find(' ');
    const std::string_view method = input.substr(0, std::min(space, input.size()));
    if (!std::all_of(method.begin(), method.end(), IsTokenChar) || method.size() > 32) {
      return Bad(400, "not an HTTP request");
    }
    return {};
  }
  if (headerEnd > kHttpMaxHeaderBytes) {
    return Bad(431, "request header longer than " + std::to_string(kHttpMaxHeaderBytes) + " bytes");
  }
  HttpParse result;
  HttpRequest& request = result.request;
  std::string_view head = input.substr(0, headerEnd - lineEnd);
  bool firstLine = true;
  bool sawLength = false;
  std::size_t length = 0;
  while (!head.empty()) {
    const std::size_t nl = head.find('\n');
    std::string_view line = head.substr(0, nl);
    head = nl == std::string_view::npos ? std::string_view() : head.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (firstLine) {
      firstLine = false;
      if (!ParseRequestLine(line, request, result)) return result;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return Bad(400, "malformed header field");
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!std::all_of(name.begin(), name.end(), IsTokenChar) ||
        !std::all_of(value.begin(), value.end(), IsValueChar))
      return Bad(400, "malformed header field");
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
    if (lower == "transfer-encoding") return Bad(501, "Transfer-Encoding is not served; send Content-Length");
    if (lower == "content-length") {
      if (sawLength || value.empty() || value.size() > 9 ||
          value.find_first_not_of("0123456789") != std::string_view::npos)
        return Bad(400, "malformed Content-Length");
      sawLength = true;
      length = std::stoul(std::string(value));
      if (length > kHttpMaxBodyBytes)
        return Bad(413, "body longer than " + std::to_string(kHttpMaxBodyBytes) + " bytes");
    }
    request.headers.emplace_back(std::move(lower), std::string(value));
  }
  if (input.size() - headerEnd < length) return {};
  request.body = input.substr(headerEnd, length);
  const std::string_view connection = request.Header("connection");
  request.keepAlive = request.http10 ? HasToken(connection, "keep-alive") : !HasToken(connection, "close");
  result.outcome = HttpParse::Outcome::Complete;
  result.used = skipped + headerEnd + length;
  return result;
}

}  // namespace tarvel
