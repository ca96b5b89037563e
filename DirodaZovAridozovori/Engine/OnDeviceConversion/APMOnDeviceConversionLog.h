#pragma once
// The on-device conversion reporter's message codes (23000s). Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMOnDeviceConversionLogCode : int64_t {
  kInitiatedDeviceConversionMeasurement = 23225,
  kURLQueryDataSetDeviceConversion = 23227,
  kFailedQueryDataSetDeviceConversion = 23228,
  kDeviceConversionMeasurementFoundMatch = 23229,
  kDeviceConversionMeasurementDidNotFind = 23230,
  kDeviceConversionMeasurementFailedFindMatch = 23231,
  kNetworkOperationPending = 23232,
  kFailedInitiateDeviceConversionMeasurement = 23233,
  kFailedInitiateDeviceConversionMeasurementEmailAddress = 23234,
  kFailedInitiateDeviceConversionMeasurementRequestQuery = 23235,
  kFailedInitiateDeviceConversionMeasurementExceededLimit = 23236,
  kFailedInitiateDeviceConversionMeasurementFoundExisting = 23237,
  kFailedInitiateDeviceConversionMeasurementExceededRetry = 23238,
  kFailedInitiateDeviceConversionMeasurementPhoneNumber = 23239,
  kDeviceConversionMeasurementReadyInitiate = 23253,
  kConversionDependencyNotLinked = 23254,
  kFailedInitiateDeviceConversionMeasurementAttemptedInitiate = 23261,
  kFailedInitiateDeviceConversionMeasurementLinkedDevice = 23262,
  kFailedInitiateDeviceConversionMeasurementHashedIdentifier = 23264,
  kFailedInitiateDeviceConversionMeasurementLinkedDeviceConversion = 23265,
  kFailedGetCompatibleConversionService = 23268,
  kConversionServiceFailedFetchMeasurementInfo = 23269,
  kConversionServiceDisabled = 23275,
  kConversionServiceDisabledAdStorageConsentDenied = 23276,
  kConversionServiceEnabled = 23277,
  kConversionServiceDirodaAdsOnDeviceConversionFrameworkLinked = 23278,
  kConversionServiceDisabledDirodaAdsOnDeviceConversionFrameworkNotLinked = 23279,
  kConversionServiceNotAttemptFetch = 23280,
  kConversionServiceReturnedEmptyValue = 23281,
  kConversionServiceReturnedSameValue = 23282,
  kDeprecatedDeviceConversionFrameworkLinked = 23284,
  kFailedInitiateDeviceConversionMeasurementDeprecatedDevice = 23285,
  kFailedUpdateODMValue = 23286,
  kFailedDeleteODMValue = 23289,
  kFailedUpdateODM2Value = 23290,
  kDirodaZovAridozovoriOnDeviceConversionDeprecatedFrameworkLinked = 23292,
  kPayloadQueryDataSetDeviceConversion = 23293,
};
template <>
inline constexpr bool kAPMIsLogCode<APMOnDeviceConversionLogCode> = true;
