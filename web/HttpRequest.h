// HTTP/1.1 requests read from a byte stream: the request line, the header
// fields and a body of Content-Length bytes, within fixed size limits. It
// holds no socket and never waits: the server hands it what arrived so far
// and it says whether a whole request is there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvel {

// The request line and header fields together, and a body.
constexpr std::size_t kHttpMaxHeaderBytes = 8 * 1024;
constexpr std::size_t kHttpMaxBodyBytes = 4 * 1024;

struct HttpRequest {
  std::string method;  // "GET", as sent (methods are case-sensitive)
  std::string path;    // the target without its query, "/api/state"
  bool http10 = false;
  bool keepAlive = true;                                     // HTTP/1.1 without "Connection: close"
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  // The value of a header field, "" when absent.
  std::string_view Header(std::string_view lowerName) const;
};

struct HttpParse {
  enum class Outcome { NeedMore, Complete, Bad } outcome = Outcome::NeedMore;
  HttpRequest request;   // when Complete
  std::size_t used = 0;  // bytes of the input the request took, when Complete
  int status = 0;        // when Bad: the status to answer with before closing
  std::string reason;    // when Bad: what was wrong, for the answer's body
};

// Looks for one request at the start of `input`. NeedMore while the request
// is incomplete and still within the limits.
HttpParse ParseHttpRequest(std::string_view input);

}  // namespace tarvel
