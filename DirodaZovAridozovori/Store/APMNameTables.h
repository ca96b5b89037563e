#pragma once
// The event, parameter and user-property name tables, and the small name helpers built on them.
// The tables are data (APMNameTables.cpp); every map is built once and never changes.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Object.h"

using APMNameMap = std::map<std::string, std::string>;

// The automatic in-app purchase event, which several rules single out.
inline constexpr const char* kAPMInAppPurchaseEventName = "_iap";

// Public event name to internal short name ("first_open" to "_f", "screen_view" to "_vs" …).
const APMNameMap& APMPublicToInternalEventNames();
// Internal short event name back to its public name.
const APMNameMap& APMInternalToPublicEventNames();
// Public parameter names to internal short names.
const APMNameMap& APMPublicToInternalParameterNames();
// Public user-property names to internal short names.
const APMNameMap& APMUserPropertyInternalNameMap();
// Reserved public event names that the application may log all the same: "ad_impression" to "_ai".
const APMNameMap& APMReservedEventNamesAllowedForPublicLogging();

// Names and prefixes the application may not use for events, parameters and user properties.
const std::vector<std::string>& APMReservedPublicEventNames();
const std::vector<std::string>& APMReservedPublicUserPropertyNames();
const std::vector<std::string>& APMReservedNamePrefixes();

// The internal name of a public event name when the table has one, else the name itself; and back.
std::string APMInternalEventName(const std::string& name);
std::string APMPublicEventName(const std::string& name);

// YES when the name does not begin with "_".
bool APMIsPublicName(const std::string& name);
bool APMIsErrorEvent(const std::string& name);
bool APMIsNotErrorEventName(const std::string& name);
bool APMIsPurchaseEventName(const std::string& name);
// "_assc", "_assr", or "_iap" whose "subscription" parameter is the integer 1.
class APMEvent;
bool APMIsSubscriptionEvent(const APMEvent& event);

// "_sn", "_sc" and "_si": the screen an event was logged on.
bool APMIsScreenParameterName(const std::string& name);
// YES when the parameters hold "_si", "_sc" or "_sn"; the dictionary of just those entries.
bool APMHasScreenParameters(const platform::Dictionary& parameters);
platform::Dictionary APMScreenParametersFromDictionary(const platform::Dictionary& parameters);
// The parameters without the keys that begin with "zad_".
platform::Dictionary APMParametersWithoutZadPrefix(const platform::Dictionary& parameters);

// Debug-log texts: "public (internal)" while debug logging applies (the monitor's debug mode,
// unless overridden), else the name as given; values are shown only in debug logging.
// Tests override the monitor with true or false; std::nullopt follows it again.
void APMSetDebugNameLogging(std::optional<bool> enabled);
std::string APMEventNameForLog(const std::string& name);
std::string APMUserPropertyNameForLog(const std::string& name);
std::string APMDescriptionForLog(const platform::Object& value);
