#pragma once
// Message digests and secure random bytes (over libcrypto).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Object.h"

namespace platform {

// The 16-byte MD5 digest.
Data md5(const Data& data);
Data md5(std::string_view bytes);
// The 20-byte SHA-1 digest.
Data sha1(const Data& data);
Data sha1(std::string_view bytes);

// Two lower-case hexadecimal digits per byte.
std::string hexString(const Data& bytes);
std::string md5Hex(std::string_view bytes);
std::string sha1Hex(std::string_view bytes);

// Fills buffer with count bytes from the system's secure generator. On failure returns false and,
// when errorText is given, describes why.
bool secureRandomBytes(uint8_t* buffer, size_t count, std::string* errorText = nullptr);

}  // namespace platform
