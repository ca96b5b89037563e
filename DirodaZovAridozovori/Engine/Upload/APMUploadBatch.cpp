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

uint32_t bundlesTag() {
  return APMPBMeasurementBatch::messageInfo().tagForIndex(APMPBMeasurementBatch::kBundles);
}

void appendSubdomain(platform::Data& payload, const APMUploadBatchInputs& inputs) {
  if (!inputs.uploadSubdomain || inputs.uploadSubdomain->empty()) return;
  const std::string& subdomain = *inputs.uploadSubdomain;
  APMAppendLengthDelimitedField(payload,
                                APMPBMeasurementBatch::messageInfo().tagForIndex(APMPBMeasurementBatch::kUploadSubdomain),
                                platform::Data(subdomain.begin(), subdomain.end()));
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
    if (parts.hasFirstOpen) {
      if (!APMEventEncodingParses(body)) return std::nullopt;
    } else {
      std::optional<std::string_view> name;
      if (!APMEventEncodingParses(body, name)) return std::nullopt;
      parts.hasFirstOpen = name == "_f";
    }
    parts.events.insert(parts.events.end(), fieldBegin, fieldEnd);
    ++parts.eventCount;
  }
  parts.metadata = APMEncodedMessage::fromCanonicalEncoding(Bundle::messageInfo(), std::move(rest));
  if (parts.metadata) return parts;
  // Not the encoder's own bytes (left as they were): what decoding reads is what travels.
  auto decoded = Bundle::fromBuffer(rest);
  if (!decoded) return std::nullopt;
  parts.metadata = APMEncodedMessage::fromMessage(*decoded);
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
  if (own.empty()) {
    // The common case, a field the encoding lacks: its bytes go in where it belongs, in place.
    if (!value) return true;
    uint8_t field[20];  // a key and a value, ten bytes at most each
    size_t length = 0;
    auto put = [&](uint64_t varint) {
      for (; varint >= 0x80; varint >>= 7) field[length++] = static_cast<uint8_t>(varint | 0x80);
      field[length++] = static_cast<uint8_t>(varint);
    };
    put((static_cast<uint64_t>(tag) << 3) | kAPMWireVarint);
    put(*value);
    encoding.insert(encoding.begin() + static_cast<std::ptrdiff_t>(insertAt), field, field + length);
    return true;
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
  // The shared flag overwrites stored consent fields once some consent is denied or a first open
  // travels, so a batch never reports an older, more permissive state.
  bool overwrite = signalsDenySomething(inputs.consentSignals);
  for (const auto& [bundle, rowID] : queued) {
    if (!bundle) continue;
    if (!overwrite) overwrite = APMBundleHasFirstOpen(*bundle);
    APMSetIdentifierFields(*bundle, inputs.consentSignals, inputs.attGate, inputs.identity, overwrite);
    APMSetConsentFields(*bundle, inputs.consentDiagnostics, inputs.adUserDataDenied, inputs.npa, inputs.consentConfig,
                        overwrite);
    bundles.push_back(bundle);
    rowIDs.push_back(rowID);
  }
  if (bundles.empty()) return result;

  const APMBatchReference reference = APMBatchReferenceForBundles(bundles);
  const size_t compatible =
      APMCompatibleBundlePrefix(bundles, reference.appID, reference.resettableDeviceID, reference.vendorDeviceID);
  const Bundle* first = nullptr;
  for (size_t i = 0; i < compatible; ++i) {
    Bundle& bundle = *bundles[i];
    APMNanoSetInt64(bundle, Bundle::kUploadLibraryVersion, inputs.libraryVersion);
    APMNanoSetInt64(bundle, Bundle::kUploadTimestampMillis, inputs.nowMilliseconds);
    APMRedactBundle(bundle, inputs.dataControls, inputs.identity);
    if (inputs.checksumEnabled) {
      APMNanoSetInt64(bundle, Bundle::kChecksum, static_cast<int64_t>(apm_64LSBMD5(bundle.protoBuffer())));
    }
    if (first && !APMBundlesShareMetadata(*first, bundle)) break;
    if (!first) first = &bundle;
    result.rowIDs.push_back(rowIDs[i]);
    result.eventCount += bundle.nano().events_count;
    APMAppendLengthDelimitedField(result.payload, bundlesTag(), bundle.protoBuffer());
  }
  appendSubdomain(result.payload, inputs);
  return result;
}

APMUploadBatch APMBuildUploadBatch(std::vector<APMQueuedBundleParts>& queued, const APMUploadBatchInputs& inputs) {
  APMUploadBatch result;
  std::vector<APMQueuedBundleParts*> sources;
  std::vector<const APMEncodedMessage*> bundles;
  sources.reserve(queued.size());
  bundles.reserve(queued.size());
  bool overwrite = signalsDenySomething(inputs.consentSignals);
  for (auto& source : queued) {
    if (!source.metadata) continue;
    APMEncodedMessage& bundle = *source.metadata;
    if (!overwrite) overwrite = source.hasFirstOpen;
    APMSetIdentifierFields(bundle, inputs.consentSignals, inputs.attGate, inputs.identity, overwrite);
    APMSetConsentFields(bundle, inputs.consentDiagnostics, inputs.adUserDataDenied, inputs.npa, inputs.consentConfig,
                        overwrite);
    sources.push_back(&source);
    bundles.push_back(&bundle);
  }
  if (bundles.empty()) return result;

  const APMBatchReference reference = APMBatchReferenceForBundles(bundles);
  const size_t compatible =
      APMCompatibleBundlePrefix(bundles, reference.appID, reference.resettableDeviceID, reference.vendorDeviceID);
  const uint32_t tag = eventsTag();
  const APMEncodedMessage* first = nullptr;
  platform::Data checksummed;
  for (size_t i = 0; i < compatible; ++i) {
    APMEncodedMessage& bundle = *sources[i]->metadata;
    const platform::Data& events = sources[i]->events;
    bundle.setInt64(Bundle::kUploadLibraryVersion, inputs.libraryVersion);
    bundle.setInt64(Bundle::kUploadTimestampMillis, inputs.nowMilliseconds);
    APMRedactBundle(bundle, inputs.dataControls, inputs.identity);
    if (inputs.checksumEnabled) {
      checksummed.clear();
      bundle.appendEncoding(checksummed, tag, events);
      bundle.setInt64(Bundle::kChecksum, static_cast<int64_t>(apm_64LSBMD5(checksummed)));
    }
    if (first && !APMBundlesShareMetadata(*first, bundle)) break;
    if (!first) first = &bundle;
    result.rowIDs.push_back(sources[i]->rowID);
    result.eventCount += sources[i]->eventCount;
    // The bundle is written straight into the batch: field "bundles", its length, its encoding.
    APMWireAppendKey(result.payload, bundlesTag(), kAPMWireLengthDelimited);
    APMWireAppendVarint(result.payload, bundle.encodedSize(events));
    bundle.appendEncoding(result.payload, tag, events);
  }
  appendSubdomain(result.payload, inputs);
  return result;
}
