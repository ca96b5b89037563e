#include "APMUploadBatch.h"

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMWireFormat.h"
#include "DirodaZovAridozovori/Core/Utilities/APMDataDigest.h"

namespace {
using Bundle = APMPBMeasurementBundle;

// Some consent denied: the first-open search below is then moot.
bool signalsDenySomething(const std::string& signals) { return signals.find('0') != std::string::npos; }
}  // namespace

bool APMSetVarintFieldInEncoding(platform::Data& encoding, uint32_t tag, std::optional<uint64_t> value) {
  // The byte ranges of the field's own occurrences, and where a new one goes.
  std::vector<std::pair<size_t, size_t>> own;
  size_t insertAt = encoding.size();
  size_t at = 0;
  while (at < encoding.size()) {
    const size_t start = at;
    const auto key = APMWireReadVarint(encoding, at);
    if (!key || !APMWireSkipValue(encoding, at, static_cast<uint32_t>(*key & 7))) return false;
    const uint64_t fieldTag = *key >> 3;
    if (fieldTag == tag) own.emplace_back(start, at);
    if (fieldTag > tag && insertAt == encoding.size()) insertAt = start;
  }
  platform::Data result;
  result.reserve(encoding.size() + 11);
  size_t copied = 0;
  for (const auto& [start, end] : own) {
    if (insertAt > start) {
      result.insert(result.end(), encoding.begin() + static_cast<std::ptrdiff_t>(copied),
                    encoding.begin() + static_cast<std::ptrdiff_t>(start));
      copied = end;
    }
  }
  result.insert(result.end(), encoding.begin() + static_cast<std::ptrdiff_t>(copied),
                encoding.begin() + static_cast<std::ptrdiff_t>(insertAt));
  copied = insertAt;
  if (value) {
    APMWireAppendKey(result, tag, kAPMWireVarint);
    APMWireAppendVarint(result, *value);
  }
  for (const auto& [start, end] : own) {
    if (start < insertAt) continue;
    result.insert(result.end(), encoding.begin() + static_cast<std::ptrdiff_t>(copied),
                  encoding.begin() + static_cast<std::ptrdiff_t>(start));
    copied = end;
  }
  result.insert(result.end(), encoding.begin() + static_cast<std::ptrdiff_t>(copied), encoding.end());
  encoding = std::move(result);
  return true;
}

void APMAppendLengthDelimitedField(platform::Data& out, uint32_t tag, const platform::Data& bytes) {
  APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
  APMWireAppendVarint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

APMUploadBatch APMBuildUploadBatch(const std::vector<APMQueuedBundleMessage>& queued,
                                   const APMUploadBatchInputs& inputs) {
  APMUploadBatch result;
  std::vector<std::shared_ptr<Bundle>> bundles;
  std::vector<int64_t> rowIDs;
  bundles.reserve(queued.size());
  // The shared flag overwrites stored consent fields once some consent is denied or a first open
  // travels, so a batch never reports an older, more permissive state.
  bool overwrite = signalsDenySomething(inputs.consentSignals);
  for (const auto& [message, rowID] : queued) {
    if (!message) continue;
    const auto& bundle = message;
    if (!overwrite) overwrite = APMBundleHasFirstOpen(*bundle);
    APMSetIdentifierFields(*bundle, inputs.consentSignals, inputs.attGate, inputs.identity, overwrite);
    APMSetConsentFields(*bundle, inputs.consentDiagnostics, inputs.adUserDataDenied, inputs.npa, inputs.consentConfig,
                        overwrite);
    bundles.push_back(std::move(bundle));
    rowIDs.push_back(rowID);
  }
  if (bundles.empty()) return result;

  const APMBatchReference reference = APMBatchReferenceForBundles(bundles);
  const size_t compatible =
      APMCompatibleBundlePrefix(bundles, reference.appID, reference.resettableDeviceID, reference.vendorDeviceID);

  std::vector<std::shared_ptr<Bundle>> kept;
  for (size_t i = 0; i < compatible; ++i) {
    Bundle& bundle = *bundles[i];
    APMNanoSetInt64(bundle, Bundle::kUploadLibraryVersion, inputs.libraryVersion);
    APMNanoSetInt64(bundle, Bundle::kUploadTimestampMillis, inputs.nowMilliseconds);
    APMRedactBundle(bundle, inputs.dataControls, inputs.identity);
    if (inputs.checksumEnabled) {
      APMNanoSetInt64(bundle, Bundle::kChecksum, static_cast<int64_t>(apm_64LSBMD5(bundle.protoBuffer())));
    }
    if (!kept.empty() && !APMBundlesShareMetadata(*kept.front(), bundle)) break;
    kept.push_back(bundles[i]);
    result.rowIDs.push_back(rowIDs[i]);
    result.eventCount += bundle.nano().events_count;
  }
  // The batch's encoding written field by field: the bundles (field 1, each length-delimited) in
  // order, then the subdomain (field 8). This is the encoding of the batch message, without first
  // copying every bundle into one.
  for (const auto& bundle : kept) {
    APMAppendLengthDelimitedField(result.payload, APMPBMeasurementBatch::messageInfo().tagForIndex(APMPBMeasurementBatch::kBundles),
                          bundle->protoBuffer());
  }
  if (inputs.uploadSubdomain && !inputs.uploadSubdomain->empty()) {
    const std::string& subdomain = *inputs.uploadSubdomain;
    APMAppendLengthDelimitedField(result.payload,
                          APMPBMeasurementBatch::messageInfo().tagForIndex(APMPBMeasurementBatch::kUploadSubdomain),
                          platform::Data(subdomain.begin(), subdomain.end()));
  }
  return result;
}
