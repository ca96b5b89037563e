#pragma once
// Digests and fingerprints of byte strings.

#include <cstdint>
#include <string_view>

#include "platform/Object.h"

// The 16-byte MD5 digest.
platform::Data apm_MD5Data(const platform::Data& data);
// The last 8 bytes read as a big-endian unsigned integer; shorter data: all of its bytes; empty: 0.
uint64_t apm_64LeastSignificantBits(const platform::Data& data);
// The low 64 bits of the MD5 digest (bytes 8 to 15, big-endian): the SDK's record fingerprint.
uint64_t apm_64LSBMD5(const platform::Data& data);
uint64_t apm_64LSBMD5(std::string_view bytes);
