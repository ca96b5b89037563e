#pragma once
// A small reader of the application's store receipt, used only for reporting. It does not decode
// the receipt's container: it scans the raw bytes for the DER byte patterns of the receipt's
// attribute records (a SEQUENCE of INTEGER type, INTEGER version and OCTET STRING value) and reads
// short-form lengths only. A long-form length (128 or more) or text that is not what its DER tag
// promises ends that field with no match, so a damaged or unusual receipt yields fewer facts,
// never misread ones.

#include <cstdint>
#include <optional>
#include <vector>

#include "APMEngineComponent.h"
#include "APMInAppPurchaseItem.h"
#include "platform/Object.h"

// One byte of a pattern: a fixed value, or kAPMReceiptAnyByte (any byte, captured).
inline constexpr int kAPMReceiptAnyByte = -1;
using APMReceiptPattern = std::vector<int>;

// The value that follows pattern at offset: the last captured byte is its length L, and the L bytes
// after the pattern are the value. None when the offset is negative, the data or pattern is empty,
// the pattern does not fit before the end of the data, a fixed byte differs, L is 0, L is a
// long-form length (logged, 39027), or the value runs past the end.
std::optional<platform::Data> APMReceiptReaderMatchPattern(const APMReceiptPattern& pattern, const platform::Data& data,
                                                           int64_t offset);

// The in-app purchase entries in file order; none for empty data. An entry without a product ID is
// dropped, except the last one.
std::optional<std::vector<APMInAppPurchaseItem>> APMReceiptReaderPurchaseItems(const platform::Data& receipt);

// The bytes of the receipt at the configured location; none without a location, when the file
// cannot be read, or when it is empty.
std::optional<platform::Data> APMReceiptReaderReceiptData();

// Whether the version the receipt was issued for is the running version ("CFBundleShortVersionString"):
// YES on a simulator and for a sandbox receipt, NO when the receipt cannot be read. Computed once
// per process; any thread.
bool APMReceiptReaderIsVersionSameAsOriginalVersion();
// The same, read now and not kept.
bool APMReceiptReaderReadIsVersionSameAsOriginalVersion();
// Tests: forgets the kept answer.
void APMReceiptReaderResetForTesting();

// The receipt as one of an engine's components: it tells a first open after install from the first
// open of an update (the receipt's answer, kept for the process).
class APMReceiptComponent final : public APMEngineComponent {
 public:
  std::optional<bool> isVersionSameAsOriginalVersion() override;
};
