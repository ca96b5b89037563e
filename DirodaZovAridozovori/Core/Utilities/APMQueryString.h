#pragma once
// URL query strings: building "k=v&k=v" from values, and reading HTTP argument strings back.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Object.h"

// Query pairs in the order they are to appear.
using APMQueryItems = std::vector<std::pair<std::string, platform::Object>>;

// "k=v" pairs joined with "&", in the given order. Keys and values are written as text (strings as
// they are, numbers in decimal, booleans as 1 or 0) and percent-encoded with the URL-query
// characters, less "&", "=" and "+", which would otherwise split or change the pairs.
std::string apm_queryString(const APMQueryItems& items);
// The same for a dictionary, in its key order.
std::string apm_queryString(const platform::Dictionary& dictionary);

// Reads "k=v&k=v" into a dictionary of strings. Empty parts are skipped; a part without "=" is a
// key with the value ""; keys and values are unescaped (an undecodable one becomes ""); when a key
// repeats, its first occurrence wins.
platform::Dictionary apm_dictionaryWithHttpArgumentsString(std::string_view arguments);

// Every "+" becomes a space, then %XX escapes are decoded. None when an escape is malformed or the
// decoded bytes are not UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view argument);

// The text a query string writes for a value.
std::string APMQueryValueText(const platform::Object& value);
