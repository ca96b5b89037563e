#pragma once
// The engine's side of the upload road: it hands the engine's database, configuration and
// components to the upload controller and the raw-event bundler, which hold the logic, and answers
// their questions about identity, consent and the rest of the engine. Owned by the engine; worker
// queue only, and nothing happens before the engine's first successful start.
#include <memory>

class APMMeasurement;
class APMPBMeasurementBundle;
class APMRawEventBundler;
class APMUploadController;

class APMEngineUploadRoad {
 public:
  explicit APMEngineUploadRoad(APMMeasurement& engine) : engine_(engine) {}
  APMEngineUploadRoad(const APMEngineUploadRoad&) = delete;
  APMEngineUploadRoad& operator=(const APMEngineUploadRoad&) = delete;

  // The upload controller over the current database and configuration (made anew after a wipe or
  // a new configuration object).
  std::shared_ptr<APMUploadController> uploadController();
  // Arms (or cancels) the upload alarm for the next upload.
  void updateSchedule();
  // Seconds since 1970 of the next upload; 0 when none is due.
  double nextUploadingTime();
  void uploadDataOrRegisterAlarm();
  // One upload attempt: bundles raw events, then posts one batch of queued bundles.
  void uploadData();
  bool hasDataToUpload();
  bool isNetworkReadyForRequest();
  // One bundling step: true when a group of raw events became a bundle.
  bool bundleRawEvents();
  // Uploads pause for an hour of uptime from this time (0 resumes them).
  void setSuspendedUploadTimestamp(double uptime);
  // Writes the current identifier and consent fields into new raw-event metadata (used when no
  // component overrides them), so events keep the consent they were logged under.
  void addIdentifierAndConsentFieldsToMetadata(APMPBMeasurementBundle& metadata);

 private:
  APMMeasurement& engine_;
  std::shared_ptr<APMUploadController> uploadController_;
  std::shared_ptr<APMRawEventBundler> rawEventBundler_;
  double pendingSuspendedUploadTimestamp_ = 0;  // set before the controller exists
};
