#pragma once
// The part of the measurement database that keeps the user properties ("user_attributes"): what a
// transaction's readers keep of the stored rows, the changes that wait for the commit, and where
// each property stands.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "APMDatabaseConnection.h"
#include "APMSqliteStatementSlot.h"
#include "APMUserAttribute.h"

class APMDatabaseUserProperties {
 public:
  explicit APMDatabaseUserProperties(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  std::shared_ptr<APMUserAttribute> userAttributeWithName(const std::string& name, platform::Error* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name, platform::Error* error);
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> userAttributesIncludingInternal(bool includingInternal,
                                                                                                platform::Error* error);
  bool updateUserAttribute(const APMUserAttribute& attribute, platform::Error* error);
  bool deleteUserAttributeWithName(const std::string& name, platform::Error* error);
  // For properties that change with nearly every event (the lifetime values): inside a transaction
  // the change waits in memory and is written once, as the outermost transaction commits. Every
  // user-property read here sees it meanwhile, a scope that rolls back takes its changes with it,
  // and a read that memory cannot answer (a count) writes what waits first. Outside a transaction
  // the change is written at once.
  bool updateUserAttributeAtCommit(const APMUserAttribute& attribute, platform::Error* error);
  bool deleteUserAttributeAtCommit(const std::string& name, platform::Error* error);
  std::optional<int64_t> publicUserAttributeCount(platform::Error* error);
  std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin, platform::Error* error);
  // Names beginning with "_ltv_", newest first (of two set at the same time, the one written first).
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> allLifetimeValueUserAttributes(platform::Error* error);
  // Where the named user property stands: it changes whenever the property may have changed through
  // this connection (a write that changed its row, a reset, any rollback), so what was read or done
  // to it holds while this stays the same. A delete that found nothing changes nothing.
  APMDatabaseVersion userAttributeVersion(const std::string& name) const;

  // The database's reset, close and transaction scopes.
  void forgetStoredUserAttributes();
  // Writes what waits, in the order it changed; whether all of it was written.
  bool writeWaitingUserAttributes(platform::Error* error);
  void dropWaitingUserAttributes();
  void forgetWaitingUserAttributes();
  void scopeEnded(size_t depth, bool kept);

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  // Per user property, the value of userAttributeWrites_ at its last change; a reset changes all.
  void noteUserAttributeWrite(const std::string& name);
  uint64_t userAttributeWrites_ = 0;
  uint64_t userAttributesResetAt_ = 0;
  std::unordered_map<std::string, uint64_t> userAttributeWrittenAt_;

  // The stored user properties by name, with their row IDs (which order properties set at the same
  // time). Inside a transaction they are read once and kept, with the rows written here since,
  // while nothing rolls back; outside one every read goes to the file.
  struct StoredUserAttribute {
    std::shared_ptr<APMUserAttribute> attribute;
    int64_t rowID = 0;
  };
  struct StoredUserAttributes {
    uint64_t transaction = 0;
    uint64_t writes = 0;
    uint64_t rollbacks = 0;
    std::vector<StoredUserAttribute> byName;
  };
  const std::vector<StoredUserAttribute>* storedUserAttributes(platform::Error* error);
  // The same when still kept, without reading; null otherwise.
  const std::vector<StoredUserAttribute>* keptUserAttributes() const;
  // The user properties as readers see them: the stored ones with the waiting changes applied.
  std::optional<std::vector<StoredUserAttribute>> currentUserAttributes(platform::Error* error);
  void noteStoredUserAttributeWrite(const std::string& name);
  // After a write through here while the stored properties were kept: the written row joins what is
  // kept instead of the whole table being read again. A rollback still drops all.
  void keepWrittenUserAttribute(const APMUserAttribute& attribute, int64_t rowID);
  std::optional<StoredUserAttributes> storedUserAttributes_;
  uint64_t storedUserAttributeWrites_ = 0;

  // The changes waiting for the commit, by name (an empty attribute: to be deleted), each with the
  // place of its change among the others; and, per open scope, what to put back should it roll back.
  struct WaitingUserAttribute {
    std::shared_ptr<APMUserAttribute> attribute;
    uint64_t order = 0;
  };
  struct WaitingUndo {
    size_t depth = 0;
    std::string name;
    std::optional<WaitingUserAttribute> previous;
  };
  void setWaitingUserAttribute(const std::string& name, std::optional<WaitingUserAttribute> waiting);
  bool writeUserAttributeRow(const APMUserAttribute& attribute, platform::Error* error);
  std::optional<int64_t> deleteUserAttributeRow(const std::string& name, platform::Error* error);
  // Written with every user-property change.
  APMSqliteStatementSlot upsertUserAttributeStatement_{
      "INSERT OR REPLACE INTO user_attributes (name, origin, set_timestamp, value) VALUES (?, ?, ?, ?)"};
  std::map<std::string, WaitingUserAttribute> waitingUserAttributes_;
  std::vector<WaitingUndo> waitingUndo_;
  uint64_t waitingOrder_ = 0;
};
