#include "APMUploadBatch.h"

#include "APMNanoAccessors.h"
#include "APMEventWireEncoding.h"
#include "APMPBMessages.h"
#include "APMWireFormat.h"
#include "DirodaZovAridozovori/Core/Utilities/APMDataDigest.h"

namespace {
using Bundle = APMPBMeasurementBundle;

// Some consent denied: the first-open search below is then moot.
bool signalsDenySomething(const std::string& signals) { return signals.find('0') != std::string::npos; }

uint32_t eventsTag() { return Bundle::messageInfo().tagForIndex(Bundle::kEvents); }

// A message's encoding with fields (whole, of one tag) put where the encoder writes that tag:
// before the first field of a higher tag.
platform::Data spliceFields(platform::Data encoding, uint32_t tag, const platform::Data& fields) {
  if (fields.empty()) return encoding;
  size_t at = 0;
  size_t insertAt = encoding.size();
  while (at < encoding.size()) {
    const size_t start = at;
    const auto key = APMWireReadVarint(encoding, at);
    if (!key || !APMWireSkipValue(encoding, at, static_cast<uint32_t>(*key & 7))) break;
    if ((*key >> 3) > tag) {
      insertAt = start;
      break;
    }
  }
  encoding.insert(encoding.begin() + static_cast<std::ptrdiff_t>(insertAt), fields.begin(), fields.end());
  return encoding;
}
}  // namespace

std::optional<APMQueuedBundleParts> APMQueuedBundlePartsFromEncoding(const platform::Data& encoding, int64_t rowID) {
  APMQueuedBundleParts parts;
  parts.rowID = rowID;
  const uint32_t tag = eventsTag();
  platform::Data rest;
  rest.reserve(encoding.size());
  size_t at = 0;
  while (at < encoding.size()) {
    const size_t start = at;
    const auto key = APMWireReadVarint(encoding, at);
    if (!key) return std::nullopt;
    const size_t valueStart = at;
    if (!APMWireSkipValue(encoding, at, static_cast<uint32_t>(*key & 7))) return std::nullopt;
    const auto fieldBegin = encoding.begin() + static_cast<std::ptrdiff_t>(start);
    const auto fieldEnd = encoding.begin() + static_cast<std::ptrdiff_t>(at);
    if ((*key >> 3) != tag) {
      rest.insert(rest.end(), fieldBegin, fieldEnd);
      continue;
    }
    size_t bodyStart = valueStart;
    if ((*key & 7) != kAPMWireLengthDelimited || !APMWireReadVarint(encoding, bodyStart)) return std::nullopt;
    const std::span<const uint8_t> body(encoding.data() + bodyStart, at - bodyStart);
    if (!APMEventEncodingParses(body)) return std::nullopt;
    parts.hasFirstOpen = parts.hasFirstOpen || APMEventEncodingName(body) == "_f";
    parts.events.insert(parts.events.end(), fieldBegin, fieldEnd);
    ++parts.eventCount;
  }
  parts.message = Bundle::fromBuffer(rest);
  if (!parts.message) return std::nullopt;
  return parts;
}

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
  std::vector<APMQueuedBundleParts> parts;
  parts.reserve(queued.size());
  for (const auto& [message, rowID] : queued) {
    APMQueuedBundleParts whole;
    whole.message = message;
    whole.rowID = rowID;
    parts.push_back(std::move(whole));
  }
  return APMBuildUploadBatch(parts, inputs);
}

APMUploadBatch APMBuildUploadBatch(const std::vector<APMQueuedBundleParts>& queued, const APMUploadBatchInputs& inputs) {
  APMUploadBatch result;
  std::vector<std::shared_ptr<Bundle>> bundles;
  std::vector<const APMQueuedBundleParts*> sources;
  bundles.reserve(queued.size());
  // The shared flag overwrites stored consent fields once some consent is denied or a first open
  // travels, so a batch never reports an older, more permissive state.
  bool overwrite = signalsDenySomething(inputs.consentSignals);
  for (const auto& source : queued) {
    if (!source.message) continue;
    const auto& bundle = source.message;
    if (!overwrite) overwrite = source.hasFirstOpen || APMBundleHasFirstOpen(*bundle);
    APMSetIdentifierFields(*bundle, inputs.consentSignals, inputs.attGate, inputs.identity, overwrite);
    APMSetConsentFields(*bundle, inputs.consentDiagnostics, inputs.adUserDataDenied, inputs.npa, inputs.consentConfig,
                        overwrite);
    bundles.push_back(bundle);
    sources.push_back(&source);
  }
  if (bundles.empty()) return result;

  const APMBatchReference reference = APMBatchReferenceForBundles(bundles);
  const size_t compatible =
      APMCompatibleBundlePrefix(bundles, reference.appID, reference.resettableDeviceID, reference.vendorDeviceID);

  const uint32_t tag = eventsTag();
  std::vector<std::shared_ptr<Bundle>> kept;
  std::vector<const APMQueuedBundleParts*> keptSources;
  for (size_t i = 0; i < compatible; ++i) {
    Bundle& bundle = *bundles[i];
    const platform::Data& events = sources[i]->events;
    APMNanoSetInt64(bundle, Bundle::kUploadLibraryVersion, inputs.libraryVersion);
    APMNanoSetInt64(bundle, Bundle::kUploadTimestampMillis, inputs.nowMilliseconds);
    APMRedactBundle(bundle, inputs.dataControls, inputs.identity);
    if (inputs.checksumEnabled) {
      const platform::Data encoded = spliceFields(bundle.protoBuffer(), tag, events);
      APMNanoSetInt64(bundle, Bundle::kChecksum, static_cast<int64_t>(apm_64LSBMD5(encoded)));
    }
    if (!kept.empty() && !APMBundlesShareMetadata(*kept.front(), bundle)) break;
    kept.push_back(bundles[i]);
    keptSources.push_back(sources[i]);
    result.rowIDs.push_back(sources[i]->rowID);
    result.eventCount += bundle.nano().events_count + sources[i]->eventCount;
  }
  // The batch's encoding written field by field: the bundles (field 1, each length-delimited) in
  // order, then the subdomain (field 8). This is the encoding of the batch message, without first
  // copying every bundle into one.
  for (size_t i = 0; i < kept.size(); ++i) {
    APMAppendLengthDelimitedField(result.payload, APMPBMeasurementBatch::messageInfo().tagForIndex(APMPBMeasurementBatch::kBundles),
                          spliceFields(kept[i]->protoBuffer(), tag, keptSources[i]->events));
  }
  if (inputs.uploadSubdomain && !inputs.uploadSubdomain->empty()) {
    const std::string& subdomain = *inputs.uploadSubdomain;
    APMAppendLengthDelimitedField(result.payload,
                          APMPBMeasurementBatch::messageInfo().tagForIndex(APMPBMeasurementBatch::kUploadSubdomain),
                          platform::Data(subdomain.begin(), subdomain.end()));
  }
  return result;
}
