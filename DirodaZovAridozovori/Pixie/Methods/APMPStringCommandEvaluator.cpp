#include "Methods/APMPStringCommandEvaluator.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "APMPEvaluator.h"
#include "APMPFunctionValue.h"
#include "APMPObjectManager.h"
#include "Methods/APMPStringOperations.h"
#include "platform/ProcessInfo.h"
#include "platform/Regex.h"
#include "platform/Unicode.h"

namespace {

using Arguments = APMPArguments;

bool failed(const platform::Error* error) { return APMPFailed(error); }

// Program texts are generalized UTF-8: a lone surrogate that a program cut out of a pair keeps its
// own three-byte form, so indices stay stable across method calls.
std::u16string unitsOf(std::string_view text) { return platform::generalizedUtf8ToUtf16(text); }

APMPRuntimeValue makeString(std::u16string_view units, platform::Error* error) {
  return APMPMakeString(platform::utf16ToGeneralizedUtf8(units), error);
}

std::optional<std::u16string> textArgument(const APMPRuntimeValue& value, platform::Error* error) {
  std::string text = value.stringValueOrError(error);
  if (failed(error)) return std::nullopt;
  return unitsOf(text);
}

// The argument's text, or "undefined" when it is absent.
std::optional<std::u16string> textArgumentOrUndefined(const Arguments& arguments, size_t index,
                                                      platform::Error* error) {
  if (index >= arguments.size()) return std::u16string(u"undefined");
  return textArgument(arguments[index], error);
}

// ToInteger of the argument's number form; nothing (no error) when absent, nothing with the error
// set when the form fails.
bool integerArgument(const Arguments& arguments, size_t index, std::optional<double>& out,
                     platform::Error* error) {
  out.reset();
  if (index >= arguments.size()) return true;
  double number = arguments[index].doubleValueOrError(error);
  if (failed(error)) return false;
  out = APMPToInteger(number);
  return true;
}

APMPRuntimeValue indexResult(int64_t index) { return APMPRuntimeValue::number(static_cast<double>(index)); }

APMPRuntimeValue selfValue(const APMPStringValue& receiver) {
  // Strings are immutable: handing out another reference to the receiver is safe.
  return APMPRuntimeValue::object(APMPValueKind::String, const_cast<APMPStringValue*>(&receiver));
}

APMPRuntimeValue charAt(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                        platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 1, error)) return {};
  std::optional<double> index;
  if (!integerArgument(arguments, 0, index, error)) return {};
  return makeString(APMPStringCharAt(unitsOf(receiver.value()), index.value_or(0)), error);
}

APMPRuntimeValue concat(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                        platform::Error* error) {
  std::string text = receiver.value();
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string piece = arguments[i].stringValueOrError(error);
    if (failed(error)) return {};
    // Refused as soon as the limit is passed, before the text grows any further.
    if (text.size() + piece.size() > kAPMPMaxStringLength) {
      APMPSetError(error, kAPMPErrorResourceLimit);
      return {};
    }
    text += piece;
  }
  // Two halves of a pair joined here become the one four-byte character, so the text leaves the
  // runtime as ordinary UTF-8.
  if (text.find('\xED') != std::string::npos) {
    text = platform::utf16ToGeneralizedUtf8(platform::generalizedUtf8ToUtf16(text));
  }
  return APMPMakeString(std::move(text), error);
}

APMPRuntimeValue hasOwnProperty(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                                platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 1, error)) return {};
  std::string name = arguments[0].stringValueOrError(error);
  if (failed(error)) return {};
  if (name == "length") return APMPRuntimeValue::boolean(true);
  double number = arguments[0].doubleValueOrError(error);
  if (failed(error)) return {};
  return APMPRuntimeValue::boolean(APMPStringHasIndex(unitsOf(receiver.value()), number));
}

APMPRuntimeValue indexOf(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                         platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  std::optional<std::u16string> search = textArgumentOrUndefined(arguments, 0, error);
  if (!search) return {};
  std::optional<double> position;
  if (!integerArgument(arguments, 1, position, error)) return {};
  return indexResult(APMPStringIndexOf(unitsOf(receiver.value()), *search, position.value_or(0)));
}

APMPRuntimeValue lastIndexOf(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                             platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  std::optional<std::u16string> search = textArgumentOrUndefined(arguments, 0, error);
  if (!search) return {};
  // Unlike elsewhere, NaN here means "from the end", so the raw number is read before ToInteger.
  double position = INFINITY;
  if (arguments.size() == 2) {
    double number = arguments[1].doubleValueOrError(error);
    if (failed(error)) return {};
    if (!std::isnan(number)) position = APMPToInteger(number);
  }
  return indexResult(APMPStringLastIndexOf(unitsOf(receiver.value()), *search, position));
}

// Compiles a pattern from program text; an invalid pattern reports the expression engine's own error.
// Long matches are charged to the program's instruction budget as they run, so the regex work of one
// event is bounded however many calls the program makes.
std::shared_ptr<platform::Regex> compilePattern(std::u16string_view pattern, APMPScope& scope,
                                                platform::Error* error) {
  platform::RegexLimits limits;
  limits.timeSteps = kAPMPRegexTimeSteps;
  limits.onProgress = [runtime = scope.runtime(), charged = int32_t{0}](int32_t steps) mutable {
    platform::Error exhausted;
    for (; charged < steps; ++charged) {
      for (uint32_t i = 0; i < kAPMPInstructionsPerRegexStep; ++i) {
        if (!runtime->countInstruction(&exhausted)) return false;
      }
    }
    return true;
  };
  return platform::Regex::compile(pattern, 0, error, limits);
}

// Matching work beyond a limit is an error of the program, not of the expression engine.
void reportMatchFailure(platform::Error* error) {
  if (error->domain != platform::kRegexErrorDomain) return;
  switch (static_cast<platform::RegexError>(error->code)) {
    case platform::RegexError::TimedOut:
    case platform::RegexError::StackOverflow:
      APMPSetError(error, kAPMPErrorResourceLimit);
      break;
    case platform::RegexError::Stopped:
      APMPSetError(error, kAPMPErrorInstructionLimit);
      break;
    default:
      break;
  }
}

std::optional<platform::RegexMatch> firstMatch(std::u16string_view text, std::u16string_view pattern,
                                               APMPScope& scope, bool& ok, platform::Error* error) {
  ok = false;
  auto regex = compilePattern(pattern, scope, error);
  if (!regex) return std::nullopt;
  platform::Error matchError;
  auto match = regex->firstMatch(text, 0, &matchError);
  if (!matchError.empty()) {
    *error = std::move(matchError);
    reportMatchFailure(error);
    return std::nullopt;
  }
  ok = true;
  return match;
}

APMPRuntimeValue match(const APMPStringValue& receiver, const Arguments& arguments, APMPScope& scope,
                       platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 1, error)) return {};
  std::u16string pattern;
  if (!arguments.empty()) {
    std::optional<std::u16string> text = textArgument(arguments[0], error);
    if (!text) return {};
    pattern = std::move(*text);
  }
  std::u16string matched;
  if (!pattern.empty()) {
    const std::u16string text = unitsOf(receiver.value());
    bool ok = false;
    std::optional<platform::RegexMatch> found = firstMatch(text, pattern, scope, ok, error);
    if (!ok) return {};
    if (!found) return APMPRuntimeValue::null();
    matched = text.substr(static_cast<size_t>(found->range().start), static_cast<size_t>(found->range().length));
  }
  APMPRuntimeValue piece = makeString(matched, error);
  if (failed(error)) return {};
  return APMPObjectManager::arrayValueWithArray(APMPValueList{piece}, scope);
}

APMPRuntimeValue search(const APMPStringValue& receiver, const Arguments& arguments, APMPScope& scope,
                        platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 1, error)) return {};
  std::optional<std::u16string> pattern = textArgumentOrUndefined(arguments, 0, error);
  if (!pattern) return {};
  if (pattern->empty()) return indexResult(0);
  bool ok = false;
  std::optional<platform::RegexMatch> found = firstMatch(unitsOf(receiver.value()), *pattern, scope, ok, error);
  if (!ok) return {};
  return indexResult(found ? found->range().start : -1);
}

APMPRuntimeValue replace(const APMPStringValue& receiver, const Arguments& arguments, APMPScope& scope,
                         platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  std::optional<std::u16string> searchText = textArgumentOrUndefined(arguments, 0, error);
  if (!searchText) return {};
  const std::u16string text = unitsOf(receiver.value());
  size_t position = searchText->empty() ? 0 : text.find(*searchText);
  if (position == std::u16string::npos) return selfValue(receiver);

  std::u16string replacement = u"undefined";
  if (arguments.size() == 2) {
    APMPRuntimeValue produced = arguments[1];
    if (APMPFunctionValue* callback = arguments[1].asFunction()) {
      APMPRuntimeValue searched = makeString(*searchText, error);
      if (failed(error)) return {};
      std::vector<APMPRuntimeValue> values{searched, indexResult(static_cast<int64_t>(position)),
                                           selfValue(receiver)};
      produced = callback->invokeWithArguments(values, scope, error);
      if (failed(error)) return {};
    }
    std::optional<std::u16string> converted = textArgument(produced, error);
    if (!converted) return {};
    replacement = std::move(*converted);
  }
  std::u16string result = text;
  result.replace(position, searchText->size(), replacement);
  return makeString(result, error);
}

APMPRuntimeValue slice(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                       platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  std::optional<double> start;
  std::optional<double> end;
  if (!integerArgument(arguments, 0, start, error) || !integerArgument(arguments, 1, end, error)) return {};
  return makeString(APMPStringSlice(unitsOf(receiver.value()), start, end), error);
}

APMPRuntimeValue substring(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                           platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  std::optional<double> start;
  std::optional<double> end;
  if (!integerArgument(arguments, 0, start, error) || !integerArgument(arguments, 1, end, error)) return {};
  return makeString(APMPStringSubstring(unitsOf(receiver.value()), start, end), error);
}

APMPRuntimeValue split(const APMPStringValue& receiver, const Arguments& arguments, APMPScope& scope,
                       platform::Error* error) {
  if (!APMPCheckMaximumArgumentCount(arguments.size(), 2, error)) return {};
  if (receiver.value().empty() || arguments.empty()) {
    return APMPObjectManager::arrayValueWithArray(APMPValueList{selfValue(receiver)}, scope);
  }
  std::optional<std::u16string> separator = textArgument(arguments[0], error);
  if (!separator) return {};
  uint64_t limit = UINT64_MAX;
  if (arguments.size() == 2) {
    double number = arguments[1].doubleValueOrError(error);
    if (failed(error)) return {};
    limit = APMPToUint32(number);
  }
  auto pieces = APMPStringSplit(unitsOf(receiver.value()), *separator, limit, kAPMPMaxArrayLength);
  if (!pieces) {
    APMPSetError(error, kAPMPErrorResourceLimit);
    return {};
  }
  APMPValueList values;
  values.reserve(pieces->size());
  for (const std::u16string& piece : *pieces) {
    values.push_back(makeString(piece, error));
    if (failed(error)) return {};
  }
  return APMPObjectManager::arrayValueWithArray(std::move(values), scope);
}

using Transform = std::u16string (*)(std::u16string_view);

APMPRuntimeValue transformed(const APMPStringValue& receiver, const Arguments& arguments, Transform transform,
                             platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return makeString(transform(unitsOf(receiver.value())), error);
}

std::u16string lowerRoot(std::u16string_view text) { return platform::toLower(text); }
std::u16string upperRoot(std::u16string_view text) { return platform::toUpper(text); }
// The user's current locale is their most preferred language; the special rules it may bring
// (Turkish dotted i, Lithuanian accents) are the point of the locale-aware forms.
std::string currentLocale() {
  std::vector<std::string> languages = platform::ProcessInfo::preferredLanguages();
  return languages.empty() ? std::string() : languages.front();
}
std::u16string lowerLocale(std::u16string_view text) { return platform::toLower(text, currentLocale()); }
std::u16string upperLocale(std::u16string_view text) { return platform::toUpper(text, currentLocale()); }

APMPRuntimeValue toLowerCase(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                             platform::Error* error) {
  return transformed(receiver, arguments, lowerRoot, error);
}
APMPRuntimeValue toUpperCase(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                             platform::Error* error) {
  return transformed(receiver, arguments, upperRoot, error);
}
APMPRuntimeValue toLocaleLowerCase(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                                   platform::Error* error) {
  return transformed(receiver, arguments, lowerLocale, error);
}
APMPRuntimeValue toLocaleUpperCase(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                                   platform::Error* error) {
  return transformed(receiver, arguments, upperLocale, error);
}
APMPRuntimeValue trim(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                      platform::Error* error) {
  return transformed(receiver, arguments, platform::trimWhitespaceAndNewlines, error);
}

APMPRuntimeValue toString(const APMPStringValue& receiver, const Arguments& arguments, APMPScope&,
                          platform::Error* error) {
  if (!APMPCheckArgumentCount(arguments.size(), 0, error)) return {};
  return selfValue(receiver);
}

}  // namespace

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& instance = *new APMPStringCommandEvaluator;
  return instance;
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator()
    : handlers_{
          {"charAt", charAt},
          {"concat", concat},
          {"hasOwnProperty", hasOwnProperty},
          {"indexOf", indexOf},
          {"lastIndexOf", lastIndexOf},
          {"match", match},
          {"replace", replace},
          {"search", search},
          {"slice", slice},
          {"split", split},
          {"substring", substring},
          {"toLowerCase", toLowerCase},
          {"toLocaleLowerCase", toLocaleLowerCase},
          {"toUpperCase", toUpperCase},
          {"toLocaleUpperCase", toLocaleUpperCase},
          {"toString", toString},
          {"trim", trim},
      } {}

APMPRuntimeValue APMPStringCommandEvaluator::evaluateCommand(std::string_view name, const APMPStringValue& receiver,
                                                             std::span<const APMPRuntimeValue> arguments,
                                                             APMPScope& scope, platform::Error* error) const {
  platform::Error local;
  if (!error) error = &local;
  auto handler = handlers_.find(name);
  if (handler == handlers_.end()) {
    APMPSetError(error, kAPMPErrorNoSuchMethod);
    return {};
  }
  // Arguments may run code that drops every other reference to the receiver.
  APMPRuntimeValue keep = selfValue(receiver);
  APMPArguments evaluated;
  if (!APMPEvaluateArguments(arguments, scope, evaluated, error)) return {};
  // Every method reads the whole receiver (as UTF-16 units, or as a copy), so a loop of cheap-looking
  // calls on a long text is bounded by the work allowance like any other native scan.
  if (!APMPChargeWork(receiver.value().size(), error)) return {};
  return handler->second(receiver, evaluated, scope, error);
}

APMPRuntimeValue APMPStringMethodCall(const APMPStringValue& receiver, std::string_view method,
                                      std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                      platform::Error* error) {
  return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(method, receiver, arguments, scope, error);
}
