#include "APMBundlingTotals.h"

#include <algorithm>

#include "APMDatabase.h"
#include "APMNameTables.h"

APMDailyCounts* APMBundlingTotals::dailyCounts(platform::Error* error) {
  if (!state_.counts) {
    auto counts = database_.appMetadata().dailyCounts(error);
    if (!counts) return nullptr;
    state_.counts = *counts;
  }
  return &*state_.counts;
}

APMAppMetadata* APMBundlingTotals::appMetadata(platform::Error* error) {
  if (!state_.metadata) {
    auto metadata = database_.appMetadata().queryAppMetadata(error);
    if (!metadata) return nullptr;
    state_.metadata = *metadata;
  }
  return &*state_.metadata;
}

APMEventAggregates* APMBundlingTotals::eventAggregates(const std::string& name, platform::Error* error) {
  auto found = state_.aggregates.find(name);
  if (found != state_.aggregates.end()) return &found->second;
  platform::Error readError;
  auto stored = database_.eventAggregates().eventAggregatesWithName(name, &readError);
  if (!stored && !readError.empty()) {
    if (error) *error = readError;
    return nullptr;
  }
  // A name seen for the first time has no previous occurrence (last fire time 0).
  return &state_.aggregates.emplace(name, stored ? *stored : APMEventAggregates(name, 0, 0, 0, 0)).first->second;
}

std::optional<bool> APMBundlingTotals::hasCountedPurchase(platform::Error* error) {
  if (!state_.storedPurchase) {
    auto all = database_.eventAggregates().allEventAggregates(error);
    if (!all) return std::nullopt;
    state_.storedPurchase = std::any_of(all->begin(), all->end(), [](const auto& aggregates) {
      return APMIsPurchaseEventName(aggregates->name()) && aggregates->lifetimeCount() >= 1;
    });
  }
  if (*state_.storedPurchase) return true;
  return std::any_of(state_.aggregates.begin(), state_.aggregates.end(), [](const auto& entry) {
    return APMIsPurchaseEventName(entry.first) && entry.second.lifetimeCount() >= 1;
  });
}

bool APMBundlingTotals::writeAggregates(platform::Error* error) {
  for (const auto& [name, aggregates] : state_.aggregates) {
    if (!database_.eventAggregates().updateEventAggregates(aggregates, error)) return false;
  }
  state_.aggregates.clear();
  state_.storedPurchase.reset();
  return true;
}

bool APMBundlingTotals::writeDailyCounts(platform::Error* error) {
  if (!state_.countsChanged) return true;
  if (!database_.appMetadata().updateDailyCounts(*state_.counts, error)) return false;
  state_.countsChanged = false;
  return true;
}

bool APMBundlingTotals::writeAppMetadata(platform::Error* error) {
  if (!state_.metadataChanged) return true;
  if (!database_.appMetadata().updateAppMetadata(*state_.metadata, error)) return false;
  state_.metadataChanged = false;
  return true;
}
