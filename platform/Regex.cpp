#include "platform/Regex.h"

#include <unicode/uregex.h>

#include <climits>

#include "platform/Unicode.h"

namespace platform {
namespace {

constexpr size_t kMaxIcuLength = INT32_MAX;

const UChar kEmptyText[1] = {0};

Error regexError(RegexError code, UErrorCode status, std::string description) {
  Dictionary info;
  info["icuError"] = Object(std::string(u_errorName(status)));
  return Error(kRegexErrorDomain, static_cast<int64_t>(code), std::move(description), std::move(info));
}

Error matchError(UErrorCode status) {
  switch (status) {
    case U_REGEX_TIME_OUT:
      return regexError(RegexError::TimedOut, status, "The regular expression took too long");
    case U_REGEX_STACK_OVERFLOW:
      return regexError(RegexError::StackOverflow, status,
                        "The regular expression needed too much backtracking memory");
    case U_REGEX_STOPPED_BY_CALLER:
      return regexError(RegexError::Stopped, status, "The regular expression was stopped");
    default:
      return regexError(RegexError::Failed, status, "The regular expression could not be evaluated");
  }
}

uint32_t icuFlags(uint32_t flags) {
  uint32_t result = 0;
  if (flags & kRegexCaseInsensitive) result |= UREGEX_CASE_INSENSITIVE;
  if (flags & kRegexMultiline) result |= UREGEX_MULTILINE;
  if (flags & kRegexDotMatchesAll) result |= UREGEX_DOTALL;
  if (flags & kRegexComments) result |= UREGEX_COMMENTS;
  if (flags & kRegexLiteral) result |= UREGEX_LITERAL;
  return result;
}

const UChar* icuText(std::u16string_view text) {
  return text.empty() ? kEmptyText : reinterpret_cast<const UChar*>(text.data());
}

Error tooLong() {
  return regexError(RegexError::Failed, U_INDEX_OUTOFBOUNDS_ERROR, "The text is too long to match");
}

}  // namespace

std::shared_ptr<Regex> Regex::compile(std::u16string_view pattern, uint32_t flags, Error* error,
                                      RegexLimits limits) {
  if (pattern.size() > kMaxIcuLength) {
    setError(error, tooLong());
    return nullptr;
  }
  // ICU refuses a zero-length pattern; an empty group means the same (it matches everywhere).
  std::u16string_view source = pattern.empty() && !(flags & kRegexLiteral) ? u"(?:)" : pattern;
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  URegularExpression* expression =
      source.empty() ? nullptr
                     : uregex_open(icuText(source), static_cast<int32_t>(source.size()), icuFlags(flags),
                                   &parseError, &status);
  if (source.empty()) status = U_ILLEGAL_ARGUMENT_ERROR;
  if (U_FAILURE(status) || expression == nullptr) {
    if (expression) uregex_close(expression);
    Error failure = regexError(RegexError::InvalidPattern, status,
                               "The pattern is not a valid regular expression");
    failure.userInfo["offset"] = Object(static_cast<int64_t>(parseError.offset));
    failure.userInfo["line"] = Object(static_cast<int64_t>(parseError.line));
    setError(error, std::move(failure));
    return nullptr;
  }
  return std::shared_ptr<Regex>(new Regex(expression, std::u16string(pattern), flags, limits));
}

std::shared_ptr<Regex> Regex::compile(std::string_view utf8Pattern, uint32_t flags, Error* error,
                                      RegexLimits limits) {
  return compile(std::u16string_view(utf8ToUtf16(utf8Pattern)), flags, error, limits);
}

Regex::Regex(URegularExpression* expression, std::u16string pattern, uint32_t flags, RegexLimits limits)
    : expression_(expression), pattern_(std::move(pattern)), limits_(std::move(limits)), flags_(flags) {
  UErrorCode status = U_ZERO_ERROR;
  if (limits_.onProgress) {
    uregex_setMatchCallback(
        expression_, [](const void* context, int32_t steps) -> UBool { return progress(context, steps); }, this,
        &status);
    status = U_ZERO_ERROR;
  }
  uregex_setTimeLimit(expression_, limits_.timeSteps, &status);
  status = U_ZERO_ERROR;
  uregex_setStackLimit(expression_, limits_.stackBytes, &status);
  status = U_ZERO_ERROR;
  int32_t groups = uregex_groupCount(expression_, &status);
  groupCount_ = U_SUCCESS(status) && groups > 0 ? static_cast<size_t>(groups) : 0;
}

Regex::~Regex() { uregex_close(expression_); }

bool Regex::progress(const void* context, int32_t steps) {
  const auto* regex = static_cast<const Regex*>(context);
  return regex->limits_.onProgress(steps);
}

bool Regex::setText(std::u16string_view text, Error* error) const {
  if (text.size() > kMaxIcuLength) {
    setError(error, tooLong());
    return false;
  }
  UErrorCode status = U_ZERO_ERROR;
  uregex_setText(expression_, icuText(text), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) {
    setError(error, matchError(status));
    return false;
  }
  return true;
}

// The engine keeps a pointer to the text it was given; point it at static storage before the
// caller's buffer goes away.
void Regex::detachText() const {
  UErrorCode status = U_ZERO_ERROR;
  uregex_setText(expression_, kEmptyText, 0, &status);
}

bool Regex::findNext(int64_t from, bool first, std::optional<RegexMatch>& match, Error* error) const {
  UErrorCode status = U_ZERO_ERROR;
  UBool found = first ? uregex_find(expression_, static_cast<int32_t>(from), &status)
                      : uregex_findNext(expression_, &status);
  if (U_FAILURE(status)) {
    setError(error, matchError(status));
    return false;
  }
  if (!found) {
    match.reset();
    return true;
  }
  RegexMatch result;
  result.groups.reserve(groupCount_ + 1);
  for (size_t group = 0; group <= groupCount_; ++group) {
    status = U_ZERO_ERROR;
    int32_t start = uregex_start(expression_, static_cast<int32_t>(group), &status);
    int32_t end = uregex_end(expression_, static_cast<int32_t>(group), &status);
    if (U_FAILURE(status) || start < 0) {
      result.groups.push_back(RegexRange{});
    } else {
      result.groups.push_back(RegexRange{start, static_cast<int64_t>(end) - start});
    }
  }
  match = std::move(result);
  return true;
}

bool Regex::matchesEntirely(std::u16string_view text, Error* error) const {
  std::lock_guard lock(mutex_);
  if (!setText(text, error)) return false;
  UErrorCode status = U_ZERO_ERROR;
  UBool matched = uregex_matches(expression_, 0, &status);
  detachText();
  if (U_FAILURE(status)) {
    setError(error, matchError(status));
    return false;
  }
  return matched;
}

std::optional<RegexMatch> Regex::firstMatch(std::u16string_view text, size_t from, Error* error) const {
  if (from > text.size()) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (!setText(text, error)) return std::nullopt;
  std::optional<RegexMatch> match;
  bool ok = findNext(static_cast<int64_t>(from), true, match, error);
  detachText();
  return ok ? match : std::nullopt;
}

bool Regex::contains(std::u16string_view text, Error* error) const {
  return firstMatch(text, 0, error).has_value();
}

bool Regex::contains(std::string_view utf8Text, Error* error) const {
  return contains(std::u16string_view(utf8ToUtf16(utf8Text)), error);
}

bool Regex::matchesEntirely(std::string_view utf8Text, Error* error) const {
  return matchesEntirely(std::u16string_view(utf8ToUtf16(utf8Text)), error);
}

std::vector<RegexMatch> Regex::allMatches(std::u16string_view text, Error* error) const {
  std::lock_guard lock(mutex_);
  std::vector<RegexMatch> matches;
  if (!setText(text, error)) return matches;
  std::optional<RegexMatch> match;
  for (bool first = true;; first = false) {
    if (!findNext(0, first, match, error)) {
      matches.clear();
      break;
    }
    if (!match) break;
    matches.push_back(std::move(*match));
  }
  detachText();
  return matches;
}

std::u16string Regex::replace(std::u16string_view text, std::u16string_view replacementTemplate, bool all,
                              Error* error) const {
  if (replacementTemplate.size() > kMaxIcuLength) {
    setError(error, tooLong());
    return std::u16string(text);
  }
  std::lock_guard lock(mutex_);
  if (!setText(text, error)) return std::u16string(text);
  auto run = [&](UChar* destination, int32_t capacity, UErrorCode* status) {
    const UChar* replacement = icuText(replacementTemplate);
    auto length = static_cast<int32_t>(replacementTemplate.size());
    return all ? uregex_replaceAll(expression_, replacement, length, destination, capacity, status)
               : uregex_replaceFirst(expression_, replacement, length, destination, capacity, status);
  };
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = run(nullptr, 0, &status);
  std::u16string result;
  if (status == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(status)) {
    result.assign(static_cast<size_t>(needed), u'\0');
    status = U_ZERO_ERROR;
    // The capacity includes room for ICU's terminating zero, which is then dropped.
    result.push_back(u'\0');
    run(reinterpret_cast<UChar*>(result.data()), needed + 1, &status);
    result.pop_back();
  }
  detachText();
  if (U_FAILURE(status)) {
    if (status == U_REGEX_INVALID_CAPTURE_GROUP_NAME || status == U_INDEX_OUTOFBOUNDS_ERROR ||
        status == U_REGEX_BAD_ESCAPE_SEQUENCE) {
      setError(error, regexError(RegexError::InvalidReplacement, status,
                                 "The replacement template refers to a missing group"));
    } else {
      setError(error, matchError(status));
    }
    return std::u16string(text);
  }
  return result;
}

std::vector<std::u16string> Regex::split(std::u16string_view text, size_t limit, Error* error) const {
  std::vector<std::u16string> pieces;
  if (limit == 0) return pieces;
  std::lock_guard lock(mutex_);
  if (!setText(text, error)) return pieces;
  const auto size = static_cast<int64_t>(text.size());
  int64_t pieceStart = 0;
  int64_t searchFrom = 0;
  std::optional<RegexMatch> match;
  bool failed = false;
  while (searchFrom < size && pieces.size() < limit) {
    if (!findNext(searchFrom, true, match, error)) {
      failed = true;
      break;
    }
    if (!match || match->range().start >= size) break;
    const RegexRange cut = match->range();
    if (cut.end() == pieceStart) {
      // An empty match where the current piece begins would give an empty piece forever.
      searchFrom = cut.start + 1;
      continue;
    }
    pieces.emplace_back(text.substr(static_cast<size_t>(pieceStart),
                                    static_cast<size_t>(cut.start - pieceStart)));
    pieceStart = cut.end();
    searchFrom = cut.length == 0 ? cut.end() + 1 : cut.end();
  }
  detachText();
  if (failed) return {};
  if (pieces.size() < limit) pieces.emplace_back(text.substr(static_cast<size_t>(pieceStart)));
  return pieces;
}

std::u16string Regex::escapedTemplate(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    if (c == u'$' || c == u'\\') out.push_back(u'\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace platform
