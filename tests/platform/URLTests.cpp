#include "platform/URL.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using platform::URL;
using platform::URLQueryItem;

struct ComponentsCase {
  std::string text;
  std::string scheme;
  std::string host;
  std::optional<int> port;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

TEST(URLTests, ParsedURLsKeepTheirTextAndSplitIntoComponents) {
  const ComponentsCase cases[] = {
      {"https://example.com/a/b?x=1&y=2#top", "https", "example.com", std::nullopt, "/a/b", "x=1&y=2", "top"},
      {"http://user:pw@127.0.0.1:8080/p", "http", "127.0.0.1", 8080, "/p", std::nullopt, std::nullopt},
      {"myapp://open?utm_source=a%20b", "myapp", "open", std::nullopt, "", "utm_source=a%20b", std::nullopt},
      {"mailto:someone@example.com", "mailto", "", std::nullopt, "someone@example.com", std::nullopt, std::nullopt},
      {"https://[::1]:443/", "https", "::1", 443, "/", std::nullopt, std::nullopt},
      {"HTTPS://Example.com:?", "HTTPS", "Example.com", std::nullopt, "", "", std::nullopt},
      {"app:#f?/", "app", "", std::nullopt, "", std::nullopt, "f?/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto url = URL::parse(c.text);
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->absoluteString(), c.text);
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->host(), c.host);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query(), c.query);
    EXPECT_EQ(url->fragment(), c.fragment);
  }
  EXPECT_TRUE(URL::parse("HTTPS://a")->hasScheme("https"));
  EXPECT_FALSE(URL::parse("http://a")->hasScheme("https"));
}

TEST(URLTests, TextsThatAreNotURLsAreRefused) {
  const char* cases[] = {
      "",  "example.com/path", "1http://a", "://a", "https://exa mple.com", "https://a/%zz", "https://a/%4",
      "https://a/b?c=%", "https://a/\xC3\xA9", "https://a:65536/", "https://a:8x/", "https://[::1/", "https://[zz]/",
      "https://[::1]x/", "https://a/#x#y", "https://a@b@c/", "https://a/{x}", "https://a/?q=\"x\"",
  };
  for (const char* text : cases) EXPECT_FALSE(URL::parse(text).has_value()) << text;
}

TEST(URLTests, QueryItemsAreDecodedInOrderWithRepeatsKept) {
  auto url = URL::parse("https://a/?b=%26x%3D&c&&b=2&e=&plus=a+b&u=%C3%A9&bad=%FF#b=9");
  ASSERT_TRUE(url.has_value());
  const std::vector<URLQueryItem> expected{{"b", "&x="},      {"c", std::nullopt}, {"b", "2"},           {"e", ""},
                                           {"plus", "a+b"}, {"u", "\xC3\xA9"},   {"bad", "\xEF\xBF\xBD"}};
  EXPECT_EQ(url->queryItems(), expected);
  EXPECT_TRUE(URL::parse("https://a/")->queryItems().empty());
}

TEST(URLTests, BuiltURLsEncodeQueryValuesAndReadBackTheSame) {
  const std::vector<URLQueryItem> items{
      {"sdk_version", "110000"}, {"rdid", "a&b=c"}, {"x", "1+2 #?/\xC3\xA9"}, {"flag", std::nullopt}, {"k y", "%41"}};
  auto url = URL::make("https", "127.0.0.1:8080", "/pagead/conversion/app/deeplink", items);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->absoluteString(),
            "https://127.0.0.1:8080/pagead/conversion/app/deeplink"
            "?sdk_version=110000&rdid=a%26b%3Dc&x=1%2B2%20%23?/%C3%A9&flag&k%20y=%2541");
  EXPECT_EQ(url->port(), 8080);
  EXPECT_EQ(URL::parse(url->absoluteString())->queryItems(), items);

  EXPECT_EQ(URL::make("http", "localhost", "")->absoluteString(), "http://localhost");
  EXPECT_FALSE(URL::make("https", "a/b", "/p").has_value());
  EXPECT_FALSE(URL::make("https", "a", "p").has_value());
  EXPECT_FALSE(URL::make("https", "a", "/p?q").has_value());
  EXPECT_FALSE(URL::make("1x", "a", "/p").has_value());
  EXPECT_FALSE(URL::make("https", "a b", "/p").has_value());
}

TEST(URLTests, AppendedItemsJoinTheQueryBeforeTheFragment) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://a/p", "https://a/p?k=v&d=a%20b%26c"},
      {"https://a/p?x=1", "https://a/p?x=1&k=v&d=a%20b%26c"},
      {"https://a/p?", "https://a/p?k=v&d=a%20b%26c"},
      {"https://a/p?x=1&", "https://a/p?x=1&k=v&d=a%20b%26c"},
      {"https://a/p?x=1#frag", "https://a/p?x=1&k=v&d=a%20b%26c#frag"},
      {"https://a/p#frag", "https://a/p?k=v&d=a%20b%26c#frag"},
  };
  for (const auto& [base, expected] : cases) {
    auto url = URL::parse(base)->appendingQueryItems({{"k", "v"}, {"d", "a b&c"}});
    EXPECT_EQ(url.absoluteString(), expected);
  }
  EXPECT_EQ(URL::parse("https://a/p?x")->appendingQueryItems({}).absoluteString(), "https://a/p?x");
}

TEST(URLTests, PercentCodingOfQueryComponents) {
  EXPECT_EQ(platform::percentEncodeQueryComponent("az AZ09-._~!$'()*,;:@/?&=+#%\"<>\x01\xC3\xA9"),
            "az%20AZ09-._~!$'()*,;:@/?%26%3D%2B%23%25%22%3C%3E%01%C3%A9");
  const std::pair<const char*, std::optional<std::string>> decoded[] = {
      {"%41%62c", "Abc"}, {"a+b", "a+b"}, {"%C3%a9", "\xC3\xA9"}, {"%00", std::string(1, '\0')},
      {"%", std::nullopt}, {"%4", std::nullopt}, {"x%G1", std::nullopt}, {"%1%41", std::nullopt},
  };
  for (const auto& [text, expected] : decoded) EXPECT_EQ(platform::percentDecode(text), expected) << text;
}

}  // namespace
