#pragma once
// Turns stored raw events into queued bundles, one group at a time: the oldest rows that share a
// metadata fingerprint and an hour (contiguous, within the per-bundle event and size limits)
// become one APMPBMeasurementBundle in the upload queue, and the rows are deleted, all in one
// database transaction; several groups may share one transaction, each in a savepoint of its own.
// A failure rolls the whole group back (and only that group), so the next call retries it.
//
// The groups of one transaction take the rows they read ahead from the oldest on, so their rows are
// one span of row IDs: it is deleted with the metadata only it pointed to by two statements just
// before the commit, rather than by two per group (a purchase stream makes a group per event, and
// its groups then write nothing but their bundle, so they need no savepoint either). Should that
// delete fail, the transaction keeps none of its groups. Rows read the other way (a row that cannot
// be read lies ahead) are deleted by their own group, after the span taken before them.
//
// What bundling changes outside the database (the remembered consent signals, the monitor's
// last-sample time, the end of audience evaluations) changes only once the transaction has
// committed; until then the next group of the same transaction sees what the groups before it left.
//
// Worker queue only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "APMDailyCounts.h"
#include "APMEvent.h"
#include "APMEventAggregates.h"
#include "APMRawEventData.h"
#include "platform/Error.h"

class APMBundlingTotals;
class APMEncodedMessage;
class APMDatabase;
class APMPersistedConfig;
class APMRemoteConfig;
class APMPBMeasurementBundle;
class APMPBEvent;
class APMPBUserAttribute;
class APMPBAudienceLeafFilterResult;

// What one bundle's audience evaluations share (the evaluation's timestamp caches); opaque here.
class APMBundleEvaluationContext {
 public:
  virtual ~APMBundleEvaluationContext() = default;
};

// What bundling needs of the engine and of audience evaluation. Every hook may be empty: then the
// neutral answer (no audiences, day 0, nothing real-time-limited) is used. All run on the worker
// queue, inside the group's transaction unless said otherwise.
struct APMBundlingHooks {
  // The day number daily counts are kept in.
  std::function<int32_t()> currentDay;
  std::function<bool()> isDebugMode;
  std::function<bool()> isAnalyticsStorageDenied;
  std::function<std::string()> consentDescription;
  std::function<bool(const APMEvent& event)> isSubjectToRealtimeLimit;
  std::function<bool(const APMEvent& event)> isDCUEvent;
  // Audience evaluation of one bundle: begun before its events are counted; the events and then the
  // bundle's user properties are evaluated with the context it answers (nullptr: none); ended once
  // the group's transaction has committed, or aborted (after it rolled back, or when the group made
  // no bundle), so a rolled-back group is evaluated afresh. False from an evaluation fails the group.
  std::function<std::shared_ptr<APMBundleEvaluationContext>()> beginBundleEvaluation;
  std::function<void(const std::shared_ptr<APMBundleEvaluationContext>& context)> endBundleEvaluation;
  std::function<void(const std::shared_ptr<APMBundleEvaluationContext>& context)> abortBundleEvaluation;
  std::function<bool(const APMEvent& event, const APMEventAggregates& aggregates, APMBundleEvaluationContext* context)>
      evaluateEvent;
  // evaluationTime and context are both empty for the re-evaluation at a session start, which runs
  // before the bundle's evaluation begins.
  std::function<bool(const APMPBUserAttribute& property, std::optional<double> evaluationTime,
                     APMBundleEvaluationContext* context)>
      evaluateUserProperty;
  // The audiences' results for the bundle, with the bundle's evaluation context.
  std::function<std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>>(
      APMBundleEvaluationContext* context)>
      resultsForBundling;
  std::function<void()> clearSessionScopedResults;
  // Runs once per bundle after the app metadata is updated (the engine's "_npa" refresh).
  std::function<void()> beforeAudienceEvaluation;
  // The app ID a bundle gets when its metadata has none.
  std::function<std::string()> fallbackAppID;
  // The monitor's sample to send, given the sample period and the last sample time.
  std::function<std::optional<std::string>(double samplePeriod, double lastSampledTimestamp)> monitoringSample;
  // Any roll for sampling (tests fix it); empty: random.
  std::function<bool(int64_t rate)> samplingRoll;
};

class APMRawEventBundler {
 public:
  static constexpr size_t kMaxRowsPerGroup = 1000;

  APMRawEventBundler(std::shared_ptr<APMDatabase> database, std::shared_ptr<APMRemoteConfig> remoteConfig,
                     std::shared_ptr<APMPersistedConfig> persistedConfig, APMBundlingHooks hooks);

  enum class Result {
    Failed,       // nothing changed; logged
    NothingToDo,  // no raw events left
    Bundled,      // one group became a bundle (or was dropped whole), rows deleted
  };
  // One group; commits on success and rolls back on failure.
  Result bundleRawEvents();

  // Up to maxGroups groups in one transaction, until the groups taken hold kMaxRowsPerGroup rows.
  // Each group runs in a savepoint: one that fails rolls back alone and ends the run, and the
  // groups before it are kept. One commit for many small groups (a purchase stream makes a group
  // per event) spares each group a commit and the rewrite of the pages every group touches.
  struct Run {
    size_t bundled = 0;                 // groups bundled (or dropped whole) and committed
    Result last = Result::NothingToDo;  // how the last group went: Bundled when the run hit its bounds
  };
  // enough, when given, is asked after each group (inside the transaction): true ends the run there.
  Run bundleRawEventGroups(size_t maxGroups, const std::function<bool()>& enough = {});

  // The selection rule for one row at position of a group (the first row's hour and the sizes so
  // far are given); exposed for tests.
  struct Selection {
    int64_t firstHour = 0;
    int64_t previousRowID = 0;
    int64_t acceptedBytes = 0;
  };
  static bool acceptsRow(const Selection& selection, size_t position, int64_t hour, int64_t rowID,
                         int64_t eventBytes, int64_t maxEventsPerBundle, int64_t maxBytes);

 private:
  struct Group;
  Result bundleNextGroup(Group& group);
  bool bundleGroup(Group& group);
  // fromReadAhead tells whether the rows came from the transaction's rows read ahead.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, std::vector<platform::Data>* encodings, bool* fromReadAhead);
  // The rows rowAt offers (null ends them) that the selection rules accept, in order, with the
  // encoding of each one's upload form when they are more than one.
  std::vector<std::shared_ptr<APMRawEventData>> selectRows(
      const std::function<const std::shared_ptr<APMRawEventData>*(size_t position)>& rowAt,
      std::vector<platform::Data>* encodings);
  // Reads ahead until the cursor holds a row at position, the table has no more, or a row cannot
  // be read (the cursor is then no longer used); false when the table cannot be read.
  bool readAhead(size_t position, platform::Error* error);
  // Reads ahead past the run of rows of fingerprint at the front, as far as a group could take.
  bool readFingerprintRunAhead(int64_t fingerprint, platform::Error* error);
  // The group's metadata, as the lookup by its fingerprint gives it (empty without error when there
  // is none), taken from the metadata rows read ahead where they hold it.
  std::optional<APMEncodedMessage> metadataOf(const Group& group, platform::Error* error);
  // The rows a kept group took from those read ahead, and the newest of their times.
  struct TakenSpan {
    int64_t first = 0;
    int64_t last = 0;
    double newest = 0;
  };
  void takeSpan(const TakenSpan& span);
  // Deletes the rows the transaction's groups took so far, with the metadata only they pointed to.
  bool deleteTakenRows();
  // The encoding of event's upload form, which came from the group's row source; the row's
  // encoding made at selection is taken (and patched) where it holds.
  platform::Data uploadEncodingOf(const APMEvent& event, double previousTimestamp, Group& group, size_t source);
  std::optional<std::vector<std::shared_ptr<APMEvent>>> processRawEvents(Group& group);
  // customConversion: the configuration makes the event's name a conversion.
  bool checkConversion(APMEvent& event, bool customConversion, APMDailyCounts& counts, int32_t day);
  bool checkRealtime(APMEvent& event, APMDailyCounts& counts, int32_t day);
  bool applyEngagement(Group& group, APMEncodedMessage& bundle);
  bool updateUserEngagement(int64_t milliseconds, APMEncodedMessage& bundle, bool sessionScoped);
  // The events after counting; previousTimestamps gets each event's previous occurrence (0: none).
  std::optional<std::vector<std::shared_ptr<APMEvent>>> updateEventAggregates(
      const std::vector<std::shared_ptr<APMEvent>>& events, bool allowEvaluation, APMBundleEvaluationContext* evaluation,
      std::vector<double>& previousTimestamps);
  // False when the aggregates counted so far could not be written first.
  bool handleAnalyticsStorageConsentTransitions(Group& group, const APMEncodedMessage& bundle);
  bool updateAppMetadata(APMEncodedMessage& bundle, int64_t eventCount, double start, double end);
  void addBundleMetadata(Group& group, APMEncodedMessage& bundle, double start, double end);
  // The group's rows and, with its last row, its metadata: at once, or with the transaction's other groups'
  // when they came from the rows read ahead.
  bool deleteGroupRows(Group& group);
  // The transaction's totals written (logged when that fails).
  bool writeAggregates();
  bool writeTotals();

  // What the configuration says that bundling asks of it for every group or event, read once at
  // the start of a run instead: a run is one transaction, and its groups follow the configuration
  // as it was when the run began. The next run reads it afresh.
  struct RunSettings {
    int64_t maxEventsPerBundle = 0;
    int64_t maxBytesPerBundle = 0;
    bool blocklistInternal = false;
    bool blocklistPublic = false;
    bool removeRedundantEngagement = false;
    bool customerType = false;
    bool eventSampling = false;
    int64_t configVersion = -1;
    double monitoringSamplePeriod = 0;  // read only when a monitoring sample is asked for
  };
  // What the configuration says of an event name, asked once per name of a run: a run's events are
  // mostly a few names repeated, and each question walks the event configurations.
  struct NameRules {
    std::optional<std::string> internal;
    bool passes = false;  // kept without the blocklist's say
    bool blocklisted = false;
    std::optional<bool> customConversion;
  };
  void readRunSettings();
  NameRules& rulesOf(const std::string& name);
  // Whether rules (of name) make name a custom conversion, asked of the configuration once a run.
  bool isCustomConversion(NameRules& rules, const std::string& name);

  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  APMBundlingHooks hooks_;
  RunSettings settings_;
  std::unordered_map<std::string, NameRules> nameRules_;
  // What the groups kept so far in the running transaction leave for the next one to see.
  struct Pending {
    std::optional<std::string> consentSignals;
    std::optional<double> monitorSampleTime;
  };
  Pending pending_;
  // What the persisted configuration held for those as the running transaction began, read at most
  // once a run: nothing but a run's commit changes them.
  struct Stored {
    std::optional<std::optional<std::string>> consentSignals;
    std::optional<double> monitorSampleTime;
  };
  Stored stored_;
  double storedMonitorSampleTime();
  // The running transaction's totals, and its raw events read ahead.
  APMBundlingTotals* totals_ = nullptr;
  struct RowCursor;
  RowCursor* cursor_ = nullptr;
  // The running transaction's metadata rows read ahead.
  struct MetadataWindow;
  MetadataWindow* metadataWindow_ = nullptr;
  // The rows the running transaction's kept groups took from those read ahead, not yet deleted; set
  // when deleting them failed, which the transaction must not commit.
  std::optional<TakenSpan> taken_;
  bool deletionFailed_ = false;
};
