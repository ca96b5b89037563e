#pragma once
// Builds one upload batch from queued bundles (oldest first): applies the current identifier and
// consent rules, keeps the longest prefix that shares app ID, device ID and consent metadata with
// the first bundle, stamps the upload time and library version, redacts what the data controls
// name, and adds each bundle's checksum last. Bundles left out wait for a later upload.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMBundleFields.h"
#include "APMDatabase.h"
#include "APMEncodedMessage.h"

class APMPBMeasurementBatch;
class APMPBUserAttribute;

struct APMUploadBatchInputs {
  int64_t nowMilliseconds = 0;
  int64_t libraryVersion = 0;
  APMBundleIdentity identity;
  APMBundleConsentConfig consentConfig;
  std::string consentSignals;
  std::string consentDiagnostics;
  bool adUserDataDenied = false;
  bool attGate = false;
  std::shared_ptr<APMPBUserAttribute> npa;
  std::vector<std::string> dataControls;
  bool checksumEnabled = false;
  // Set for server-side-tagging uploads only.
  std::optional<std::string> uploadSubdomain;
};

struct APMUploadBatch {
  platform::Data payload;       // the encoded APMPBMeasurementBatch
  std::vector<int64_t> rowIDs;  // the bundles in the batch, in order
  size_t eventCount = 0;
};

// Appends one length-delimited field (a sub-message, string or bytes) to a message's encoding.
// Fields may come in any order on the wire, so appending to a message's encoding adds the field.
void APMAppendLengthDelimitedField(platform::Data& out, uint32_t tag, const platform::Data& bytes);

// The encoding of a message with one varint field (int64, bool, enum) set to value, or removed when
// value is empty, as the encoder would write the changed message: the fields stay in tag order,
// and the new field goes before the first with a higher tag. The encoding is the encoder's own
// (fields in tag order); false, leaving it as it was, when it does not parse.
bool APMSetVarintFieldInEncoding(platform::Data& encoding, uint32_t tag, std::optional<uint64_t> value);

// A queued bundle as a batch reads it: everything but its events as its encoding, read and changed
// field by field and never decoded, and the events as they are stored (each a whole field "events",
// key and length included, in order), which travel as they are: decoding and encoding a queued
// bundle again cost more than the rest of a batch.
struct APMQueuedBundleParts {
  std::optional<APMEncodedMessage> metadata;
  platform::Data events;
  size_t eventCount = 0;
  bool hasFirstOpen = false;
  int64_t rowID = 0;
};
// None when the bytes do not read as a bundle, or one of its events not as an event. The rest of a
// bundle that is not written the way the encoder writes it (an earlier build's, or bytes changed
// on disk) is decoded and encoded once here, so the batch sends what decoding it reads.
std::optional<APMQueuedBundleParts> APMQueuedBundlePartsFromEncoding(const platform::Data& encoding, int64_t rowID);

// An empty batch (no row IDs) when no bundle is compatible with the first. The queued bundles are
// updated in place (they are the caller's fresh readings). The batch is the encoding of the batch
// message whose bundles are the queued ones with the upload's changes made on them.
APMUploadBatch APMBuildUploadBatch(std::vector<APMQueuedBundleParts>& queued, const APMUploadBatchInputs& inputs);
// The same from decoded bundles, events in their messages.
APMUploadBatch APMBuildUploadBatch(const std::vector<APMQueuedBundleMessage>& queued,
                                   const APMUploadBatchInputs& inputs);
