#include "web/Json.h"

#include <cctype>

namespace tarvel {

namespace {

constexpr std::size_t kMaxItems = 16;

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<JsonObject> Object(std::string& why) {
    JsonObject object;
    if (!Take('{')) return Fail(why, "expected an object");
    if (Take('}')) return End(std::move(object), why);
    do {
      std::string name;
      if (!String(name)) return Fail(why, "expected a member name");
      for (const auto& member : object) {
        if (member.first == name) return Fail(why, "member \"" + name + "\" given twice");
      }
      if (!Take(':')) return Fail(why, "expected ':'");
      JsonValue value;
      if (!Value(value)) return Fail(why, "malformed value of \"" + name + "\"");
      object.emplace_back(std::move(name), std::move(value));
    } while (Take(','));
    if (!Take('}')) return Fail(why, "expected ',' or '}'");
    return End(std::move(object), why);
  }

 private:
  std::optional<JsonObject> Fail(std::string& why, std::string text) {
    why = std::move(text);
    return std::nullopt;
  }
  std::optional<JsonObject> End(JsonObject object, std::string& why) {
    Blanks();
    if (at_ != text_.size()) return Fail(why, "text after the object");
    return object;
  }
  void Blanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Take(char c) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  bool Digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])) != 0) ++at_;
    return at_ > start;
  }
  bool Number(std::string& out) {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (!Digits()) return false;
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (!Digits()) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!Digits()) return false;
    }
    out = text_.substr(start, at_ - start);
    return true;
  }
  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  // A string; \u escapes only for ASCII (what device names and codes use).
  bool String(std::string& out) {
    if (!Take('"')) return false;
    out.clear();
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (text_.size() - at_ < 4) return false;
          int value = 0;
          for (int i = 0; i < 4; ++i) {
            const int h = Hex(text_[at_++]);
            if (h < 0) return false;
            value = value * 16 + h;
          }
          if (value >= 0x80) return false;
          out += static_cast<char>(value);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  // A member's value: a scalar or a flat array of scalars.
  bool Value(JsonValue& value) {
    if (!Take('[')) return Scalar(value);
    value.kind = JsonValue::Kind::Array;
    if (Take(']')) return true;
    do {
      if (value.items.size() == kMaxItems) return false;
      JsonValue item;
      if (!Scalar(item)) return false;
      value.items.push_back(std::move(item));
    } while (Take(','));
    return Take(']');
  }
  bool Scalar(JsonValue& value) {
    Blanks();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '"') {
      value.kind = JsonValue::Kind::String;
      return String(value.text);
    }
    if (Word("true") || Word("false")) {
      value.kind = JsonValue::Kind::Bool;
      value.boolean = c == 't';
      return true;
    }
    if (Word("null")) return true;
    value.kind = JsonValue::Kind::Number;
    return Number(value.text);
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<JsonObject> ParseJsonObject(std::string_view text, std::string& why) {
  return Reader(text).Object(why);
}

std::string JsonQuoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      out += "\\u00";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out + '"';
}

}  // namespace tarvel
