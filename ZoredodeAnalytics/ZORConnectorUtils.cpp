#include "ZORConnectorUtils.h"

#include <algorithm>
#include <memory>

#include "APMNameTables.h"
#include "platform/Regex.h"

namespace {

bool contains(const std::set<std::string>& set, const std::string& member) { return set.count(member) != 0; }

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

const std::vector<std::shared_ptr<platform::Regex>>& userPropertyExpressions() {
  static const auto* expressions = [] {
    auto* compiled = new std::vector<std::shared_ptr<platform::Regex>>();
    for (const auto& pattern : ZORConnectorUtils::blocklistedUserPropertyPatterns()) {
      if (auto expression = platform::Regex::compile(pattern)) compiled->push_back(std::move(expression));
    }
    return compiled;
  }();
  return *expressions;
}

}  // namespace

const std::set<std::string>& ZORConnectorUtils::allowedListenerOrigins() {
  // Never destroyed: the connector queue may read these while the process exits.
  static const auto& origins = *new std::set<std::string>{"fiam", "crash", "clx"};
  return origins;
}

const std::set<std::string>& ZORConnectorUtils::blocklistedOrigins() {
  static const auto& origins = *new std::set<std::string>{"auto", "app", "am"};
  return origins;
}

const std::set<std::string>& ZORConnectorUtils::blocklistedEventNames() {
  static const auto& names = *new std::set<std::string>{"_e", "_f", kAPMInAppPurchaseEventName, "_s", "_au"};
  return names;
}

const std::set<std::string>& ZORConnectorUtils::blocklistedParameters() {
  static const auto& names = *new std::set<std::string>{"_r", "_dbg"};
  return names;
}

const std::set<std::string>& ZORConnectorUtils::blocklistedUserProperties() {
  static const auto& names = *new std::set<std::string>{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return names;
}

const std::vector<std::string>& ZORConnectorUtils::blocklistedUserPropertyPatterns() {
  static const auto& patterns = *new std::vector<std::string>{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"};
  return patterns;
}

const std::set<std::string>& ZORConnectorUtils::hiddenEventNames() {
  static const auto& names = *new std::set<std::string>{
      "_xa", "_xu", "_aq", "_aa", "_ai", "_ac", "campaign_details", "_iapx", "_ug",
      "_exp_set", "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
  return names;
}

bool ZORConnectorUtils::isOriginAllowed(const std::string& origin) { return !contains(blocklistedOrigins(), origin); }

bool ZORConnectorUtils::isAppOrigin(const std::string& origin) { return origin == "app" || startsWith(origin, "app+"); }

bool ZORConnectorUtils::isListenerOriginAllowed(const std::string& origin) {
  return contains(allowedListenerOrigins(), origin);
}

bool ZORConnectorUtils::isEventNameAllowedForListeners(const std::string& name) {
  return !contains(hiddenEventNames(), name);
}

bool ZORConnectorUtils::isEventName(const std::string& name, const std::string& allowedForListenerOrigin) {
  return name == "_vs" && allowedForListenerOrigin == "clx";
}

bool ZORConnectorUtils::shouldLogEventWithName(const std::string& name, const platform::Dictionary& parameters) {
  if (name.empty() || contains(blocklistedEventNames(), name)) return false;
  return std::none_of(blocklistedParameters().begin(), blocklistedParameters().end(),
                      [&](const std::string& blocked) { return parameters.count(blocked) != 0; });
}

bool ZORConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "fcm" || origin == "fiam";
  if (contains(blocklistedUserProperties(), name)) return false;
  const auto& expressions = userPropertyExpressions();
  return std::none_of(expressions.begin(), expressions.end(),
                      [&](const auto& expression) { return expression->contains(std::string_view(name)); });
}

bool ZORConnectorUtils::isUserPropertyAllowedForQuery(const std::string& name) {
  if (name.empty()) return false;
  if (name == "_fot") return true;
  return name[0] != '_';
}
