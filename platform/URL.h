#pragma once
// Absolute URLs: "scheme:[//[user@]host[:port]]path[?query][#fragment]".
//
// A URL is parsed strictly: it must have a scheme, may hold only the characters URLs allow, and
// every "%" must start a two-digit escape. Anything else (a space, a raw non-ASCII byte, "%zz") is
// not a URL, so texts from links and network replies never reach a request half-encoded. The text
// is kept as written: absoluteString() gives back exactly what was parsed or built.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A query's "name=value" pair, decoded. A part without "=" has no value.
struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;
  bool operator==(const URLQueryItem&) const = default;
};

class URL {
 public:
  // None when the text is not an absolute URL.
  static std::optional<URL> parse(std::string_view text);
  // "scheme://authority path?query" with the items encoded by percentEncodeQueryComponent. The
  // authority is "host" or "host:port"; the path is empty or starts with "/" and is written as
  // given. None when the result is not a URL.
  static std::optional<URL> make(std::string_view scheme, std::string_view authority, std::string_view path,
                                 const std::vector<URLQueryItem>& queryItems = {});

  const std::string& absoluteString() const { return text_; }
  // As written (schemes compare without regard to case: see hasScheme).
  std::string scheme() const;
  bool hasScheme(std::string_view scheme) const;
  // The host without the brackets of an IP literal; empty when the URL has no authority.
  std::string host() const;
  std::optional<int> port() const { return port_; }
  // The path as written (still percent-encoded).
  std::string path() const;
  // The query as written (still percent-encoded) without its "?"; none when there is no "?".
  std::optional<std::string> query() const;
  std::optional<std::string> fragment() const;

  // The query's "&"-separated parts in order, names and values percent-decoded ("+" stays "+";
  // decoded bytes that are not UTF-8 become U+FFFD). Empty parts are skipped; repeats are kept.
  std::vector<URLQueryItem> queryItems() const;

  // The URL with the items encoded and added at the end of its query (before any fragment),
  // starting the query when there is none.
  URL appendingQueryItems(const std::vector<URLQueryItem>& items) const;

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  struct Span {
    size_t begin = 0;
    size_t length = 0;
  };
  URL() = default;
  std::string slice(Span span) const { return text_.substr(span.begin, span.length); }

  std::string text_;
  Span scheme_;
  Span host_;
  Span path_;
  std::optional<Span> query_;
  std::optional<Span> fragment_;
  std::optional<int> port_;
};

// Percent-encodes text for a query name or value: everything except letters, digits and
// "-._~!$'()*,;:@/?" becomes %XX, so "&", "=", "+", "#" and spaces cannot split or change a pair.
std::string percentEncodeQueryComponent(std::string_view text);

// Decodes %XX escapes (nothing else: "+" stays "+"). None when a "%" is not followed by two
// hexadecimal digits. The bytes are returned as decoded, whether or not they are UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace platform
