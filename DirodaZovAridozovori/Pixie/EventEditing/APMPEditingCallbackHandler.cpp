#include "APMPEditingCallbackHandler.h"

#include "APMPEventEditingErrors.h"
#include "APMPObjectManager.h"

bool APMPEditingCallbackHandler::registerWithPriority(int64_t priority, APMPRuntimeValue callback,
                                                      const std::string& ruleType, platform::Error* error) {
  if (count() >= kMaxCallbacks) {
    APMPSetEditingError(error, kAPMPEditingErrorTooManyCallbacks);
    return false;
  }
  Table* table = nullptr;
  if (ruleType == "create") {
    table = &createCallbacks_;
  } else if (ruleType == "edit") {
    table = &editCallbacks_;
  } else {
    APMPSetEditingError(error, kAPMPEditingErrorUnknownRuleType);
    return false;
  }
  // Priorities are 32-bit; the moved ones count on in 64 bits, so they never wrap around.
  if (table->count(priority)) priority = table->rbegin()->first + 1;
  table->emplace(priority, std::move(callback));
  return true;
}

std::vector<APMPEditingCallbackHandler::Callback> APMPEditingCallbackHandler::snapshot(const Table& table) {
  std::vector<Callback> callbacks;
  callbacks.reserve(table.size());
  for (const auto& [priority, function] : table) callbacks.push_back({priority, function});
  return callbacks;
}

void APMPEditingCallbackHandler::markChildren(APMPMarker& marker) {
  for (const auto& [priority, function] : editCallbacks_) marker.mark(function);
  for (const auto& [priority, function] : createCallbacks_) marker.mark(function);
}

void APMPEditingCallbackHandler::clear() {
  Table edit, create;
  edit.swap(editCallbacks_);
  create.swap(createCallbacks_);
}
