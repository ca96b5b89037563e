// A queued bundle as the upload reads it back from the database file, which may be torn or
// tampered with: split into its stored events (checked field by field, never decoded) and the rest
// (carried as its bytes when the encoder wrote them, else decoded), then sent in a batch beside a
// second copy of itself with the identifiers, consent fields, redaction and checksum applied. The
// batch of an accepted bundle that also decodes as a message must decode again, carrying every
// event it counted.
#include "APMPBMessages.h"
#include "FuzzSupport.h"
#include "Upload/APMUploadBatch.h"

namespace {

APMUploadBatchInputs batchInputs() {
  APMUploadBatchInputs inputs;
  inputs.nowMilliseconds = 1700000000000;
  inputs.libraryVersion = 42;
  inputs.identity.limitedAdTracking = false;
  inputs.identity.resettableDeviceID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  inputs.identity.vendorID = "9F3B1C2E-1111-4C4C-8888-0123456789AB";
  inputs.identity.appInstanceID = "f1e2d3c4b5a6";
  inputs.identity.trackingAuthorizationStatus = 3;
  inputs.consentSignals = "G111";
  inputs.consentDiagnostics = "19911";
  inputs.dataControls = {"device_model", "os_version"};
  inputs.checksumEnabled = true;
  inputs.uploadSubdomain = "region1";
  return inputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const platform::Data stored = fuzzsupport::bytesOf(data, size);
  // The message decoder and the split disagree at the edges of the wire format (the decoder
  // refuses a text holding NUL, and skips an unknown varint longer than ten bytes): only what
  // both read is checked end to end.
  const bool decodes = APMPBMeasurementBundle::fromBuffer(stored) != nullptr;
  std::vector<APMQueuedBundleParts> queued;
  for (int64_t rowID : {1, 2}) {
    auto parts = APMQueuedBundlePartsFromEncoding(stored, rowID);
    if (!parts) return 0;
    queued.push_back(std::move(*parts));
  }
  const APMUploadBatch batch = APMBuildUploadBatch(queued, batchInputs());
  if (batch.rowIDs.empty()) fuzzsupport::fail("a bundle is not compatible with itself");
  if (!decodes) return 0;
  auto decoded = APMPBMeasurementBatch::fromBuffer(batch.payload);
  if (!decoded) fuzzsupport::fail("a batch does not decode");
  const auto& message = decoded->nano();
  if (message.bundles_count != batch.rowIDs.size()) fuzzsupport::fail("a batch holds another number of bundles");
  size_t events = 0;
  for (pb_size_t i = 0; i < message.bundles_count; ++i) events += message.bundles[i].events_count;
  if (events != batch.eventCount) fuzzsupport::fail("a batch holds another number of events than it counted");
  return 0;
}
