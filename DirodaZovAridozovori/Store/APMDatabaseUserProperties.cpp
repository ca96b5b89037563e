// User properties: the stored rows, what readers inside a transaction keep of them, and the
// changes that wait for the commit.
#include "APMDatabaseUserProperties.h"

#include <algorithm>
#include <limits>

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMStoreLog.h"

using platform::Object;

namespace {

constexpr const char* kLifetimeValuePrefix = "_ltv_";
// Rows still waiting are written after every stored one, so they sort after them when set at the
// same time.
constexpr int64_t kWaitingRowIDs = std::numeric_limits<int64_t>::max() / 2;

std::shared_ptr<APMUserAttribute> userAttributeFromRow(const APMSqliteStore::Record& row) {
  const Object* value = platform::find(row, "value");
  if (!value) return nullptr;
  std::optional<APMValue> converted;
  if (value->isString()) {
    converted = APMValue(value->stringValue());
  } else if (value->isDouble()) {
    converted = APMValue(value->doubleValue());
  } else if (value->isInteger()) {
    converted = APMValue(value->integerValue());
  }
  if (!converted) return nullptr;
  return std::make_shared<APMUserAttribute>(apm_rows::text(row, "origin"), apm_rows::text(row, "name"),
                                            std::move(*converted), apm_rows::real(row, "set_timestamp"));
}

bool isLifetimeValueName(const std::string& name) { return name.compare(0, 5, kLifetimeValuePrefix) == 0; }

bool refuseUserAttribute(const APMUserAttribute& attribute, platform::Error* error) {
  if (attribute.name().empty()) {
    return !APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty user property name");
  }
  if (attribute.value().isArray()) {
    return !APMFail(error, kAPMStoreErrorInvalidArgument, "User property values cannot be arrays");
  }
  return false;
}

}  // namespace

// MARK: - Versions

APMDatabaseVersion APMDatabaseUserProperties::userAttributeVersion(const std::string& name) const {
  uint64_t writes = userAttributesResetAt_;
  if (auto found = userAttributeWrittenAt_.find(name); found != userAttributeWrittenAt_.end()) {
    writes = std::max(writes, found->second);
  }
  return APMDatabaseVersion{writes, store_->transactions().rollbackCount()};
}

void APMDatabaseUserProperties::noteUserAttributeWrite(const std::string& name) {
  connection_->noteMetadataSourcesWrite();
  userAttributeWrittenAt_[name] = ++userAttributeWrites_;
}

void APMDatabaseUserProperties::noteStoredUserAttributeWrite(const std::string& name) {
  noteUserAttributeWrite(name);
  ++storedUserAttributeWrites_;
}

void APMDatabaseUserProperties::forgetStoredUserAttributes() {
  userAttributesResetAt_ = ++userAttributeWrites_;
  userAttributeWrittenAt_.clear();
  ++storedUserAttributeWrites_;
  storedUserAttributes_.reset();
}

// MARK: - Reading

const std::vector<APMDatabaseUserProperties::StoredUserAttribute>* APMDatabaseUserProperties::keptUserAttributes()
    const {
  // Inside one exclusive transaction nobody else writes, so what this connection did not change
  // is as it was read.
  const auto& kept = storedUserAttributes_;
  if (!kept || !store_->transactions().inTransaction() || kept->transaction != store_->transactions().transactionSerial() ||
      kept->writes != storedUserAttributeWrites_ || kept->rollbacks != store_->transactions().rollbackCount()) {
    return nullptr;
  }
  return &kept->byName;
}

const std::vector<APMDatabaseUserProperties::StoredUserAttribute>* APMDatabaseUserProperties::storedUserAttributes(
    platform::Error* error) {
  if (const auto* kept = keptUserAttributes()) return kept;
  auto rows = connection_->query("SELECT rowid, * FROM user_attributes ORDER BY name", {}, error);
  if (!rows) return nullptr;
  StoredUserAttributes stored{store_->transactions().transactionSerial(), storedUserAttributeWrites_, store_->transactions().rollbackCount(), {}};
  stored.byName.reserve(rows->size());
  for (const auto& row : *rows) {
    auto attribute = userAttributeFromRow(row);
    if (!attribute) {
      // One damaged property must not stop every event from being stored with the others.
      APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUnreadableUserPropertySkipped,
             "Skipping user property whose stored value cannot be read. Name", {Object(apm_rows::text(row, "name"))});
      continue;
    }
    stored.byName.push_back({std::move(attribute), apm_rows::integer(row, "rowid")});
  }
  storedUserAttributes_ = std::move(stored);
  return &storedUserAttributes_->byName;
}

std::optional<std::vector<APMDatabaseUserProperties::StoredUserAttribute>>
APMDatabaseUserProperties::currentUserAttributes(platform::Error* error) {
  const auto* stored = storedUserAttributes(error);
  if (!stored) return std::nullopt;
  if (waitingUserAttributes_.empty()) return *stored;
  // Both ordered by name: one merge, the waiting change winning over the stored row.
  std::vector<StoredUserAttribute> current;
  current.reserve(stored->size() + waitingUserAttributes_.size());
  auto row = stored->begin();
  auto waiting = waitingUserAttributes_.begin();
  while (row != stored->end() || waiting != waitingUserAttributes_.end()) {
    const bool takeRow =
        waiting == waitingUserAttributes_.end() || (row != stored->end() && row->attribute->name() < waiting->first);
    if (takeRow) {
      current.push_back(*row++);
      continue;
    }
    if (row != stored->end() && row->attribute->name() == waiting->first) ++row;
    if (waiting->second.attribute) {
      current.push_back({waiting->second.attribute, kWaitingRowIDs + static_cast<int64_t>(waiting->second.order)});
    }
    ++waiting;
  }
  return current;
}

std::shared_ptr<APMUserAttribute> APMDatabaseUserProperties::userAttributeWithName(const std::string& name,
                                                                                   platform::Error* error) {
  if (!connection_->checkQueue("userAttributeWithName", error)) return nullptr;
  if (auto waiting = waitingUserAttributes_.find(name); waiting != waitingUserAttributes_.end()) {
    return waiting->second.attribute;
  }
  if (const auto* kept = keptUserAttributes()) {
    auto found = std::lower_bound(
        kept->begin(), kept->end(), name,
        [](const StoredUserAttribute& row, const std::string& key) { return row.attribute->name() < key; });
    if (found != kept->end() && found->attribute->name() == name) return found->attribute;
  }
  auto rows = connection_->query("SELECT * FROM user_attributes WHERE name = ?", {Object(name)}, error);
  if (!rows || rows->empty()) return nullptr;
  auto attribute = userAttributeFromRow(rows->front());
  if (!attribute) {
    APMFail(error, kAPMStoreErrorCorruptData, "Stored value of user property " + name + " cannot be read");
  }
  return attribute;
}

std::optional<bool> APMDatabaseUserProperties::containsUserAttributeWithName(const std::string& name,
                                                                             platform::Error* error) {
  if (!connection_->checkQueue("containsUserAttributeWithName", error)) return std::nullopt;
  if (auto waiting = waitingUserAttributes_.find(name); waiting != waitingUserAttributes_.end()) {
    return waiting->second.attribute != nullptr;
  }
  return connection_->exists("SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1", {Object(name)}, error);
}

std::optional<std::vector<std::shared_ptr<APMUserAttribute>>>
APMDatabaseUserProperties::userAttributesIncludingInternal(bool includingInternal, platform::Error* error) {
  if (!connection_->checkQueue("userAttributesIncludingInternal", error)) return std::nullopt;
  auto current = currentUserAttributes(error);
  if (!current) return std::nullopt;
  std::vector<std::shared_ptr<APMUserAttribute>> attributes;
  attributes.reserve(current->size());
  for (auto& row : *current) {
    if (includingInternal || row.attribute->isPublic()) attributes.push_back(std::move(row.attribute));
  }
  return attributes;
}

std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> APMDatabaseUserProperties::allLifetimeValueUserAttributes(
    platform::Error* error) {
  if (!connection_->checkQueue("allLifetimeValueUserAttributes", error)) return std::nullopt;
  auto current = currentUserAttributes(error);
  if (!current) return std::nullopt;
  std::vector<StoredUserAttribute> values;
  for (auto& row : *current) {
    if (isLifetimeValueName(row.attribute->name())) values.push_back(std::move(row));
  }
  std::sort(values.begin(), values.end(), [](const StoredUserAttribute& a, const StoredUserAttribute& b) {
    const double setA = a.attribute->lastSetTimestamp();
    const double setB = b.attribute->lastSetTimestamp();
    return setA != setB ? setA > setB : a.rowID < b.rowID;
  });
  std::vector<std::shared_ptr<APMUserAttribute>> attributes;
  attributes.reserve(values.size());
  for (auto& row : values) attributes.push_back(std::move(row.attribute));
  return attributes;
}

std::optional<int64_t> APMDatabaseUserProperties::publicUserAttributeCount(platform::Error* error) {
  if (!connection_->checkQueue("publicUserAttributeCount", error)) return std::nullopt;
  if (!writeWaitingUserAttributes(error)) return std::nullopt;
  return connection_->count("SELECT COUNT(*) AS count FROM user_attributes WHERE substr(name, 1, 1) <> '_'", {}, error);
}

std::optional<int64_t> APMDatabaseUserProperties::userAttributeCountForOrigin(const std::string& origin,
                                                                              platform::Error* error) {
  if (!connection_->checkQueue("userAttributeCountForOrigin", error)) return std::nullopt;
  if (!writeWaitingUserAttributes(error)) return std::nullopt;
  return connection_->count("SELECT COUNT(*) AS count FROM user_attributes WHERE origin = ?", {Object(origin)}, error);
}

// MARK: - Writing

bool APMDatabaseUserProperties::writeUserAttributeRow(const APMUserAttribute& attribute, platform::Error* error) {
  const bool kept = keptUserAttributes() != nullptr;
  noteStoredUserAttributeWrite(attribute.name());
  using Value = APMSqliteBinding::BoundValue;
  const APMValue& value = attribute.value();
  // The value column has no declared type, so each kind is stored, and read back, as bound.
  const Value boundValue = value.isString()   ? Value::of(value.stringValue())
                           : value.isDouble() ? Value::of(value.doubleValue())
                                              : Value::of(value.int64Value());
  if (!store_->executeStatement(upsertUserAttributeStatement_,
                                {Value::of(attribute.name()), Value::of(attribute.origin()),
                                 Value::of(attribute.lastSetTimestamp()), boundValue},
                                error)) {
    return false;
  }
  if (kept) keepWrittenUserAttribute(attribute, store_->lastInsertRowID());
  return true;
}

std::optional<int64_t> APMDatabaseUserProperties::deleteUserAttributeRow(const std::string& name,
                                                                         platform::Error* error) {
  const bool kept = keptUserAttributes() != nullptr;
  auto deleted = store_->deleteRecordsFromTableWithName(apm_schema::kUserAttributes, "name = ?", {Object(name)}, error);
  // Removing what is not there leaves every reader's copy true.
  if (deleted == std::optional<int64_t>(0)) return deleted;
  noteStoredUserAttributeWrite(name);
  if (deleted && kept) {
    auto& byName = storedUserAttributes_->byName;
    byName.erase(std::remove_if(byName.begin(), byName.end(),
                                [&](const StoredUserAttribute& row) { return row.attribute->name() == name; }),
                 byName.end());
    storedUserAttributes_->writes = storedUserAttributeWrites_;
  }
  return deleted;
}

void APMDatabaseUserProperties::keepWrittenUserAttribute(const APMUserAttribute& attribute, int64_t rowID) {
  // The row as a later read would find it: the four stored fields, each in the kind it was bound
  // as, and the new row ID that a replacing write takes (which orders properties set at the same time).
  auto written = std::make_shared<APMUserAttribute>(attribute.origin(), attribute.name(), attribute.value(),
                                                    attribute.lastSetTimestamp());
  const std::string& name = written->name();
  auto& byName = storedUserAttributes_->byName;
  auto at = std::lower_bound(byName.begin(), byName.end(), name, [](const StoredUserAttribute& row, const std::string& key) {
    return row.attribute->name() < key;
  });
  StoredUserAttribute row{std::move(written), rowID};
  if (at != byName.end() && at->attribute->name() == name) {
    *at = std::move(row);
  } else {
    byName.insert(at, std::move(row));
  }
  storedUserAttributes_->writes = storedUserAttributeWrites_;
}

bool APMDatabaseUserProperties::updateUserAttribute(const APMUserAttribute& attribute, platform::Error* error) {
  if (!connection_->checkQueue("updateUserAttribute", error)) return false;
  if (refuseUserAttribute(attribute, error)) return false;
  if (waitingUserAttributes_.count(attribute.name())) setWaitingUserAttribute(attribute.name(), std::nullopt);
  return writeUserAttributeRow(attribute, error);
}

bool APMDatabaseUserProperties::deleteUserAttributeWithName(const std::string& name, platform::Error* error) {
  if (!connection_->checkQueue("deleteUserAttributeWithName", error)) return false;
  if (waitingUserAttributes_.count(name)) setWaitingUserAttribute(name, std::nullopt);
  return deleteUserAttributeRow(name, error).has_value();
}

bool APMDatabaseUserProperties::updateUserAttributeAtCommit(const APMUserAttribute& attribute, platform::Error* error) {
  if (!connection_->checkQueue("updateUserAttributeAtCommit", error)) return false;
  if (refuseUserAttribute(attribute, error)) return false;
  if (!store_->transactions().inTransaction()) return writeUserAttributeRow(attribute, error);
  setWaitingUserAttribute(attribute.name(),
                          WaitingUserAttribute{std::make_shared<APMUserAttribute>(attribute), ++waitingOrder_});
  return true;
}

bool APMDatabaseUserProperties::deleteUserAttributeAtCommit(const std::string& name, platform::Error* error) {
  if (!connection_->checkQueue("deleteUserAttributeAtCommit", error)) return false;
  if (!store_->transactions().inTransaction()) return deleteUserAttributeRow(name, error).has_value();
  setWaitingUserAttribute(name, WaitingUserAttribute{nullptr, ++waitingOrder_});
  return true;
}

// MARK: - Waiting changes

void APMDatabaseUserProperties::setWaitingUserAttribute(const std::string& name,
                                                        std::optional<WaitingUserAttribute> waiting) {
  auto found = waitingUserAttributes_.find(name);
  // The outermost transaction needs no record: rolled back, it takes everything that waits.
  if (const size_t depth = store_->transactions().scopeDepth(); depth > 1) {
    waitingUndo_.push_back(
        {depth, name,
         found == waitingUserAttributes_.end() ? std::nullopt : std::optional<WaitingUserAttribute>(found->second)});
  }
  if (waiting) {
    waitingUserAttributes_[name] = std::move(*waiting);
  } else if (found != waitingUserAttributes_.end()) {
    waitingUserAttributes_.erase(found);
  }
  noteUserAttributeWrite(name);
}

bool APMDatabaseUserProperties::writeWaitingUserAttributes(platform::Error* error) {
  if (waitingUserAttributes_.empty()) return true;
  // In the order they changed, so the rows come out as if each had been written at once.
  std::vector<std::pair<std::string, WaitingUserAttribute>> ordered(waitingUserAttributes_.begin(),
                                                                    waitingUserAttributes_.end());
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
  for (const auto& [name, waiting] : ordered) {
    const bool written = waiting.attribute ? writeUserAttributeRow(*waiting.attribute, error)
                                           : deleteUserAttributeRow(name, error).has_value();
    if (!written) return false;
    setWaitingUserAttribute(name, std::nullopt);
  }
  return true;
}

void APMDatabaseUserProperties::dropWaitingUserAttributes() {
  while (!waitingUserAttributes_.empty()) {
    const std::string name = waitingUserAttributes_.begin()->first;
    setWaitingUserAttribute(name, std::nullopt);
  }
}

void APMDatabaseUserProperties::forgetWaitingUserAttributes() {
  for (const auto& [name, waiting] : waitingUserAttributes_) noteUserAttributeWrite(name);
  waitingUserAttributes_.clear();
  waitingUndo_.clear();
}

void APMDatabaseUserProperties::scopeEnded(size_t depth, bool kept) {
  const size_t level = depth + 1;
  if (level == 1) {
    // Committed (what waited was written just before) or rolled back: nothing waits any more.
    forgetWaitingUserAttributes();
    return;
  }
  // The records of this scope are the last ones: every scope inside it has ended.
  if (kept) {
    for (auto undo = waitingUndo_.rbegin(); undo != waitingUndo_.rend() && undo->depth == level; ++undo) --undo->depth;
    if (level == 2) {
      while (!waitingUndo_.empty() && waitingUndo_.back().depth == 1) waitingUndo_.pop_back();
    }
    return;
  }
  while (!waitingUndo_.empty() && waitingUndo_.back().depth >= level) {
    WaitingUndo undo = std::move(waitingUndo_.back());
    waitingUndo_.pop_back();
    if (undo.previous) {
      waitingUserAttributes_[undo.name] = std::move(*undo.previous);
    } else {
      waitingUserAttributes_.erase(undo.name);
    }
    noteUserAttributeWrite(undo.name);
  }
}
