// The experiment client's stored snapshots as its database file gives them back, which may be
// torn or tampered with: the same bytes as a pending row of two SDKs (one activated by the next
// start, one by its SDK), an activated, a stale activated and a launched row. Read from each table,
// activated at start as the task manager does, used as the manager uses them, and read again.
// A snapshot read back must write back to bytes that read as the same snapshot and write the same
// bytes again; the start must leave no pending row of the kind it activates, readable or not.
#include <algorithm>
#include <set>

#include "APMEDatabase.h"
#include "APMEFlags.h"
#include "APMSqliteStore.h"
#include "FuzzSupport.h"

namespace {

constexpr double kNow = 1700000000.0;  // the fuzz clock's
constexpr const char* kSDKName = "app_measurement";

struct Files {
  std::shared_ptr<APMEDatabase> database;
  // A second connection to the same file, writing rows as they lie on disk.
  std::shared_ptr<APMSqliteStore> raw;
};

Files& files() {
  static auto* shared = [] {
    fuzzsupport::setUpProcess();
    const std::string path = fuzzsupport::dataDirectory() + "/experiments.sqlite";
    auto* made = new Files;
    made->database = APMEDatabase::create(path);
    if (!made->database) fuzzsupport::fail("cannot open the experiment database");
    platform::Error error;
    made->raw = APMSqliteStore::create(path, &error);
    if (!made->raw) fuzzsupport::fail("cannot open the experiment database again: " + error.description);
    return made;
  }();
  return *shared;
}

void storeRaw(APMSqliteStore& raw, const char* table, const char* SDKName, const platform::Data& bytes,
              double timestamp, std::optional<int64_t> manuallyActivated) {
  APMSqliteStore::Record row{{"sdk_name", platform::Object(SDKName)},
                             {"snapshotProto", platform::Object(bytes)},
                             {"timestamp", platform::Object(timestamp)}};
  if (manuallyActivated) row["manually_activated"] = platform::Object(*manuallyActivated);
  platform::Error error;
  if (!raw.upsertRecord(row, table, &error)) fuzzsupport::fail("cannot store a row: " + error.description);
}

void storeRows(APMSqliteStore& raw, const platform::Data& bytes) {
  platform::Error error;
  for (const char* table : {APMEDatabase::kPendingTable, APMEDatabase::kActivatedTable, APMEDatabase::kLaunchedTable}) {
    if (!raw.deleteRecordsFromTableWithName(table, "1", {}, &error)) fuzzsupport::fail("cannot empty " + std::string(table));
  }
  storeRaw(raw, APMEDatabase::kPendingTable, kSDKName, bytes, kNow - 10, 0);
  storeRaw(raw, APMEDatabase::kPendingTable, "other_sdk", bytes, kNow - 5, 1);
  storeRaw(raw, APMEDatabase::kActivatedTable, kSDKName, bytes, kNow - 20, std::nullopt);
  storeRaw(raw, APMEDatabase::kActivatedTable, "stale_sdk", bytes, kNow - 2 * APMEDatabase::kStaleInterval,
           std::nullopt);
  storeRaw(raw, APMEDatabase::kLaunchedTable, kSDKName, bytes, kNow - 20, std::nullopt);
}

std::set<int64_t> experimentIDs(const APMESnapshot& snapshot, bool launched) {
  std::set<int64_t> ids;
  for (const auto& [id, experiment] : snapshot.experimentsByExperimentID()) {
    if ((id == 0) == launched) ids.insert(id);
  }
  return ids;
}

platform::Data written(const APMESnapshot& snapshot) { return snapshot.proto()->protoBuffer(); }

void checkWritesBack(const APMESnapshot& snapshot) {
  const platform::Data bytes = written(snapshot);
  auto message = APMPBSnapshot::fromBuffer(bytes);
  auto again = message ? APMESnapshot::fromProto(*message) : nullptr;
  if (!again) fuzzsupport::fail("a snapshot written back does not read");
  if (again->SDKName() != snapshot.SDKName()) fuzzsupport::fail("a snapshot written back names another SDK");
  if (written(*again) != bytes) fuzzsupport::fail("a snapshot written back writes other bytes again");
}

// What the manager does with a snapshot it loaded.
void use(const APMESnapshot& snapshot) {
  auto copy = snapshot.copy();
  if (!copy || copy->SDKName() != snapshot.SDKName()) fuzzsupport::fail("a snapshot does not copy");
  (void)snapshot.flagByName("launch");
  (void)snapshot.description();
  for (const auto& experiment : snapshot.experiments()) {
    for (const auto& flag : experiment->flags()) (void)APMEValueFromFlag(flag);
  }
}

void checkTable(const std::optional<APMEDatabase::Snapshots>& snapshots, bool readable, const char* table) {
  if (snapshots.has_value() != readable) {
    fuzzsupport::fail(std::string(table) + (readable ? ": readable rows do not read" : ": an unreadable row reads"));
  }
  for (const auto& snapshot : snapshots.value_or(APMEDatabase::Snapshots{})) {
    checkWritesBack(*snapshot);
    use(*snapshot);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Files& f = files();
  APMEDatabase& db = *f.database;
  const platform::Data bytes = fuzzsupport::bytesOf(data, size);
  auto message = APMPBSnapshot::fromBuffer(bytes);
  const std::shared_ptr<APMESnapshot> expected = message ? APMESnapshot::fromProto(*message) : nullptr;
  storeRows(*f.raw, bytes);

  platform::Error error;
  checkTable(db.fetchAllPendingSnapshots(&error), expected != nullptr, APMEDatabase::kPendingTable);
  checkTable(db.fetchAllActivatedSnapshots(&error), expected != nullptr, APMEDatabase::kActivatedTable);
  checkTable(db.fetchAllLaunchedSnapshots(&error), expected != nullptr, APMEDatabase::kLaunchedTable);

  // The task manager's start.
  const bool started = db.performTransaction([&] {
    platform::Error startError;
    return db.deleteStaleActivatedSnapshots(&startError) && db.activatePendingSnapshotsAutomatically(&startError);
  });
  if (!started) fuzzsupport::fail("the start failed");
  auto left = f.raw->recordsForQuery("SELECT sdk_name FROM pending_snapshot_table WHERE manually_activated = 0", {},
                                     &error);
  if (!left || !left->empty()) fuzzsupport::fail("the start left a pending snapshot it activates");

  checkTable(db.fetchAllPendingSnapshots(&error), expected != nullptr, APMEDatabase::kPendingTable);
  checkTable(db.fetchAllLaunchedSnapshots(&error), expected != nullptr, APMEDatabase::kLaunchedTable);
  auto activated = db.fetchAllActivatedSnapshots(&error);
  checkTable(activated, expected != nullptr, APMEDatabase::kActivatedTable);
  if (!expected || expected->SDKName() != kSDKName) return 0;
  // The SDK's pending experiments replaced its activated row, and only the running ones went there.
  for (const auto& snapshot : *activated) {
    if (snapshot->SDKName() == kSDKName && experimentIDs(*snapshot, false) != experimentIDs(*expected, false)) {
      fuzzsupport::fail("the activated experiments are not the pending ones");
    }
    if (!experimentIDs(*snapshot, true).empty()) fuzzsupport::fail("an activated snapshot holds the launched experiment");
  }
  return 0;
}
