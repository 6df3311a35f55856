// The web page's request reader and JSON, and the instrument's side door for
// it, without sockets (tests/web_check.py drives the server over loopback).
#include <gtest/gtest.h>

#include <string>

#include "instrument/Scpi.h"
#include "web/HttpRequest.h"
#include "web/Json.h"

namespace tarvel {
namespace {

using Outcome = HttpParse::Outcome;

struct RequestCase {
  const char* name;
  std::string input;
  Outcome outcome;
  int status = 0;         // Bad
  std::string path = "";  // Complete
  std::string body = "";  // Complete
  bool keepAlive = true;  // Complete
};

TEST(HttpRequest, ReadsWholeRequestsWithinTheLimits) {
  const std::string head = "PUT /api/codes HTTP/1.1\r\nHost: b\r\nContent-Length: 7\r\n\r\n";
  const RequestCase cases[] = {
      {"plain GET", "GET /api/state?x=1 HTTP/1.1\r\nHost: b\r\n\r\n", Outcome::Complete, 0, "/api/state"},
      {"bare LF lines", "GET / HTTP/1.1\nHost: b\n\n", Outcome::Complete, 0, "/"},
      {"body by Content-Length", head + "{\"a\":1}", Outcome::Complete, 0, "/api/codes", "{\"a\":1}"},
      {"HTTP/1.0 closes", "GET / HTTP/1.0\r\n\r\n", Outcome::Complete, 0, "/", "", false},
      {"Connection: close", "GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", Outcome::Complete, 0, "/", "",
       false},
      {"half a header", "GET / HTTP/1.1\r\nHost: b\r\n", Outcome::NeedMore},
      {"half a body", head + "{\"a\"", Outcome::NeedMore},
      {"a method being typed", "GE", Outcome::NeedMore},
      {"random bytes", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), Outcome::Bad, 400},
      {"no version", "GET /\r\n\r\n", Outcome::Bad, 400},
      {"HTTP/2", "GET / HTTP/2.0\r\n\r\n", Outcome::Bad, 505},
      {"a target that is no path", "GET http://x/ HTTP/1.1\r\n\r\n", Outcome::Bad, 400},
      {"a field without a colon", "GET / HTTP/1.1\r\nHost b\r\n\r\n", Outcome::Bad, 400},
      {"chunked body", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", Outcome::Bad, 501},
      {"two lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx", Outcome::Bad,
       400},
      {"a signed length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", Outcome::Bad, 400},
      {"a body too long", "POST / HTTP/1.1\r\nContent-Length: 4097\r\n\r\n", Outcome::Bad, 413},
      {"a header too long, unfinished", "GET / HTTP/1.1\r\nX: " + std::string(kHttpMaxHeaderBytes, 'a'),
       Outcome::Bad, 431},
      {"a header too long, finished",
       "GET / HTTP/1.1\r\nX: " + std::string(kHttpMaxHeaderBytes, 'a') + "\r\n\r\n", Outcome::Bad, 431},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpParse p = ParseHttpRequest(c.input);
    ASSERT_EQ(p.outcome, c.outcome);
    if (c.outcome == Outcome::Bad) {
      EXPECT_EQ(p.status, c.status);
    }
    if (c.outcome != Outcome::Complete) continue;
    EXPECT_EQ(p.request.path, c.path);
    EXPECT_EQ(p.request.body, c.body);
    EXPECT_EQ(p.request.keepAlive, c.keepAlive);
    EXPECT_EQ(p.used, c.input.size());
  }
}

TEST(HttpRequest, PipelinedRequestsAreTakenOneAtATime) {
  const std::string two = "GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\nOrigin: http://h\r\n\r\n";
  const HttpParse first = ParseHttpRequest(two);
  ASSERT_EQ(first.outcome, Outcome::Complete);
  EXPECT_EQ(first.request.path, "/a");
  const HttpParse second = ParseHttpRequest(std::string_view(two).substr(first.used));
  ASSERT_EQ(second.outcome, Outcome::Complete);
  EXPECT_EQ(second.request.path, "/b");
  EXPECT_EQ(second.request.Header("origin"), "http://h");
}

TEST(Json, TakesFlatObjectsOnly) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {R"({"codes": [12, "0x0C"], "device": "RX4410", "auto": false, "send": null})", true},
      {R"( {} )", true},
      {R"({"s": "a\"b\u0041"})", true},
      {R"({"n": -1.5e3})", true},
      {R"([1, 2])", false},
      {R"({"a": 1,})", false},
      {R"({"a": 1} x)", false},
      {R"({"a": 1, "a": 2})", false},
      {R"({"a": [[1]]})", false},
      {R"({"a": {"b": 1}})", false},
      {R"({"a": 01x})", false},
      {R"({"a": "\u00e9"})", false},
      {"{\"a\": \"tab\there\"}", false},
      {R"({"a": tru})", false},
      {R"({"a": "unended)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string why;
    EXPECT_EQ(ParseJsonObject(c.text, why).has_value(), c.ok) << why;
  }
  std::string why;
  const auto object = ParseJsonObject(R"({"codes": [12, "7"], "auto": true})", why);
  ASSERT_TRUE(object);
  ASSERT_EQ(object->at(0).second.items.size(), 2u);
  EXPECT_EQ(object->at(0).second.items[1].text, "7");
  EXPECT_TRUE(object->at(1).second.boolean);
  EXPECT_EQ(JsonQuoted("a\"\\\n"), R"("a\"\\\u000a")");
}

// A web request's errors go back to it, not into the SCPI clients' queue;
// the page still shows the latest one.
TEST(ScpiInstrument, ExecuteAsideHandsItsErrorsBack) {
  ScpiInstrument instrument;
  std::vector<ScpiError> errors;
  instrument.ExecuteAside("CODE 70,1;DEV XYZ", errors);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].code, -222);
  EXPECT_EQ(errors[1].code, -224);
  EXPECT_EQ(instrument.ErrorCount(), 0u);
  EXPECT_EQ(instrument.Execute("*STB?;*ESR?"), "0;0\n");
  EXPECT_EQ(instrument.Status().lastError, "-224,\"Illegal parameter value\"");
  EXPECT_EQ(instrument.Status().codes, (std::array<int, 2>{0, 0}));
}

}  // namespace
}  // namespace tarvel
