#include "APMPProgramTextFormat.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "NANOMessageBase.h"

namespace {

enum class FieldKind { Message, String, Bool, Double, Enum };

struct MessageSchema;

struct FieldSchema {
  uint32_t tag;
  FieldKind kind;
  const MessageSchema* message;  // for Message fields
};

struct MessageSchema {
  std::map<std::string, FieldSchema, std::less<>> fields;
};

const std::map<std::string, int64_t, std::less<>>& entityTypes() {
  static const auto* types = new std::map<std::string, int64_t, std::less<>>{
      {"RUNTIME_ENTITY_TYPE_UNKNOWN", 0}, {"STRING", 1}, {"NUMBER", 2}, {"BOOLEAN", 3}, {"STATEMENT", 4}};
  return *types;
}

struct Schemas {
  MessageSchema entity, activity, activities, program;
  Schemas() {
    entity.fields = {{"type", {1, FieldKind::Enum, nullptr}},
                     {"value", {2, FieldKind::Message, &entity}},
                     {"function_name", {3, FieldKind::String, nullptr}},
                     {"string_value", {4, FieldKind::String, nullptr}},
                     {"boolean_value", {5, FieldKind::Bool, nullptr}},
                     {"number_value", {6, FieldKind::Double, nullptr}}};
    activity.fields = {{"name", {1, FieldKind::String, nullptr}}, {"data", {2, FieldKind::Message, &entity}}};
    activities.fields = {{"activities", {1, FieldKind::Message, &activity}}};
    program.fields = {{"instructions", {1, FieldKind::Message, &entity}},
                      {"activities", {2, FieldKind::Message, &activities}}};
  }
};

const Schemas& schemas() {
  static const Schemas* s = new Schemas();
  return *s;
}

void putVarint(platform::Data& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

void putKey(platform::Data& out, uint32_t tag, int wireType) { putVarint(out, (uint64_t(tag) << 3) | wireType); }

void putBytes(platform::Data& out, uint32_t tag, const void* bytes, size_t size) {
  putKey(out, tag, 2);
  putVarint(out, size);
  const auto* begin = static_cast<const uint8_t*>(bytes);
  out.insert(out.end(), begin, begin + size);
}

class Parser {
 public:
  Parser(std::string_view text, std::string* problem) : text_(text), problem_(problem) {}

  std::optional<platform::Data> program() {
    platform::Data out;
    if (!message(schemas().program, '\0', 0, out)) return std::nullopt;
    return out;
  }

 private:
  bool fail(const std::string& what) {
    if (problem_ && problem_->empty()) *problem_ = "line " + std::to_string(line_) + ": " + what;
    return false;
  }

  void skipSpace() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        if (c == '\n') ++line_;
        ++pos_;
      } else {
        return;
      }
    }
  }

  bool peek(char c) {
    skipSpace();
    return pos_ < text_.size() && text_[pos_] == c;
  }

  bool consume(char c) {
    if (!peek(c)) return false;
    ++pos_;
    return true;
  }

  std::string_view word() {
    skipSpace();
    size_t start = pos_;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-' && c != '+') break;
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  // Until `close` ('\0' for the end of the text).
  bool message(const MessageSchema& schema, char close, int depth, platform::Data& out) {
    if (depth >= kNANOMaxNestingDepth) return fail("messages nested too deeply");
    while (true) {
      skipSpace();
      if (close == '\0' ? pos_ >= text_.size() : consume(close)) return true;
      if (pos_ >= text_.size()) return fail("missing closing '" + std::string(1, close) + "'");
      std::string_view name = word();
      if (name.empty()) return fail("expected a field name");
      auto it = schema.fields.find(name);
      if (it == schema.fields.end()) return fail("unknown field \"" + std::string(name) + "\"");
      if (!field(it->second, depth, out)) return false;
      if (!consume(';')) consume(',');
    }
  }

  bool field(const FieldSchema& field, int depth, platform::Data& out) {
    const bool colon = consume(':');
    if (field.kind == FieldKind::Message) {
      if (consume('[')) return list(field, depth, out);
      return subMessage(field, depth, out);
    }
    if (!colon) return fail("expected ':'");
    if (consume('[')) return list(field, depth, out);
    return scalar(field, out);
  }

  bool list(const FieldSchema& field, int depth, platform::Data& out) {
    if (consume(']')) return true;
    do {
      bool ok = field.kind == FieldKind::Message ? subMessage(field, depth, out) : scalar(field, out);
      if (!ok) return false;
    } while (consume(','));
    if (!consume(']')) return fail("expected ']'");
    return true;
  }

  bool subMessage(const FieldSchema& field, int depth, platform::Data& out) {
    char close;
    if (consume('{')) {
      close = '}';
    } else if (consume('<')) {
      close = '>';
    } else {
      return fail("expected '{'");
    }
    platform::Data body;
    if (!message(*field.message, close, depth + 1, body)) return false;
    putBytes(out, field.tag, body.data(), body.size());
    return true;
  }

  bool scalar(const FieldSchema& field, platform::Data& out) {
    switch (field.kind) {
      case FieldKind::String: {
        std::string value;
        if (!string(value)) return false;
        putBytes(out, field.tag, value.data(), value.size());
        return true;
      }
      case FieldKind::Bool: {
        std::string_view token = word();
        bool value;
        if (token == "true" || token == "True" || token == "t" || token == "1") {
          value = true;
        } else if (token == "false" || token == "False" || token == "f" || token == "0") {
          value = false;
        } else {
          return fail("expected true or false");
        }
        putKey(out, field.tag, 0);
        putVarint(out, value ? 1 : 0);
        return true;
      }
      case FieldKind::Enum: {
        std::string_view token = word();
        int64_t value;
        auto named = entityTypes().find(token);
        if (named != entityTypes().end()) {
          value = named->second;
        } else if (!integer(token, value)) {
          return fail("unknown enumeration value \"" + std::string(token) + "\"");
        }
        putKey(out, field.tag, 0);
        putVarint(out, static_cast<uint64_t>(value));
        return true;
      }
      case FieldKind::Double: {
        std::string_view token = word();
        double value;
        if (!number(token, value)) return fail("expected a number");
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        putKey(out, field.tag, 1);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
        return true;
      }
      case FieldKind::Message: break;
    }
    return fail("unexpected value");
  }

  static bool integer(std::string_view token, int64_t& value) {
    if (token.empty()) return false;
    std::string text(token);
    char* end = nullptr;
    errno = 0;
    long long parsed = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = parsed;
    return true;
  }

  static bool number(std::string_view token, double& value) {
    std::string text(token);
    bool negative = !text.empty() && text[0] == '-';
    std::string bare = negative || (!text.empty() && text[0] == '+') ? text.substr(1) : text;
    for (char& c : bare) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (bare == "inf" || bare == "infinity") {
      value = negative ? -INFINITY : INFINITY;
      return true;
    }
    if (bare == "nan") {
      value = NAN;
      return true;
    }
    if (!bare.empty() && bare.back() == 'f' && bare.find('x') == std::string::npos) text.pop_back();
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0';
  }

  // One or more adjacent quoted pieces, concatenated.
  bool string(std::string& value) {
    if (!peek('"') && !peek('\'')) return fail("expected a quoted string");
    while (peek('"') || peek('\'')) {
      char quote = text_[pos_++];
      while (true) {
        if (pos_ >= text_.size() || text_[pos_] == '\n') return fail("unterminated string");
        char c = text_[pos_++];
        if (c == quote) break;
        if (c != '\\') {
          value.push_back(c);
          continue;
        }
        if (!escape(value)) return false;
      }
    }
    return true;
  }

  bool escape(std::string& value) {
    if (pos_ >= text_.size()) return fail("unterminated string");
    char c = text_[pos_++];
    switch (c) {
      case 'n': value.push_back('\n'); return true;
      case 't': value.push_back('\t'); return true;
      case 'r': value.push_back('\r'); return true;
      case 'a': value.push_back('\a'); return true;
      case 'b': value.push_back('\b'); return true;
      case 'f': value.push_back('\f'); return true;
      case 'v': value.push_back('\v'); return true;
      case '\\': case '\'': case '"': case '?': value.push_back(c); return true;
      case 'x': return hexEscape(value);
      case 'u': return unicodeEscape(value, 4);
      case 'U': return unicodeEscape(value, 8);
      default: break;
    }
    if (c < '0' || c > '7') return fail(std::string("unknown escape \\") + c);
    int code = c - '0';
    for (int i = 0; i < 2 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7'; ++i)
      code = code * 8 + (text_[pos_++] - '0');
    if (code > 0xFF) return fail("octal escape out of range");
    value.push_back(static_cast<char>(code));
    return true;
  }

  bool hexEscape(std::string& value) {
    int code = 0, digits = 0;
    while (digits < 2 && pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) {
      char d = static_cast<char>(std::tolower(static_cast<unsigned char>(text_[pos_++])));
      code = code * 16 + (d <= '9' ? d - '0' : d - 'a' + 10);
      ++digits;
    }
    if (digits == 0) return fail("empty \\x escape");
    value.push_back(static_cast<char>(code));
    return true;
  }

  // \uXXXX or \UXXXXXXXX: the character in UTF-8.
  bool unicodeEscape(std::string& value, int digits) {
    uint32_t code = 0;
    for (int i = 0; i < digits; ++i) {
      if (pos_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[pos_])))
        return fail("incomplete unicode escape");
      char d = static_cast<char>(std::tolower(static_cast<unsigned char>(text_[pos_++])));
      code = code * 16 + static_cast<uint32_t>(d <= '9' ? d - '0' : d - 'a' + 10);
    }
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return fail("unicode escape out of range");
    if (code < 0x80) {
      value.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      value.push_back(static_cast<char>(0xC0 | (code >> 6)));
      value.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      value.push_back(static_cast<char>(0xE0 | (code >> 12)));
      value.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      value.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      value.push_back(static_cast<char>(0xF0 | (code >> 18)));
      value.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      value.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      value.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    return true;
  }

  std::string_view text_;
  std::string* problem_;
  size_t pos_ = 0;
  int line_ = 1;
};

}  // namespace

std::optional<platform::Data> APMPProgramBytesFromTextForm(std::string_view text, std::string* problem) {
  std::string local;
  Parser parser(text, problem ? problem : &local);
  return parser.program();
}
