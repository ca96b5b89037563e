#include "APMDataDigest.h"

#include "platform/Crypto.h"

namespace {

uint64_t lowBitsOf(const uint8_t* bytes, size_t length) {
  size_t start = length > 8 ? length - 8 : 0;
  uint64_t value = 0;
  for (size_t i = start; i < length; ++i) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

platform::Data apm_MD5Data(const platform::Data& data) { return platform::md5(data); }

uint64_t apm_64LeastSignificantBits(const platform::Data& data) { return lowBitsOf(data.data(), data.size()); }

uint64_t apm_64LSBMD5(const platform::Data& data) { return apm_64LeastSignificantBits(platform::md5(data)); }

uint64_t apm_64LSBMD5(std::string_view bytes) { return apm_64LeastSignificantBits(platform::md5(bytes)); }
