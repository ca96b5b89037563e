// The experiment service's reply as the experiment client takes it: inflated when it is gzip (the
// transport's usual form), read as it stands otherwise, turned into snapshots and per-SDK errors,
// stored as pending in the experiment database, activated, and read back.
#include "APMEDatabase.h"
#include "APMEExperimentReply.h"
#include "DirodaUtilities/NSData/NSData+DULGzip.h"
#include "FuzzSupport.h"

namespace {

constexpr double kNow = 1700000000.0;

APMEDatabase& database() {
  static auto* shared = [] {
    fuzzsupport::setUpProcess();
    auto made = APMEDatabase::create(fuzzsupport::dataDirectory() + "/experiments.sqlite");
    if (!made) fuzzsupport::fail("cannot open the experiment database");
    return new std::shared_ptr<APMEDatabase>(std::move(made));
  }();
  return **shared;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  APMEDatabase& db = database();
  const platform::Data body = fuzzsupport::bytesOf(data, size);
  std::optional<platform::Data> inflated = body.empty() ? std::nullopt : dul_dataByInflatingGzippedData(body);
  const platform::Data& reply = inflated ? *inflated : body;

  auto response = APMPBExperimentResponse::fromBuffer(reply);
  auto snapshots = APMEExperimentReply::experimentSnapshotsFromExperimentResponse(response);
  (void)APMEExperimentReply::errorsFromExperimentResponse(response);
  if (!snapshots || snapshots->empty()) return 0;

  // Every input starts from an empty database.
  if (!db.reset()) fuzzsupport::fail("cannot reset the experiment database");
  platform::Error error;
  if (!db.upsertPendingExperimentSnapshots(*snapshots, &error)) return 0;
  if (auto pending = db.fetchAllPendingSnapshots(&error)) {
    for (const auto& snapshot : *pending) db.activateSnapshot(snapshot, kNow, &error);
  }
  db.activatePendingSnapshotsAutomatically(&error);
  db.deleteStaleActivatedSnapshots(&error);
  if (auto activated = db.fetchAllActivatedSnapshots(&error)) {
    for (const auto& snapshot : *activated) (void)snapshot->experiments();
  }
  (void)db.fetchAllLaunchedSnapshots(&error);
  return 0;
}
