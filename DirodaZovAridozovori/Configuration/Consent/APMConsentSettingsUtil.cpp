#include "APMConsentSettingsUtil.h"

#include <cctype>
#include <map>

#include "platform/Bundle.h"
#include "platform/Unicode.h"

namespace {

using platform::Dictionary;
using platform::Object;
using Util = APMConsentSettingsUtil;
using Vocabulary = APMConsentVocabulary;

constexpr const char* kQueueLabel = "APMConsentSettingsUtilQueue";
constexpr int64_t kInitialVersion = 1;
constexpr const char* kStorageSuffix = "_storage";

// Touched only inside blocks on the consent queue.
struct ConsentState {
  std::optional<Dictionary> consentSettings;
  std::optional<Dictionary> defaultSettings;
  std::optional<Dictionary> delegatedSettings;
  std::optional<Dictionary> regionalDefaults;
  int64_t consentSource = Vocabulary::kSourceNone;
  int64_t version = kInitialVersion;
  std::optional<std::map<std::string, int64_t>> diagnosticSources;
};

// Leaked on purpose, like the queue and the type list: blocks queued before the host quits still run
// while the process tears down its statics.
ConsentState& state() {
  static auto* instance = new ConsentState;
  return *instance;
}

template <typename Result>
Result readOnQueue(Result (*body)(const ConsentState&)) {
  Result result{};
  Util::serialQueue()->sync([&] { result = body(state()); });
  return result;
}

void writeOnQueue(std::function<void(ConsentState&)> body) {
  Util::serialQueue()->async([body = std::move(body)] { body(state()); });
}

const Object* lookup(const std::optional<Dictionary>& dictionary, const std::string& key) {
  return dictionary ? platform::find(*dictionary, key) : nullptr;
}

// Stored values are compared lower-cased; a value that is not a string never matches.
bool hasValue(const Object* value, const char* expected) {
  const std::string* text = value ? value->asString() : nullptr;
  return text && platform::toLower(std::string_view(*text)) == expected;
}

bool followsRegionalPolicy(const std::string& type) {
  return type == Vocabulary::kAdUserData || type == Vocabulary::kAdPersonalization;
}

bool passesEUConsentPolicyTest(const std::string& type, const Object* value) {
  return followsRegionalPolicy(type) && hasValue(value, Vocabulary::kEUConsentPolicy);
}

// What "eu_consent_policy" resolves to for a type. The fallback for the two regional types is
// "denied": without a regional verdict, the stricter answer is the safe one.
Object regionalDefault(const ConsentState& s, const std::string& type) {
  if (const Object* value = lookup(s.regionalDefaults, type)) return *value;
  return followsRegionalPolicy(type) ? Vocabulary::kDenied : Vocabulary::kGranted;
}

// The consent value of a type, with "eu_consent_policy" resolved; null when unset.
Object resolvedConsentValue(const ConsentState& s, const std::string& type) {
  const Object* value = lookup(s.consentSettings, type);
  if (!value) return Object();
  if (passesEUConsentPolicyTest(type, value)) return regionalDefault(s, type);
  return *value;
}

void resetDiagnosticSources(ConsentState& s) {
  std::map<std::string, int64_t> codes;
  for (const std::string& type : Vocabulary::consentTypes()) codes[type] = Vocabulary::kDiagnosticNone;
  s.diagnosticSources = std::move(codes);
}

void ensureDiagnosticSources(ConsentState& s) {
  if (!s.diagnosticSources) resetDiagnosticSources(s);
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void refreshDiagnosticSources(ConsentState& s, bool takeCodeFromSource) {
  ensureDiagnosticSources(s);
  auto& codes = *s.diagnosticSources;
  for (const std::string& type : Vocabulary::consentTypes()) {
    if (const Object* value = lookup(s.consentSettings, type)) {
      int64_t code = takeCodeFromSource ? Vocabulary::diagnosticCodeForConsentSource(s.consentSource) : codes[type];
      codes[type] = passesEUConsentPolicyTest(type, value) ? Vocabulary::kDiagnosticEUConsentPolicy : code;
    } else if (type == Vocabulary::kAdUserData && lookup(s.delegatedSettings, type)) {
      codes[type] = Vocabulary::kDiagnosticDelegated;
    } else if (lookup(s.defaultSettings, type) && !endsWith(type, kStorageSuffix)) {
      codes[type] = Vocabulary::kDiagnosticFromDefaults;
    } else {
      codes[type] = Vocabulary::kDiagnosticNotSet;
    }
  }
}

void mergeSettings(ConsentState& s, const Dictionary& settings) {
  Dictionary merged = s.consentSettings.value_or(Dictionary());
  for (const auto& [key, value] : settings) merged[key] = value;
  s.consentSettings = std::move(merged);
}

bool isDenied(const ConsentState& s, const char* type) {
  return hasValue(lookup(s.consentSettings, type), Vocabulary::kDenied);
}

bool adUserDataDenied(const ConsentState& s) {
  Object value = resolvedConsentValue(s, Vocabulary::kAdUserData);
  if (value.isNull()) {
    const Object* delegate = lookup(s.delegatedSettings, Vocabulary::kAdUserData);
    if (delegate && delegate->isString()) {
      if (const Object* delegated = lookup(s.consentSettings, delegate->stringValue())) {
        return hasValue(delegated, Vocabulary::kDenied);
      }
    }
    if (const Object* fallback = lookup(s.defaultSettings, Vocabulary::kAdUserData)) value = *fallback;
  }
  return hasValue(&value, Vocabulary::kDenied);
}

bool sourcesRankEqual(int64_t a, int64_t b) {
  if (a == b) return true;
  return (a == Vocabulary::kSourceTCF && b == Vocabulary::kSourcePublicAPI) ||
         (a == Vocabulary::kSourcePublicAPI && b == Vocabulary::kSourceTCF);
}

char signalFor(const ConsentState& s, const char* type) {
  const Object* value = lookup(s.consentSettings, type);
  if (hasValue(value, Vocabulary::kGranted)) return '1';
  if (hasValue(value, Vocabulary::kDenied)) return '0';
  return '-';
}

std::string valueText(const Object& value) { return value.isString() ? value.stringValue() : value.description(); }

// The value the summary shows for a type that the consent settings hold.
std::string shownValue(const ConsentState& s, const std::string& type, const Object& value) {
  if (passesEUConsentPolicyTest(type, &value)) return valueText(regionalDefault(s, type)) + " (eu_consent_policy)";
  return valueText(value);
}

// NSString-style truth of a text: after blanks, an optional sign and leading zeros, "Y", "T" or a
// non-zero digit means true.
bool textTruth(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<std::string> plistConsentValue(const std::string& type, const Object& value) {
  if (value.isString()) {
    if (followsRegionalPolicy(type) && platform::equalsIgnoringCase(value.stringValue(), Vocabulary::kEUConsentPolicy)) {
      return std::string(Vocabulary::kEUConsentPolicy);
    }
    return std::string(textTruth(value.stringValue()) ? Vocabulary::kGranted : Vocabulary::kDenied);
  }
  if (value.isNumber()) return std::string(value.boolValue() ? Vocabulary::kGranted : Vocabulary::kDenied);
  return std::nullopt;
}

}  // namespace

const std::shared_ptr<platform::DispatchQueue>& APMConsentSettingsUtil::serialQueue() {
  // A function-local static is created exactly once even when several threads arrive together.
  static const auto* queue = new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::create(kQueueLabel));
  return *queue;
}

std::optional<Dictionary> APMConsentSettingsUtil::consentSettings() {
  return readOnQueue<std::optional<Dictionary>>([](const ConsentState& s) { return s.consentSettings; });
}

std::optional<Dictionary> APMConsentSettingsUtil::defaultSettings() {
  return readOnQueue<std::optional<Dictionary>>([](const ConsentState& s) { return s.defaultSettings; });
}

std::optional<Dictionary> APMConsentSettingsUtil::delegatedSettings() {
  return readOnQueue<std::optional<Dictionary>>([](const ConsentState& s) { return s.delegatedSettings; });
}

std::optional<Dictionary> APMConsentSettingsUtil::regionalDefaults() {
  return readOnQueue<std::optional<Dictionary>>([](const ConsentState& s) { return s.regionalDefaults; });
}

int64_t APMConsentSettingsUtil::consentSource() {
  return readOnQueue<int64_t>([](const ConsentState& s) { return s.consentSource; });
}

int64_t APMConsentSettingsUtil::version() {
  return readOnQueue<int64_t>([](const ConsentState& s) { return s.version; });
}

void APMConsentSettingsUtil::setConsentSettings(std::optional<Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](ConsentState& s) {
    s.consentSettings = settings;
    if (!settings) {
      s.consentSource = Vocabulary::kSourceNone;
      refreshDiagnosticSources(s, true);
    }
  });
}

void APMConsentSettingsUtil::setConsentSource(int64_t source) {
  writeOnQueue([source](ConsentState& s) {
    s.consentSource = source;
    refreshDiagnosticSources(s, true);
  });
}

void APMConsentSettingsUtil::setDefaultSettings(std::optional<Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](ConsentState& s) { s.defaultSettings = settings; });
}

void APMConsentSettingsUtil::setDelegatedSettings(std::optional<Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](ConsentState& s) { s.delegatedSettings = settings; });
}

void APMConsentSettingsUtil::setRegionalDefaults(std::optional<Dictionary> settings) {
  writeOnQueue([settings = std::move(settings)](ConsentState& s) { s.regionalDefaults = settings; });
}

void APMConsentSettingsUtil::setVersion(int64_t version) {
  if (version != 1 && version != 2) return;
  writeOnQueue([version](ConsentState& s) { s.version = version; });
}

void APMConsentSettingsUtil::updateSettings(Dictionary settings) {
  writeOnQueue([settings = std::move(settings)](ConsentState& s) { mergeSettings(s, settings); });
}

void APMConsentSettingsUtil::updateSettings(Dictionary settings, int64_t consentSource) {
  writeOnQueue([settings = std::move(settings), consentSource](ConsentState& s) {
    mergeSettings(s, settings);
    s.consentSource = consentSource;
    ensureDiagnosticSources(s);
    int64_t code = Vocabulary::diagnosticCodeForConsentSource(consentSource);
    for (const auto& entry : settings) (*s.diagnosticSources)[entry.first] = code;
  });
}

void APMConsentSettingsUtil::setDiagnosticSource(int64_t code, const std::string& consentType) {
  writeOnQueue([code, consentType](ConsentState& s) {
    ensureDiagnosticSources(s);
    (*s.diagnosticSources)[consentType] = code;
  });
}

void APMConsentSettingsUtil::unsetAdPersonalization() {
  writeOnQueue([](ConsentState& s) {
    if (!lookup(s.consentSettings, Vocabulary::kAdPersonalization)) return;
    s.consentSettings->erase(Vocabulary::kAdPersonalization);
    ensureDiagnosticSources(s);
    (*s.diagnosticSources)[Vocabulary::kAdPersonalization] = Vocabulary::kDiagnosticNone;
  });
}

void APMConsentSettingsUtil::clearAllSettings() {
  writeOnQueue([](ConsentState& s) {
    s.consentSource = Vocabulary::kSourceNone;
    s.consentSettings.reset();
    s.defaultSettings.reset();
    s.delegatedSettings.reset();
    s.regionalDefaults.reset();
    resetDiagnosticSources(s);
  });
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
  return readOnQueue<bool>([](const ConsentState& s) { return isDenied(s, Vocabulary::kAdStorage); });
}

bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
  return readOnQueue<bool>([](const ConsentState& s) { return isDenied(s, Vocabulary::kAnalyticsStorage); });
}

bool APMConsentSettingsUtil::isAdUserDataDenied() { return readOnQueue<bool>(adUserDataDenied); }

std::optional<int64_t> APMConsentSettingsUtil::adPersonalization() {
  return readOnQueue<std::optional<int64_t>>([](const ConsentState& s) -> std::optional<int64_t> {
    Object value = resolvedConsentValue(s, Vocabulary::kAdPersonalization);
    if (value.isNull()) {
      if (const Object* fallback = lookup(s.defaultSettings, Vocabulary::kAdPersonalization)) value = *fallback;
    }
    if (hasValue(&value, Vocabulary::kDenied)) return 0;
    if (hasValue(&value, Vocabulary::kGranted)) return 1;
    return std::nullopt;
  });
}

bool APMConsentSettingsUtil::didAdUserDataConsentChange(bool previouslyDenied) {
  return isAdUserDataDenied() != previouslyDenied;
}

bool APMConsentSettingsUtil::isConsentSourceEqualPriority(int64_t source) {
  int64_t current = consentSource();
  return sourcesRankEqual(current, source);
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(int64_t source) {
  int64_t current = consentSource();
  return sourcesRankEqual(current, source) || current >= source;
}

std::string APMConsentSettingsUtil::consentSignals() {
  return readOnQueue<std::string>([](const ConsentState& s) {
    return std::string("G1") + signalFor(s, Vocabulary::kAdStorage) + signalFor(s, Vocabulary::kAnalyticsStorage);
  });
}

std::string APMConsentSettingsUtil::consentDiagnostics() {
  std::string out;
  // Refreshing writes the diagnostics map, so this reader holds the queue for the whole body.
  serialQueue()->sync([&out] {
    ConsentState& s = state();
    refreshDiagnosticSources(s, false);
    out.push_back('1');
    bool nothingConfigured = !s.defaultSettings && !s.delegatedSettings;
    for (const std::string& type : Vocabulary::consentTypes()) {
      int64_t code = (*s.diagnosticSources)[type];
      if (nothingConfigured && !lookup(s.consentSettings, type)) code = Vocabulary::kDiagnosticNotSet;
      out += std::to_string(code);
    }
  });
  return out;
}

std::string APMConsentSettingsUtil::description() {
  return readOnQueue<std::string>([](const ConsentState& s) {
    std::string out;
    for (const char* type : {Vocabulary::kAdStorage, Vocabulary::kAnalyticsStorage}) {
      const Object* value = lookup(s.consentSettings, type);
      std::string shown = value ? shownValue(s, type, *value) : Vocabulary::kGranted;
      out += std::string(out.empty() ? "" : " ") + type + " is " + shown + ".";
    }
    for (const char* type : {Vocabulary::kAdUserData, Vocabulary::kAdPersonalization}) {
      if (const Object* value = lookup(s.consentSettings, type)) {
        out += std::string(" ") + type + " is " + shownValue(s, type, *value) + ".";
      }
    }
    return out;
  });
}

Dictionary APMConsentSettingsUtil::consentSettingsFromDictionary(const Dictionary& dictionary) {
  Dictionary result;
  for (const std::string& type : Vocabulary::consentTypes()) {
    if (const Object* value = platform::find(dictionary, type)) result[type] = *value;
  }
  return result;
}

Dictionary APMConsentSettingsUtil::consentSettingsFromPlist() {
  return consentSettingsFromInfoDictionary(platform::Bundle::infoDictionary());
}

Dictionary APMConsentSettingsUtil::consentSettingsFromInfoDictionary(const Dictionary& info) {
  struct PlistKey {
    const char* key;
    const char* type;
    bool stringsOnly;
  };
  static constexpr PlistKey kKeys[] = {
      {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", Vocabulary::kAdStorage, false},
      {"DIRODA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", Vocabulary::kAnalyticsStorage, false},
      {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", Vocabulary::kAdUserData, false},
      {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", Vocabulary::kAdPersonalization, true},
  };
  Dictionary result;
  for (const PlistKey& entry : kKeys) {
    const Object* value = platform::find(info, entry.key);
    if (!value || (entry.stringsOnly && !value->isString())) continue;
    if (auto consent = plistConsentValue(entry.type, *value)) result[entry.type] = *consent;
  }
  return result;
}

void APMConsentSettingsUtil::reset() {
  serialQueue()->sync([] { state() = ConsentState(); });
}
