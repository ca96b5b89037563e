#include "platform/URL.h"

#include <algorithm>
#include <cstring>

#include "platform/Unicode.h"

namespace platform {

namespace {

bool isAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isHex(unsigned char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isOneOf(unsigned char c, const char* set) { return c != 0 && std::strchr(set, c) != nullptr; }

bool isUnreserved(unsigned char c) { return isAlpha(c) || isDigit(c) || isOneOf(c, "-._~"); }
bool isSubDelimiter(unsigned char c) { return isOneOf(c, "!$&'()*+,;="); }
bool isPathCharacter(unsigned char c) { return isUnreserved(c) || isSubDelimiter(c) || isOneOf(c, ":@/"); }
bool isQueryCharacter(unsigned char c) { return isPathCharacter(c) || c == '?'; }
bool isHostCharacter(unsigned char c) { return isUnreserved(c) || isSubDelimiter(c); }
bool isUserCharacter(unsigned char c) { return isHostCharacter(c) || c == ':'; }
bool isIPLiteralCharacter(unsigned char c) { return isHex(c) || c == ':' || c == '.'; }
bool isSchemeCharacter(unsigned char c) { return isAlpha(c) || isDigit(c) || isOneOf(c, "+-."); }

// Every byte allowed, or the start of a well-formed %XX escape.
bool isEncodedRun(std::string_view text, bool (*allowed)(unsigned char)) {
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHex(static_cast<unsigned char>(text[i + 1])) || !isHex(static_cast<unsigned char>(text[i + 2]))) {
        return false;
      }
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

int hexValue(unsigned char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

std::optional<int> portNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : digits) {
    if (!isDigit(static_cast<unsigned char>(c))) return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

// The decoded text, with bytes that are not UTF-8 replaced so callers always get valid text.
std::string decodedText(std::string_view encoded) {
  std::string bytes = percentDecode(encoded).value_or(std::string(encoded));
  if (isValidUtf8(bytes)) return bytes;
  return utf16ToUtf8(utf8ToUtf16(bytes));
}

std::string encodedItems(const std::vector<URLQueryItem>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out.push_back('&');
    out += percentEncodeQueryComponent(item.name);
    if (item.value) {
      out.push_back('=');
      out += percentEncodeQueryComponent(*item.value);
    }
  }
  return out;
}

}  // namespace

std::string percentEncodeQueryComponent(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isUnreserved(c) || isOneOf(c, "!$'()*,;:@/?")) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
  return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    auto high = static_cast<unsigned char>(text[i + 1]);
    auto low = static_cast<unsigned char>(text[i + 2]);
    if (!isHex(high) || !isHex(low)) return std::nullopt;
    out.push_back(static_cast<char>((hexValue(high) << 4) | hexValue(low)));
    i += 2;
  }
  return out;
}

std::optional<URL> URL::parse(std::string_view text) {
  URL url;
  url.text_ = std::string(text);

  size_t colon = 0;
  while (colon < text.size() && isSchemeCharacter(static_cast<unsigned char>(text[colon]))) ++colon;
  if (colon == 0 || colon == text.size() || text[colon] != ':' || !isAlpha(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  url.scheme_ = {0, colon};
  size_t position = colon + 1;

  if (text.substr(position, 2) == "//") {
    size_t begin = position + 2;
    size_t end = std::min(text.find_first_of("/?#", begin), text.size());
    std::string_view authority = text.substr(begin, end - begin);
    size_t hostBegin = 0;
    if (size_t at = authority.find('@'); at != std::string_view::npos) {
      if (!isEncodedRun(authority.substr(0, at), isUserCharacter)) return std::nullopt;
      hostBegin = at + 1;
    }
    std::string_view hostAndPort = authority.substr(hostBegin);
    size_t portColon;
    if (!hostAndPort.empty() && hostAndPort.front() == '[') {
      size_t close = hostAndPort.find(']');
      if (close == std::string_view::npos || close == 1) return std::nullopt;
      for (char c : hostAndPort.substr(1, close - 1)) {
        if (!isIPLiteralCharacter(static_cast<unsigned char>(c))) return std::nullopt;
      }
      url.host_ = {begin + hostBegin + 1, close - 1};
      portColon = close + 1;
      if (portColon < hostAndPort.size() && hostAndPort[portColon] != ':') return std::nullopt;
    } else {
      portColon = std::min(hostAndPort.find(':'), hostAndPort.size());
      if (!isEncodedRun(hostAndPort.substr(0, portColon), isHostCharacter)) return std::nullopt;
      url.host_ = {begin + hostBegin, portColon};
    }
    if (portColon + 1 < hostAndPort.size()) {
      url.port_ = portNumber(hostAndPort.substr(portColon + 1));
      if (!url.port_) return std::nullopt;
    }
    position = end;
  }

  size_t pathEnd = std::min(text.find_first_of("?#", position), text.size());
  if (!isEncodedRun(text.substr(position, pathEnd - position), isPathCharacter)) return std::nullopt;
  url.path_ = {position, pathEnd - position};
  position = pathEnd;

  if (position < text.size() && text[position] == '?') {
    size_t queryEnd = std::min(text.find('#', position), text.size());
    url.query_ = Span{position + 1, queryEnd - position - 1};
    position = queryEnd;
  }
  if (position < text.size()) url.fragment_ = Span{position + 1, text.size() - position - 1};
  if (url.query_ && !isEncodedRun(url.slice(*url.query_), isQueryCharacter)) return std::nullopt;
  if (url.fragment_ && !isEncodedRun(url.slice(*url.fragment_), isQueryCharacter)) return std::nullopt;
  return url;
}

std::optional<URL> URL::make(std::string_view scheme, std::string_view authority, std::string_view path,
                             const std::vector<URLQueryItem>& queryItems) {
  // Separators in the pieces would move text from one component into another.
  if (authority.find_first_of("/?#") != std::string_view::npos) return std::nullopt;
  if (path.find_first_of("?#") != std::string_view::npos) return std::nullopt;
  if (!path.empty() && path.front() != '/') return std::nullopt;
  std::string text = std::string(scheme) + "://" + std::string(authority) + std::string(path);
  if (!queryItems.empty()) {
    text.push_back('?');
    text += encodedItems(queryItems);
  }
  return parse(text);
}

std::string URL::scheme() const { return slice(scheme_); }

bool URL::hasScheme(std::string_view scheme) const { return equalsIgnoringCase(slice(scheme_), scheme); }

std::string URL::host() const { return slice(host_); }

std::string URL::path() const { return slice(path_); }

std::optional<std::string> URL::query() const {
  if (!query_) return std::nullopt;
  return slice(*query_);
}

std::optional<std::string> URL::fragment() const {
  if (!fragment_) return std::nullopt;
  return slice(*fragment_);
}

std::vector<URLQueryItem> URL::queryItems() const {
  std::vector<URLQueryItem> items;
  if (!query_) return items;
  std::string_view query = std::string_view(text_).substr(query_->begin, query_->length);
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = std::min(query.find('&', start), query.size());
    std::string_view part = query.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    size_t equals = part.find('=');
    URLQueryItem item{decodedText(part.substr(0, equals)), std::nullopt};
    if (equals != std::string_view::npos) item.value = decodedText(part.substr(equals + 1));
    items.push_back(std::move(item));
  }
  return items;
}

URL URL::appendingQueryItems(const std::vector<URLQueryItem>& items) const {
  if (items.empty()) return *this;
  size_t queryEnd = fragment_ ? fragment_->begin - 1 : text_.size();
  std::string text = text_.substr(0, queryEnd);
  if (!query_) {
    text.push_back('?');
  } else if (query_->length != 0 && text.back() != '&') {
    text.push_back('&');
  }
  text += encodedItems(items);
  text.append(text_, queryEnd);
  // Encoded items hold only query characters, so the result parses whenever this URL did.
  return *parse(text);
}

}  // namespace platform
