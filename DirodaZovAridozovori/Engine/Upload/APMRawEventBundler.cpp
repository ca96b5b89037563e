#include "APMRawEventBundler.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <unordered_map>
#include <utility>

#include "APMBundleFields.h"
#include "APMBundlingTotals.h"
#include "APMDatabase.h"
#include "APMEncodedMessage.h"
#include "APMEventEncoding.h"
#include "APMEventSampler.h"
#include "APMEventWireEncoding.h"
#include "APMMonitor.h"
#include "APMNameTables.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStoreLog.h"
#include "APMUploadBatch.h"
#include "APMUserAttribute.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/Upload/APMUploadLog.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using UserProperties = std::vector<std::shared_ptr<APMPBUserAttribute>>;

// A bundle's user properties, decoded for the few steps that read or change them.
UserProperties userPropertiesOf(const APMEncodedMessage& bundle) {
  UserProperties properties;
  for (const auto& value : bundle.values(Bundle::kUserAttributes)) {
    if (auto property = APMPBUserAttribute::fromBuffer(platform::Data(value.begin(), value.end()))) {
      properties.push_back(std::move(property));
    }
  }
  return properties;
}

void setUserProperties(APMEncodedMessage& bundle, const UserProperties& properties) {
  std::vector<platform::Data> encodings;
  encodings.reserve(properties.size());
  for (const auto& property : properties) encodings.push_back(property->protoBuffer());
  bundle.setValues(Bundle::kUserAttributes, std::vector<std::span<const uint8_t>>(encodings.begin(), encodings.end()));
}

std::optional<std::string> internalNameOf(const std::string& name) {
  const auto& table = APMPublicToInternalEventNames();
  auto found = table.find(name);
  if (found == table.end()) return std::nullopt;
  return found->second;
}

}  // namespace

// One group of rows on its way into a bundle.
struct APMRawEventBundler::Group {
  int64_t fingerprint = 0;
  std::vector<std::shared_ptr<APMRawEventData>> rows;
  // The encoding of each row's upload form, made once for the size limit and reused for unchanged
  // events; none for a group of one row, which no size limit asked about.
  std::vector<platform::Data> rowEncodings;
  // For each processed event, the row it came from.
  std::vector<size_t> sources;
  bool analyticsDenied = false;
  // Applied once the transaction commits.
  std::optional<std::string> consentSignalsToRemember;
  std::optional<double> monitorSampleTime;
  // The audience evaluation of this group's bundle, once begun.
  bool evaluationBegun = false;
  // The rows read for the group, bundled or dropped.
  size_t rowsTaken = 0;
  // Its rows came from the transaction's rows read ahead: once it is kept they are deleted with the
  // other groups' (deferredSpan), just before the commit.
  bool fromReadAhead = false;
  std::optional<TakenSpan> deferredSpan;
  std::shared_ptr<APMBundleEvaluationContext> evaluation;
};


// The raw events of one transaction read ahead in row-ID order. The groups take them from the
// front: each group's rows are deleted when it is kept, so the front is always the oldest row.
struct APMRawEventBundler::RowCursor {
  static constexpr int64_t kLargestRead = APMDatabaseRawEvents::kRawEventsPerQuery;
  static constexpr int64_t kFirstReadOfARunThatMayEndEarly = 16;
  std::deque<std::shared_ptr<APMRawEventData>> rows;
  int64_t lastRowID = std::numeric_limits<int64_t>::min();
  int64_t nextRead = 1;
  bool exhausted = false;
  // False once a row could not be read: its deletion and what follows it go the per-fingerprint way.
  bool usable = true;
};

// The metadata rows of one transaction read ahead in row-ID order, once the stream shows that it
// pays: a purchase stores a metadata row with each event, so the metadata rows of its groups follow
// each other as their raw rows do, and reading them in order spares each group a look-up through
// the fingerprint's index and then the table. Rows that share a metadata row (or whose metadata
// rows lie in another order) keep the look-up and read nothing ahead.
struct APMRawEventBundler::MetadataWindow {
  static constexpr int64_t kFirstRead = 16;
  static constexpr int64_t kLargestRead = 256;
  std::deque<APMDatabaseRawEvents::StoredMetadata> rows;
  // Set once a group's metadata row came right after the one of the group before it.
  bool reading = false;
  int64_t lastRowID = 0;  // the newest row read: the next read goes on after it
  int64_t nextRead = kFirstRead;
  bool exhausted = false;
  std::optional<int64_t> previousRowID;  // the metadata row of the group before
};

APMRawEventBundler::APMRawEventBundler(std::shared_ptr<APMDatabase> database,
                                       std::shared_ptr<APMRemoteConfig> remoteConfig,
                                       std::shared_ptr<APMPersistedConfig> persistedConfig, APMBundlingHooks hooks)
    : database_(std::move(database)),
      remoteConfig_(std::move(remoteConfig)),
      persistedConfig_(std::move(persistedConfig)),
      hooks_(std::move(hooks)) {}

bool APMRawEventBundler::acceptsRow(const Selection& selection, size_t position, int64_t hour, int64_t rowID,
                                    int64_t eventBytes, int64_t maxEventsPerBundle, int64_t maxBytes) {
  if (position == 0) return true;
  if (static_cast<int64_t>(position) >= maxEventsPerBundle) return false;
  if (hour != selection.firstHour) return false;
  if (rowID != selection.previousRowID + 1) return false;
  return selection.acceptedBytes + eventBytes < maxBytes;
}

APMRawEventBundler::Result APMRawEventBundler::bundleRawEvents() {
  const Run run = bundleRawEventGroups(1);
  return run.bundled > 0 ? Result::Bundled : run.last;
}

void APMRawEventBundler::readRunSettings() {
  settings_.maxEventsPerBundle = remoteConfig_->uploadLimits().uploadMaxEventsPerBundle();
  settings_.maxBytesPerBundle = remoteConfig_->uploadLimits().uploadMaxSizeLimitBytes();
  settings_.blocklistInternal = remoteConfig_->features().blocklistInternal();
  settings_.blocklistPublic = remoteConfig_->features().blocklistPublic();
  settings_.removeRedundantEngagement = remoteConfig_->features().redundantEngagementRemovalEnabled();
  settings_.customerType = remoteConfig_->features().customerTypeEnabled();
  settings_.eventSampling = remoteConfig_->features().isEventSamplingEnabled();
  settings_.configVersion = remoteConfig_->message().version();
  if (hooks_.monitoringSample) settings_.monitoringSamplePeriod = remoteConfig_->uploadLimits().monitoringSamplePeriod();
  nameRules_.clear();
}

APMRawEventBundler::NameRules& APMRawEventBundler::rulesOf(const std::string& name) {
  auto [found, added] = nameRules_.try_emplace(name);
  NameRules& rules = found->second;
  if (!added) return rules;
  rules.internal = internalNameOf(name);
  rules.passes = rules.internal && settings_.blocklistInternal && !settings_.blocklistPublic;
  rules.blocklisted = !rules.passes && (remoteConfig_->eventRules().isEventBlocklisted(name) ||
                                        (rules.internal && remoteConfig_->eventRules().isEventBlocklisted(*rules.internal)));
  return rules;
}

APMRawEventBundler::Run APMRawEventBundler::bundleRawEventGroups(size_t maxGroups, const std::function<bool()>& enough) {
  Run run;
  if (maxGroups == 0) return run;
  readRunSettings();
  // The evaluations of the groups kept so far end (or abort) with the transaction.
  std::vector<std::shared_ptr<APMBundleEvaluationContext>> evaluations;
  pending_ = Pending{};
  stored_ = Stored{};
  taken_.reset();
  deletionFailed_ = false;
  APMBundlingTotals totals(*database_);
  totals_ = &totals;
  RowCursor cursor;
  // A first read as large as the groups asked for: a stream of one-row groups reads once. A run
  // that enough may end early starts smaller: what a transaction read and did not take is read
  // (and decoded) again by the next, and bundling while a batch is out ends each run once the
  // reply waits, often after a tenth of the groups it may make.
  const int64_t firstRead = enough ? RowCursor::kFirstReadOfARunThatMayEndEarly : RowCursor::kLargestRead;
  cursor.nextRead = std::clamp<int64_t>(static_cast<int64_t>(maxGroups), 1, firstRead);
  cursor_ = &cursor;
  MetadataWindow metadataWindow;
  metadataWindow_ = &metadataWindow;
  platform::Error transactionError;
  const bool committed = database_->performTransaction(
      [&] {
        size_t rows = 0;
        while (run.bundled < maxGroups && rows < kMaxRowsPerGroup) {
          Group group;
          run.last = bundleNextGroup(group);
          if (group.evaluationBegun && run.last != Result::Bundled && hooks_.abortBundleEvaluation) {
            hooks_.abortBundleEvaluation(group.evaluation);
          }
          if (run.last != Result::Bundled) break;
          ++run.bundled;
          rows += group.rowsTaken;
          if (group.evaluationBegun) evaluations.push_back(std::move(group.evaluation));
          if (group.consentSignalsToRemember) pending_.consentSignals = std::move(group.consentSignalsToRemember);
          if (group.monitorSampleTime) pending_.monitorSampleTime = group.monitorSampleTime;
          if (group.deferredSpan) takeSpan(*group.deferredSpan);
          if (enough && enough()) break;
        }
        return run.bundled > 0 && !deletionFailed_ && deleteTakenRows() && writeTotals();
      },
      &transactionError);
  totals_ = nullptr;
  cursor_ = nullptr;
  metadataWindow_ = nullptr;
  taken_.reset();
  const Pending kept = std::exchange(pending_, Pending{});
  if (!committed) {
    for (const auto& evaluation : evaluations) {
      if (hooks_.abortBundleEvaluation) hooks_.abortBundleEvaluation(evaluation);
    }
    if (run.bundled > 0) run.last = Result::Failed;
    run.bundled = 0;
    return run;
  }
  for (const auto& evaluation : evaluations) {
    if (hooks_.endBundleEvaluation) hooks_.endBundleEvaluation(evaluation);
  }
  if (kept.consentSignals) persistedConfig_->consent().setPreviousBundledConsentSignals(*kept.consentSignals);
  if (kept.monitorSampleTime)
    persistedConfig_->uploadSchedule().setLastMonitorDataSampledTimestamp(*kept.monitorSampleTime);
  return run;
}

bool APMRawEventBundler::readAhead(size_t position, platform::Error* error) {
  RowCursor& cursor = *cursor_;
  while (cursor.usable && !cursor.exhausted && cursor.rows.size() <= position) {
    bool unreadable = false;
    // A group takes at most a read's worth from the front: more would be read for nothing.
    const int64_t limit = std::min(
        cursor.nextRead, std::max<int64_t>(1, RowCursor::kLargestRead - static_cast<int64_t>(cursor.rows.size())));
    auto rows = database_->rawEvents().rawEventsAfterRowID(cursor.lastRowID, limit, &unreadable, error);
    if (!rows) return false;
    cursor.exhausted = static_cast<int64_t>(rows->size()) < limit;
    cursor.usable = !unreadable;
    if (!rows->empty()) cursor.lastRowID = rows->back()->rowID();
    cursor.rows.insert(cursor.rows.end(), std::make_move_iterator(rows->begin()), std::make_move_iterator(rows->end()));
    cursor.nextRead = std::min(cursor.nextRead * 2, RowCursor::kLargestRead);
  }
  return true;
}

APMRawEventBundler::Result APMRawEventBundler::bundleNextGroup(Group& group) {
  platform::Error nextError;
  std::optional<int64_t> fingerprint;
  if (cursor_ && cursor_->usable) {
    if (!readAhead(0, &nextError)) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableFetchNextEventMetadata,
             "Unable to fetch next event metadata. Error", nextError);
      return Result::Failed;
    }
    if (cursor_->usable && cursor_->rows.empty()) return Result::NothingToDo;
    if (cursor_->usable) {
      fingerprint = cursor_->rows.front()->metadataFingerprint();
      // Whatever the group may take is read now, outside its savepoint: a row that cannot be read
      // is then met here, where the rows taken so far can still be deleted for the transaction.
      if (!readFingerprintRunAhead(*fingerprint, &nextError)) {
        APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kInconsistentStateRawEventExpected,
               "Inconsistent state, raw event is expected. Error", nextError);
        return Result::Failed;
      }
    }
  }
  // The rows are read from the table as it is from here on: the rows taken so far must be gone.
  if ((!cursor_ || !cursor_->usable) && !deleteTakenRows()) {
    deletionFailed_ = true;
    return Result::Failed;
  }
  if (!fingerprint) fingerprint = database_->rawEvents().nextMetadataFingerprintToProcess(&nextError);
  if (!fingerprint) {
    if (!nextError.empty()) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableFetchNextEventMetadata,
             "Unable to fetch next event metadata. Error", nextError);
      return Result::Failed;
    }
    return Result::NothingToDo;
  }
  group.fingerprint = *fingerprint;
  bool bundled = false;
  platform::Error groupError;
  // A savepoint of its own: a group that fails leaves the groups before it in the transaction, and
  // the totals as they were before it.
  APMBundlingTotals::State before = totals_->state();
  const bool kept = database_->performTransaction([&] { return bundled = bundleGroup(group); }, &groupError);
  if (kept && bundled) return Result::Bundled;
  totals_->restore(std::move(before));
  return Result::Failed;
}

bool APMRawEventBundler::readFingerprintRunAhead(int64_t fingerprint, platform::Error* error) {
  const RowCursor& cursor = *cursor_;
  for (size_t position = 1; position < static_cast<size_t>(RowCursor::kLargestRead); ++position) {
    if (!readAhead(position, error)) return false;
    if (!cursor.usable || position >= cursor.rows.size()) return true;
    if (cursor.rows[position]->metadataFingerprint() != fingerprint) return true;
  }
  return true;
}

void APMRawEventBundler::takeSpan(const TakenSpan& span) {
  // The groups take the rows read ahead from the oldest on, each where the one before it ended,
  // so what they took is one span of the table.
  if (!taken_) {
    taken_ = span;
    return;
  }
  taken_->last = std::max(taken_->last, span.last);
  taken_->newest = std::max(taken_->newest, span.newest);
}

bool APMRawEventBundler::deleteTakenRows() {
  if (!taken_) return true;
  platform::Error error;
  if (!database_->rawEvents().deleteRawEventSpanWithItsMetadata(taken_->first, taken_->last, taken_->newest, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableDeleteRawEvents,
           "Unable to delete raw events. RowID, error", taken_->last, error);
    return false;
  }
  taken_.reset();
  // The metadata read ahead is read again after a delete that may have taken some.
  if (metadataWindow_) *metadataWindow_ = MetadataWindow{};
  return true;
}

bool APMRawEventBundler::writeAggregates() {
  platform::Error error;
  if (totals_->writeAggregates(&error)) return true;
  APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedUpdateEventAggregates,
         "Failed to update event aggregates. Error", error);
  return false;
}

bool APMRawEventBundler::writeTotals() {
  if (!writeAggregates()) return false;
  platform::Error error;
  if (!totals_->writeDailyCounts(&error)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kFailedUpdateDailyEventCounts,
           "Failed to update daily event counts. Name, error", std::string("daily"), error);
    return false;
  }
  if (!totals_->writeAppMetadata(&error)) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableUpdateAppMetadata,
           "Unable to update the app metadata. Error", error);
    return false;
  }
  return true;
}

std::vector<std::shared_ptr<APMRawEventData>> APMRawEventBundler::selectRows(
    const std::function<const std::shared_ptr<APMRawEventData>*(size_t position)>& rowAt,
    std::vector<platform::Data>* encodings) {
  const int64_t maxEvents = settings_.maxEventsPerBundle;
  const int64_t maxBytes = settings_.maxBytesPerBundle;
  Selection selection;
  std::vector<std::shared_ptr<APMRawEventData>> accepted;
  for (size_t position = 0;; ++position) {
    const std::shared_ptr<APMRawEventData>* row = rowAt(position);
    if (!row) break;
    const APMEvent& event = *(*row)->rawEvent();
    const int64_t hour = platform::saturatingInt64(event.timestamp()) / 3600;
    if (position == 0) {
      // The first row is always taken, and its size counts only once a second row is offered: a
      // group of one row (a purchase stream's) is encoded once, as it travels.
      selection.firstHour = hour;
      selection.previousRowID = (*row)->rowID();
      accepted.push_back(*row);
      continue;
    }
    if (position == 1) {
      const APMEvent& first = *accepted.front()->rawEvent();
      platform::Data encoding = APMEventUploadEncoding(first, first.previousTimestamp());
      selection.acceptedBytes = static_cast<int64_t>(encoding.size());
      if (encodings) encodings->push_back(std::move(encoding));
    }
    platform::Data encoding = APMEventUploadEncoding(event, event.previousTimestamp());
    const int64_t bytes = static_cast<int64_t>(encoding.size());
    if (position == 0) selection.firstHour = hour;
    if (!acceptsRow(selection, position, hour, (*row)->rowID(), bytes, maxEvents, maxBytes)) break;
    if (encodings) encodings->push_back(std::move(encoding));
    selection.previousRowID = (*row)->rowID();
    selection.acceptedBytes += bytes;
    accepted.push_back(*row);
  }
  return accepted;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMRawEventBundler::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, std::vector<platform::Data>* encodings, bool* fromReadAhead) {
  platform::Error error;
  *fromReadAhead = false;
  if (cursor_ && cursor_->usable) {
    // The rows read ahead: the fingerprint's run from the front, as the per-fingerprint query
    // would give it (the selection ends the run at the first row of another fingerprint or a gap).
    bool failed = false;
    auto taken = selectRows(
        [&](size_t position) -> const std::shared_ptr<APMRawEventData>* {
          if (position >= static_cast<size_t>(RowCursor::kLargestRead)) return nullptr;
          if (!readAhead(position, &error)) {
            failed = true;
            return nullptr;
          }
          if (!cursor_->usable || position >= cursor_->rows.size()) return nullptr;
          const auto& row = cursor_->rows[position];
          return row->metadataFingerprint() == fingerprint ? &row : nullptr;
        },
        encodings);
    if (failed) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kInconsistentStateRawEventExpected,
             "Inconsistent state, raw event is expected. Error", error);
      return std::nullopt;
    }
    if (cursor_->usable) {
      cursor_->rows.erase(cursor_->rows.begin(), cursor_->rows.begin() + static_cast<std::ptrdiff_t>(taken.size()));
      *fromReadAhead = true;
      return taken;
    }
    // A row that cannot be read lies ahead: the group is taken again the per-fingerprint way,
    // which deletes such rows.
    if (encodings) encodings->clear();
  }
  auto rows = database_->rawEvents().oldestRawEventsWithMetadataFingerprint(fingerprint, &error);
  if (!rows) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kInconsistentStateRawEventExpected,
           "Inconsistent state, raw event is expected. Error", error);
    return std::nullopt;
  }
  return selectRows(
      [&rows](size_t position) { return position < rows->size() ? &(*rows)[position] : nullptr; }, encodings);
}

platform::Data APMRawEventBundler::uploadEncodingOf(const APMEvent& event, double previousTimestamp, Group& group,
                                                    size_t source) {
  const APMEvent& raw = *group.rows[source]->rawEvent();
  const bool unchanged = &event == &raw || (event.name() == raw.name() && event.timestamp() == raw.timestamp() &&
                                            event.parameters() == raw.parameters());
  if (source < group.rowEncodings.size() && unchanged) {
    // Bundling only gave the row its previous occurrence: patch that into the encoding made at
    // selection rather than encode the event again.
    platform::Data& encoding = group.rowEncodings[source];
    if (previousTimestamp == raw.previousTimestamp()) return std::move(encoding);
    const uint32_t tag = APMPBEvent::messageInfo().tagForIndex(APMPBEvent::kPreviousTimestampMillis);
    std::optional<uint64_t> millis;
    if (previousTimestamp != 0) millis = static_cast<uint64_t>(APMMillisecondsFromSeconds(previousTimestamp));
    if (APMSetVarintFieldInEncoding(encoding, tag, millis)) return std::move(encoding);
  }
  return APMEventUploadEncoding(event, previousTimestamp);
}

bool APMRawEventBundler::deleteGroupRows(Group& group) {
  if (group.rows.empty()) return true;
  double newest = -std::numeric_limits<double>::infinity();
  for (const auto& row : group.rows) newest = std::max(newest, row->rawEvent()->timestamp());
  if (group.fromReadAhead) {
    // Its rows are consecutive row IDs (the selection takes no other), deleted with the transaction's.
    group.deferredSpan = TakenSpan{group.rows.front()->rowID(), group.rows.back()->rowID(), newest};
    return true;
  }
  platform::Error error;
  // Only the group's own rows: when an unreadable row at the front of the table was set aside, rows
  // of other fingerprints can lie below the group, and a "up to the last row ID" delete would lose them.
  std::vector<int64_t> rowIDs;
  rowIDs.reserve(group.rows.size());
  for (const auto& row : group.rows) rowIDs.push_back(row->rowID());
  if (!database_->rawEvents().deleteRawEventsWithRowIDs(rowIDs, newest, &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableDeleteRawEvents,
           "Unable to delete raw events. RowID, error", rowIDs.back(), error);
    return false;
  }
  // The metadata goes once no row points to it (a group split by size or hour leaves some); what
  // was read ahead of it is read again.
  if (metadataWindow_) *metadataWindow_ = MetadataWindow{};
  if (!database_->rawEvents().deleteRawEventMetadataLeftUnused({group.fingerprint}, static_cast<int64_t>(rowIDs.size()),
                                                              &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableDeleteRawEventMetadata,
           "Unable to delete raw event metadata. Metadata, error", group.fingerprint, error);
    return false;
  }
  return true;
}

std::optional<APMEncodedMessage> APMRawEventBundler::metadataOf(const Group& group, platform::Error* error) {
  APMDatabaseRawEvents& rawEvents = database_->rawEvents();
  if (!metadataWindow_) return rawEvents.queryRawEventsMetadataEncodingWithFingerprint(group.fingerprint, error);
  MetadataWindow& window = *metadataWindow_;
  if (window.reading && window.rows.empty() && !window.exhausted) {
    // The groups to come are among the raw rows read ahead: no more metadata rows than they are
    // (and this group's) can be taken before the run reads further.
    int64_t limit = window.nextRead;
    if (cursor_ && cursor_->usable) limit = std::min(limit, 1 + static_cast<int64_t>(cursor_->rows.size()));
    platform::Error readError;
    auto rows = rawEvents.rawEventMetadataAfterRowID(window.lastRowID, limit, &readError);
    if (rows) {
      window.exhausted = static_cast<int64_t>(rows->size()) < limit;
      if (!rows->empty()) window.lastRowID = rows->back().rowID;
      window.rows.assign(std::make_move_iterator(rows->begin()), std::make_move_iterator(rows->end()));
      if (limit == window.nextRead) window.nextRead = std::min(window.nextRead * 2, MetadataWindow::kLargestRead);
    } else {
      // The look-up says what is wrong, if anything still is.
      window = MetadataWindow{};
    }
  }
  // Rows skipped on the way (metadata whose raw events went another way) are left behind: a group
  // that needs one after all finds it by the look-up.
  const auto found = std::find_if(window.rows.begin(), window.rows.end(),
                                  [&group](const auto& row) { return row.fingerprint == group.fingerprint; });
  if (found != window.rows.end()) {
    platform::Data stored = std::move(found->metadata);
    window.previousRowID = found->rowID;
    window.rows.erase(window.rows.begin(), found + 1);
    return APMDatabaseRawEvents::metadataEncodingOf(std::move(stored), error);
  }
  int64_t rowID = 0;
  auto stored = rawEvents.queryRawEventsMetadataDataWithFingerprint(group.fingerprint, error, &rowID);
  if (!stored) return std::nullopt;
  const bool follows = window.previousRowID && rowID == *window.previousRowID + 1;
  // Read on from this row when it follows the one before (the stream stores a metadata row with its
  // events), or lies beyond what was read (the rows read were not the stream's).
  if ((!window.reading && follows) || (window.reading && rowID > window.lastRowID)) {
    window.rows.clear();
    window.reading = true;
    window.lastRowID = rowID;
    window.nextRead = MetadataWindow::kFirstRead;
    window.exhausted = false;
  }
  window.previousRowID = rowID;
  return APMDatabaseRawEvents::metadataEncodingOf(std::move(*stored), error);
}

bool APMRawEventBundler::bundleGroup(Group& group) {
  auto rows = rawEventsWithMetadataFingerprint(group.fingerprint, &group.rowEncodings, &group.fromReadAhead);
  if (!rows) return false;
  group.rows = std::move(*rows);
  group.rowsTaken = group.rows.size();
  if (group.rows.empty()) return true;

  platform::Error metadataError;
  // The metadata is read and changed as its encoding: decoding it and encoding the bundle again
  // were a third of bundling a group of one event.
  auto metadata = metadataOf(group, &metadataError);
  if (!metadata) {
    if (!metadataError.empty() && metadataError.code != kAPMStoreErrorCorruptData) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableFetchEventMetadata,
             "Unable to fetch event metadata. Metadata fingerprint, error", group.fingerprint, metadataError);
      return false;
    }
    // Events whose metadata is gone or unreadable still travel, with what the bundle itself knows.
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kUnableFetchEventMetadata,
           "Unable to fetch event metadata. Metadata fingerprint, error", group.fingerprint, metadataError);
    metadata = APMEncodedMessage::fromMessage(*APMPBMeasurementBundle::initWithMessageInfo());
  }
  APMEncodedMessage& bundle = *metadata;

  auto events = processRawEvents(group);
  if (!events) return false;
  if (events->empty()) return true;

  group.analyticsDenied = hooks_.isAnalyticsStorageDenied && hooks_.isAnalyticsStorageDenied();
  if (!applyEngagement(group, bundle)) return false;
  if (!handleAnalyticsStorageConsentTransitions(group, bundle)) return false;
  if (!group.analyticsDenied && hooks_.beginBundleEvaluation) {
    group.evaluation = hooks_.beginBundleEvaluation();
    group.evaluationBegun = true;
  }
  std::vector<double> previousTimestamps;
  auto aggregated = updateEventAggregates(*events, !group.analyticsDenied, group.evaluation.get(), previousTimestamps);
  if (!aggregated) return false;

  bool realtime = false;
  for (const auto& event : *aggregated) realtime = realtime || event->isRealtime();
  // The encoding of each event that travels.
  std::vector<platform::Data> encodings;
  const bool debugMode = hooks_.isDebugMode && hooks_.isDebugMode();
  if (settings_.eventSampling && !debugMode) {
    // Sampling drops events and marks the ones it keeps, on their messages: each is encoded afresh.
    std::vector<std::shared_ptr<APMPBEvent>> messages;
    messages.reserve(aggregated->size());
    for (size_t i = 0; i < aggregated->size(); ++i) {
      messages.push_back(APMEventEncoding::protoEvent(*(*aggregated)[i]->copyWithPreviousTimestamp(previousTimestamps[i])));
    }
    APMEventSampler::Settings settings;
    settings.samplingEnabled = true;
    settings.timeZoneOffsetMinutes = remoteConfig_->uploadLimits().analyticsAccountTimeZoneOffsetMinutes();
    settings.samplingRate = [config = remoteConfig_](const std::string& name) -> std::optional<int32_t> {
      if (!config->eventRules().eventHasSamplingRate(name)) return std::nullopt;
      return config->eventRules().samplingRateForEvent(name);
    };
    APMEventSampler sampler(settings, hooks_.samplingRoll);
    // Sampling reads and writes the stored aggregates itself.
    if (!writeAggregates()) return false;
    platform::Error samplingError;
    auto sampled = sampler.sampleEvents(messages, *database_, &samplingError);
    if (!sampled) return false;
    for (const auto& message : *sampled) {
      if (!message->encode(encodings.emplace_back())) return false;
    }
  } else {
    encodings.reserve(aggregated->size());
    for (size_t i = 0; i < aggregated->size(); ++i) {
      encodings.push_back(uploadEncodingOf(*(*aggregated)[i], previousTimestamps[i], group, group.sources[i]));
    }
  }
  if (encodings.empty()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMUploadLogCode::kNoEventsLeftAfterSampling,
           "No events left after sampling. Dropping bundle");
    return deleteGroupRows(group);
  }
  // The events are written straight into the bundle's encoding below, not copied into the message.
  bundle.clear(Bundle::kEvents);

  double start = std::numeric_limits<double>::max();
  double end = std::numeric_limits<double>::min();
  for (const auto& row : group.rows) {
    start = std::min(start, row->rawEvent()->timestamp());
    end = std::max(end, row->rawEvent()->timestamp());
  }
  if (!updateAppMetadata(bundle, static_cast<int64_t>(encodings.size()), start, end)) return false;
  if (hooks_.beforeAudienceEvaluation) hooks_.beforeAudienceEvaluation();

  if (!group.analyticsDenied) {
    // Copies of the properties are made only for an evaluation that reads them.
    auto properties = hooks_.evaluateUserProperty ? userPropertiesOf(bundle) : UserProperties{};
    for (const auto& property : properties) {
      if (!hooks_.evaluateUserProperty(*property, start, group.evaluation.get())) return false;
    }
    if (hooks_.resultsForBundling) {
      auto results = hooks_.resultsForBundling(group.evaluation.get());
      if (!results) {
        APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableReadAudienceEvaluationResults,
               "Unable to read audience evaluation results");
        return false;
      }
      if (!results->empty()) {
        std::vector<platform::Data> encoded;
        encoded.reserve(results->size());
        for (const auto& result : *results) encoded.push_back(result->protoBuffer());
        bundle.setValues(Bundle::kAudienceEvaluationResults,
                         std::vector<std::span<const uint8_t>>(encoded.begin(), encoded.end()));
      }
    }
  }
  addBundleMetadata(group, bundle, start, end);
  if (!remoteConfig_->features().sessionStitchingTokenFeatureEnabled() || group.analyticsDenied) {
    bundle.clear(Bundle::kSessionStitchingToken);
  }

  platform::Error insertError;
  // The bundle's encoding with its events appended as field "events" (repeated, length-delimited):
  // a decoder reads the same message as if the events had been set on it before encoding.
  platform::Data encoded = bundle.encoding();
  const uint32_t eventsTag = Bundle::messageInfo().tagForIndex(Bundle::kEvents);
  for (const platform::Data& event : encodings) APMAppendLengthDelimitedField(encoded, eventsTag, event);
  if (!database_->bundleQueue().insertBundle(encoded, end, realtime, &insertError)) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableInsertBundle, "Unable to insert bundle. Error",
           insertError);
    return false;
  }
  if (hooks_.consentDescription)
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kConsentDescription, hooks_.consentDescription());
  APMLog(APMLogLevel::kDebug, APMUploadLogCode::kBundleAddedUploadQueue,
         "Bundle added to the upload queue. BundleID, timestamp (ms)",
         static_cast<int64_t>(static_cast<int32_t>(bundle.getVarint(Bundle::kBundleSequentialIndex).value_or(0))),
         static_cast<int64_t>(bundle.getVarint(Bundle::kEndTimestampMillis).value_or(0)));
  return deleteGroupRows(group);
}

std::optional<std::vector<std::shared_ptr<APMEvent>>> APMRawEventBundler::processRawEvents(Group& group) {
  const bool removeRedundantEngagement = settings_.removeRedundantEngagement;
  std::vector<std::shared_ptr<APMEvent>> kept;
  // The rules of each kept event's name, found once per event.
  std::vector<NameRules*> keptRules;
  kept.reserve(group.rows.size());
  keptRules.reserve(group.rows.size());
  group.sources.clear();
  group.sources.reserve(group.rows.size());
  for (size_t index = 0; index < group.rows.size(); ++index) {
    const APMEvent& event = *group.rows[index]->rawEvent();
    NameRules& rules = rulesOf(event.name());
    if (rules.passes) {
      kept.push_back(group.rows[index]->rawEvent());
      keptRules.push_back(&rules);
      group.sources.push_back(index);
      continue;
    }
    if (rules.blocklisted) {
      APMLog(APMLogLevel::kWarningSampled, APMUploadLogCode::kRejectedEvent, "Rejected event. Event name",
             event.name());
      continue;
    }
    if (removeRedundantEngagement && event.name() == "_e") {
      const APMValue* firstRun = event.parameter("_fr");
      if (firstRun && firstRun->isInt64() && firstRun->int64Value() == 1) continue;
    }
    kept.push_back(group.rows[index]->rawEvent());
    keptRules.push_back(&rules);
    group.sources.push_back(index);
  }
  if (kept.empty()) {
    if (!deleteGroupRows(group)) return std::nullopt;
    APMLog(APMLogLevel::kWarningSampled, APMUploadLogCode::kRejectedAllEvents, "Rejected all events.");
    group.rows.clear();
    return kept;
  }

  platform::Error countsError;
  APMDailyCounts* counts = totals_->dailyCounts(&countsError);
  if (!counts) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedQueryDailyEventCounts,
           "Failed to query daily event counts. Error", countsError);
    return std::nullopt;
  }
  const int32_t day = hooks_.currentDay ? hooks_.currentDay() : counts->day;
  bool changed = false;
  std::vector<std::shared_ptr<APMEvent>> events;
  events.reserve(kept.size());
  for (size_t index = 0; index < kept.size(); ++index) {
    auto& event = kept[index];
    // The rows' events are shared with the group; only the few that change are copied.
    NameRules* rules = keptRules[index];
    if (rules->internal) {
      auto renamed = APMEvent::create(event->origin(), false, *rules->internal, event->timestamp(),
                                      event->previousTimestamp(), event->parameters());
      if (renamed) {
        event = renamed;
        rules = &rulesOf(event->name());
      }
    } else if (event->isConversion() || event->isRealtime() || event->name() == kAPMInAppPurchaseEventName ||
               isCustomConversion(*rules, event->name())) {
      event = event->copy();
    }
    changed = checkConversion(*event, isCustomConversion(*rules, event->name()), *counts, day) || changed;
    changed = checkRealtime(*event, *counts, day) || changed;
    if (event->name() == kAPMInAppPurchaseEventName && !event->parameter("sandbox") && APMAEU::isASRS()) {
      event->setParameter("sandbox", APMValue(int64_t{1}));
    }
    events.push_back(event);
  }
  if (changed) totals_->dailyCountsChanged();
  return events;
}

bool APMRawEventBundler::isCustomConversion(NameRules& rules, const std::string& name) {
  if (!rules.customConversion) rules.customConversion = remoteConfig_->eventRules().isEventCustomConversion(name);
  return *rules.customConversion;
}

bool APMRawEventBundler::checkConversion(APMEvent& event, bool customConversion, APMDailyCounts& counts, int32_t day) {
  if (customConversion) event.setConversion(true);
  if (!event.isConversion() || event.name().starts_with("_")) return false;
  const int32_t limit = remoteConfig_->eventLimits().maxConversionsPerDay();
  if (counts.day == day && counts.conversionsCount >= limit) {
    event.setConversion(false);
    APMLog(APMLogLevel::kWarning, APMUploadLogCode::kTooManyConversionEvents,
           "Too many conversion events. Not logging event as conversion. Name, limit", event.name(),
           static_cast<int64_t>(limit));
    return false;
  }
  counts.incrementCountsForCurrentDay(day, false, true);
  counts.decrementAllEventsCount();
  return true;
}

bool APMRawEventBundler::checkRealtime(APMEvent& event, APMDailyCounts& counts, int32_t day) {
  if (!event.isRealtime() && !event.isConversion()) return false;
  if (hooks_.isSubjectToRealtimeLimit && hooks_.isSubjectToRealtimeLimit(event)) {
    const int32_t limit = remoteConfig_->eventLimits().maxRealtimeEventCountPerDay();
    if (counts.day != day || counts.realtimeCount < limit) {
      counts.incrementRealtimeCountsForCurrentDay(day);
      event.setRealtime(true);
      APMLog(APMLogLevel::kDebug, APMUploadLogCode::kEventUnderRealTimeEventCount,
             "Event is under real-time event count daily limit. Marking the event as real-time. "
             "Event name, parameters",
             event.name());
      return true;
    }
    event.setRealtime(false);
    APMLog(APMLogLevel::kWarningSampled, APMUploadLogCode::kNumberRealTimeEventsOverReal,
           "Number of real-time events is over the real-time event count daily limit. Event is no "
           "longer real-time. Event name, parameters",
           event.name());
    return false;
  }
  if (hooks_.isDCUEvent && hooks_.isDCUEvent(event)) {
    const int32_t limit = remoteConfig_->eventLimits().maxRealtimeDCUEventCountPerDay();
    if (counts.day != day || counts.dcuRealtimeCount < limit) {
      counts.incrementDCURealtimeCountsForCurrentDay(day);
      event.setRealtime(true);
      return true;
    }
    event.setRealtime(false);
    return false;
  }
  event.setRealtime(true);
  APMLog(APMLogLevel::kDebug, APMUploadLogCode::kEventNotSubjectRealTimeEvent,
         "Event is not subject to real-time event count daily limit. Marking an event as real-time. "
         "Event name, parameters",
         event.name());
  return false;
}

bool APMRawEventBundler::applyEngagement(Group& group, APMEncodedMessage& bundle) {
  bool sessionStart = false;
  int64_t engagement = 0;
  for (const auto& row : group.rows) {
    const APMEvent& event = *row->rawEvent();
    sessionStart = sessionStart || event.name() == "_s";
    const APMValue* time = event.parameter("_et");
    if (time && time->isInt64() && !event.parameter("_fr")) engagement += time->int64Value();
  }
  if (sessionStart) {
    if (hooks_.clearSessionScopedResults) hooks_.clearSessionScopedResults();
    // Nothing is evaluated while analytics storage is denied, the new session's properties neither.
    if (!group.analyticsDenied && hooks_.evaluateUserProperty) {
      for (const auto& property : userPropertiesOf(bundle)) {
        if (!hooks_.evaluateUserProperty(*property, std::nullopt, nullptr)) return true;
      }
    }
    platform::Error error;
    if (!writeAggregates()) return true;
    if (!database_->eventAggregates().clearCurrentSessionCounts(&error)) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedClearEventSessionCounts,
             "Failed to clear event session counts. Error", error);
      return true;
    }
  }
  if (!updateUserEngagement(engagement, bundle, false)) return true;
  if (sessionStart) {
    platform::Error error;
    if (!database_->userProperties().deleteUserAttributeWithName("_se", &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableDeleteSessionEngagementPropertySession,
             "Unable to delete session engagement property on session start. Error", error);
      return true;
    }
  }
  updateUserEngagement(engagement, bundle, true);
  return true;
}

bool APMRawEventBundler::updateUserEngagement(int64_t milliseconds, APMEncodedMessage& bundle, bool sessionScoped) {
  if (milliseconds < 0) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kUserEngagementTimeNegative,
           "User engagement time is negative.");
    return false;
  }
  if (milliseconds == 0) return true;
  const std::string name = sessionScoped ? "_se" : "_lte";
  platform::Error error;
  auto stored = database_->userProperties().userAttributeWithName(name, &error);
  if (!stored && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedQueryUserEngagementUserProperty,
           "Failed to query for user engagement user property. Name, error", name, error);
    return false;
  }
  int64_t value = milliseconds;
  if (stored && stored->value().isInt64()) value += stored->value().int64Value();
  const double now = platform::now();
  auto attribute = std::make_shared<APMUserAttribute>("auto", name, APMValue(value), now);
  if (!database_->userProperties().updateUserAttribute(*attribute, &error)) return false;

  auto properties = userPropertiesOf(bundle);
  bool found = false;
  for (auto& property : properties) {
    if (APMNanoGetString(*property, APMPBUserAttribute::kName) != name) continue;
    APMNanoSetInt64(*property, APMPBUserAttribute::kIntValue, value);
    APMNanoSetInt64(*property, APMPBUserAttribute::kSetTimestampMillis, APMMillisecondsFromSeconds(now));
    found = true;
  }
  if (!found) properties.push_back(attribute->protoUserAttribute());
  setUserProperties(bundle, properties);
  return true;
}

bool APMRawEventBundler::handleAnalyticsStorageConsentTransitions(Group& group, const APMEncodedMessage& bundle) {
  if (!pending_.consentSignals && !stored_.consentSignals) {
    stored_.consentSignals = persistedConfig_->consent().previousBundledConsentSignals();
  }
  const std::optional<std::string>& remembered = pending_.consentSignals ? pending_.consentSignals : *stored_.consentSignals;
  const std::string_view signals = bundle.viewString(Bundle::kConsentSignals).value_or(std::string_view());
  if ((remembered ? std::string_view(*remembered) : std::string_view()) == signals) return true;
  const std::string previous = remembered.value_or("");
  const std::string current(signals);
  const bool wasDenied = APMIsAnalyticsStorageDeniedInSignals(previous);
  const bool isDenied = APMIsAnalyticsStorageDeniedInSignals(current);
  platform::Error error;
  // The snapshot copies the stored aggregates and the restore replaces them.
  if (!writeAggregates()) return false;
  if (!wasDenied && isDenied && !database_->eventAggregates().createEventsSnapshotTable(&error)) {
    APMLog(APMLogLevel::kWarningSampled, APMUploadLogCode::kUnableCreateTableSnapshot,
           "Unable to create table snapshot. Error", error);
  } else if (wasDenied && !isDenied && !database_->eventAggregates().restoreFromEventsSnapshotTable(&error)) {
    APMLog(APMLogLevel::kWarningSampled, APMUploadLogCode::kUnableRestoreTableSnapshot,
           "Unable to restore from table snapshot. Error", error);
  }
  group.consentSignalsToRemember = current;
  return true;
}

std::optional<std::vector<std::shared_ptr<APMEvent>>> APMRawEventBundler::updateEventAggregates(
    const std::vector<std::shared_ptr<APMEvent>>& events, bool allowEvaluation, APMBundleEvaluationContext* evaluation,
    std::vector<double>& previousTimestamps) {
  const bool customerType = settings_.customerType;
  std::vector<std::shared_ptr<APMEvent>> result;
  result.reserve(events.size());
  for (auto event : events) {
    const std::string& name = event->name();
    if (customerType && APMIsPurchaseEventName(name)) {
      platform::Error allError;
      if (auto returning = totals_->hasCountedPurchase(&allError)) {
        event = event->copy();
        event->setParameter("_ct", APMValue(*returning ? "returning" : "new"));
      } else {
        APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedQueryAllEventAggregates,
               "Failed to query all event aggregates. Error", allError);
      }
    }
    platform::Error error;
    APMEventAggregates* aggregates = totals_->eventAggregates(name, &error);
    if (!aggregates) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedQueryEventAggregates,
             "Failed to query event aggregates. Name, error", name, error);
      return std::nullopt;
    }
    // The previous occurrence travels in the upload form only; kept aside so the event is not copied.
    const double previous =
        aggregates->lifetimeCount() > 0 ? aggregates->lastFireTimestamp() : event->previousTimestamp();
    previousTimestamps.push_back(previous);
    aggregates->incrementLifetimeCount();
    aggregates->incrementCurrentBundleCount();
    aggregates->incrementCurrentSessionCount();
    aggregates->setLastFireTimestamp(event->timestamp());
    if (allowEvaluation && hooks_.evaluateEvent &&
        !hooks_.evaluateEvent(*event->copyWithPreviousTimestamp(previous), *aggregates, evaluation)) {
      return std::nullopt;
    }
    result.push_back(std::move(event));
  }
  return result;
}

bool APMRawEventBundler::updateAppMetadata(APMEncodedMessage& bundle, int64_t eventCount, double start, double end) {
  platform::Error error;
  APMAppMetadata* metadata = totals_->appMetadata(&error);
  if (!metadata) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableFetchAppMetadataBundlingEvents,
           "Unable to fetch app metadata for bundling events. Error", error);
    return false;
  }
  if (metadata->lastBundleEndTimestamp > 0) {
    bundle.setInt64(Bundle::kPreviousBundleEndTimestampMillis, APMMillisecondsFromSeconds(metadata->lastBundleEndTimestamp));
  }
  const double previousStart =
      metadata->lastBundleStartTimestamp > 0 ? metadata->lastBundleStartTimestamp : metadata->lastBundleEndTimestamp;
  if (previousStart > 0) {
    bundle.setInt64(Bundle::kPreviousBundleStartTimestampMillis, APMMillisecondsFromSeconds(previousStart));
  }
  metadata->increaseLastBundleIndex(eventCount);
  metadata->incrementLastDeliveryIndex();
  metadata->lastBundleStartTimestamp = start;
  metadata->lastBundleEndTimestamp = end;
  bundle.setInt32(Bundle::kBundleSequentialIndex, static_cast<int32_t>(metadata->lastBundleIndex));
  bundle.setInt32(Bundle::kDeliveryIndex, static_cast<int32_t>(metadata->lastDeliveryIndex));
  totals_->appMetadataChanged();
  return true;
}

double APMRawEventBundler::storedMonitorSampleTime() {
  if (!stored_.monitorSampleTime) stored_.monitorSampleTime = persistedConfig_->uploadSchedule().lastMonitorDataSampledTimestamp();
  return *stored_.monitorSampleTime;
}

void APMRawEventBundler::addBundleMetadata(Group& group, APMEncodedMessage& bundle, double start, double end) {
  auto experiments = remoteConfig_->experiments().experimentIDs();
  if (!experiments.empty()) {
    // Each ID as the message's uint32 holds it.
    std::vector<uint64_t> ids;
    ids.reserve(experiments.size());
    for (int64_t id : experiments) ids.push_back(static_cast<uint32_t>(id));
    bundle.setPackedVarints(Bundle::kExperimentIds, ids);
  }
  if (hooks_.monitoringSample) {
    auto sample = hooks_.monitoringSample(
        settings_.monitoringSamplePeriod, pending_.monitorSampleTime ? *pending_.monitorSampleTime : storedMonitorSampleTime());
    if (sample && !sample->empty()) {
      bundle.setString(Bundle::kMonitoringSample, *sample);
      group.monitorSampleTime = platform::now();
    }
  }
  const int64_t configVersion = settings_.configVersion;
  if (configVersion >= 0) bundle.setInt64(Bundle::kConfigVersion, configVersion);
  if (bundle.viewString(Bundle::kAppId).value_or(std::string_view()).empty()) {
    std::string appID = hooks_.fallbackAppID ? hooks_.fallbackAppID() : std::string();
    if (!appID.empty()) bundle.setString(Bundle::kAppId, appID);
  }
  bundle.setInt64(Bundle::kStartTimestampMillis, APMMillisecondsFromSeconds(start));
  bundle.setInt64(Bundle::kEndTimestampMillis, APMMillisecondsFromSeconds(end));
}
