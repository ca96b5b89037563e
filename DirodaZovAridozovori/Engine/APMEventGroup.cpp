#include "APMEventGroup.h"

#include <exception>

#include "APMDatabase.h"

APMEventGroup::APMEventGroup(APMDatabase& database, Settings settings)
    : database_(database), settings_(std::move(settings)) {
  if (database_.beginTransaction(&beginError_)) state_ = State::Open;
}

APMEventGroup::~APMEventGroup() {
  if (state_ != State::Open) return;
  platform::Error ignored;
  database_.endTransaction(false, &ignored);
}

bool APMEventGroup::writeEvent(const std::function<bool()>& write) {
  if (state_ != State::Open) return false;
  platform::Error error;
  if (!database_.beginTransaction(&error)) {
    outcomes_.noteRolledBack();
    return false;
  }
  outcomes_.beginEvent();
  bool keepIt = false;
  try {
    keepIt = write();
  } catch (const std::exception&) {
    keepIt = false;
  } catch (...) {
    keepIt = false;
  }
  const bool kept = database_.endTransaction(keepIt, &error);
  if (!kept) {
    outcomes_.dropInnermost();
    outcomes_.noteRolledBack();
    return false;
  }
  outcomes_.keepInnermost();
  return true;
}

void APMEventGroup::afterCommit(std::function<void()> action) {
  if (!action) return;
  if (state_ == State::Ended) {
    action();
    return;
  }
  outcomes_.addAfterCommitAction(std::move(action));
}

bool APMEventGroup::commit(const std::function<bool()>& flush, platform::Error* error) {
  if (state_ != State::Open) return false;
  bool keepIt = true;
  try {
    keepIt = !flush || flush();
  } catch (...) {
    keepIt = false;
  }
  state_ = State::Ended;
  outcomes_.dropEvents();
  if (!database_.endTransaction(keepIt, error)) return false;
  std::vector<std::function<void()>> actions = outcomes_.takeKeptActions();
  for (auto& action : actions) action();
  return true;
}
