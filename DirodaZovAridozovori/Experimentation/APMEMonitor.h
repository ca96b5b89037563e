#pragma once
// Experimentation's message codes (800000 to 880000) and its logging helpers. Lines go out through
// APMLog, so experimentation shares the measurement monitor's levels, console and monitoring
// sample, and a log sink sees them like any other component's.

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "APMLogChannel.h"

enum class APMELogCode : int64_t {
  kCannotRegisterClientNilSDKProperty = 800000,
  kCannotRegisterExperimentClientNoSDK = 800001,
  kCannotRegisterExperimentClientInvalidFlags = 800002,
  kSDKRegisteredAgain = 800003,
  kClientNotRegistered = 800004,
  kClientRegistered = 800005,
  kCannotGetFlagValueInvalidSDK = 800008,
  kCannotGetFlagValueInvalidFlag = 800009,
  kCannotRetrieveFlagValueEmptySDK = 800010,
  kCannotRetrieveFlagValueEmptyFlag = 800011,
  kSDKNotRegisteredYet = 800012,
  kCannotGetFlagUnregisteredSDK = 800013,
  kNoDefaultFlagValue = 800014,
  kLookingForActivatedFlag = 800015,
  kActivatedFlagNotFound = 800016,
  kSerialQueueAsyncException = 800017,
  kSerialQueueSyncException = 800018,
  kLaunchedFlagNotFound = 800019,
  kNoPendingSnapshotsNotifyClients = 800020,
  kNoSDKNameToActivate = 800021,
  kCannotActivatePendingSnapshotEmptySDK = 800022,
  kNoPendingSnapshotActivate = 800023,
  kCannotCheckActivatedSnapshotEmptySDK = 800024,
  kCannotResetDefaultsEmptySDKName = 800025,
  kCannotResetDefaultsUnregisteredSDKName = 800026,
  kResetAllExperimentsDefault = 800027,
  kSnapshotActivated = 800028,
  kCannotInitializeDatabaseInvalidPath = 810000,
  kFailedOpenDatabase = 810001,
  kTablesNotValidated = 810002,
  kOldDatabaseNotDeleted = 810003,
  kFailedEnsureTable = 810004,
  kFailedDeleteDatabaseData = 810005,
  kCannotReInitializeDatabase = 810006,
  kTransactionFailed = 810007,
  kDeletedPendingSnapshotCannotRead = 810008,
  kFetchingExperiments = 820001,
  kFetchFailed = 820002,
  kFetchSucceeded = 820003,
  kCannotDeleteStaleActivatedSnapshots = 820006,
  kCannotActivatePendingSnapshotsAutomatically = 820007,
  kTaskManagerNotStarted = 820008,
  kTaskManagerStarted = 820009,
  kActivatedSnapshotsNotFetched = 820010,
  kPendingSnapshotsNotFetched = 820011,
  kLaunchedSnapshotsNotFetched = 820012,
  kCannotActivateEmptySnapshot = 820013,
  kCannotActivateSnapshotSDKName = 820014,
  kCannotCreateExperimentSnapshotsNilResponse = 820015,
  kCannotCreateSnapshotProto = 820016,
  kFetchTaskAlreadyScheduled = 820017,
  kTaskResetWithEmptySDKName = 820018,
  kCannotResetDefaultsDatabase = 820019,
  kCannotUpsertEmptyPendingSnapshotList = 820020,
  kCannotUpsertPendingSnapshotsIntoDatabase = 820021,
  kCannotUpsertPendingSnapshots = 820022,
  kCannotInflateDownloadedExperimentData = 820023,
  kTooManyFetchAttempts = 820024,
  kCannotCreateExperimentSnapshotsEmptyData = 820025,
  kWorkerAsyncException = 820026,
  kWorkerSyncException = 820027,
  kCannotInitializeClientNilProperty = 830000,
  kCannotInitializeClientNilDefaultFlags = 830001,
  kCannotGetValueEmptyFlagName = 830002,
  kClientFlagNameInvalid = 830003,
  kCannotCreateSnapshotInvalidSDKName = 840000,
  kCannotCreateSnapshotInvalidExperiment = 840002,
  kCannotAddFlagIntoEmptyExperiment = 840003,
  kCannotAddInvalidFlagIntoSnapshot = 840004,
  kNilFlagName = 850000,
  kFlagNameNotString = 850001,
  kFlagValueInvalid = 850002,
  kEmptyDiversionKey = 860001,
  kCannotCreateExperimentWithoutID = 870000,
  kNonFlagNotAdded = 870003,
  kEmptyFlagNotAdded = 870004,
  kFlagWithoutNameNotAdded = 870006,
  kFlagWithoutNameNotRetrieved = 870007,
  kEmptySDKPropertyNotAdded = 880000,
};
template <>
inline constexpr bool kAPMIsLogCode<APMELogCode> = true;

class APMEMonitor {
 public:
  // The message with its first "%@" replaced by value.
  static std::string format(std::string_view message, std::string_view value);

  // Runs block; an exception it throws is logged (sampled error, with the exception) and handed back.
  static std::exception_ptr runCatching(const std::function<void()>& block, APMELogCode messageCode,
                                        std::string_view message);
};
