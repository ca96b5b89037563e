#include "VIDInstallationID.h"

#include <array>
#include <cstdint>

#include "platform/Crypto.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// 17 bytes give 136 bits, enough for 22 six-bit characters; the last four bits are dropped.
constexpr size_t kRandomByteCount = 17;

bool isAlphabetCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::optional<std::string> VIDGenerateInstallationID(std::string* errorText) {
  std::array<uint8_t, kRandomByteCount> bytes{};
  if (!platform::secureRandomBytes(bytes.data(), bytes.size(), errorText)) return std::nullopt;

  std::string id;
  id.reserve(kVIDInstallationIDLength);
  uint32_t buffer = 0;
  int bufferedBits = 0;
  for (uint8_t byte : bytes) {
    buffer = (buffer << 8) | byte;
    bufferedBits += 8;
    while (bufferedBits >= 6 && id.size() < kVIDInstallationIDLength) {
      bufferedBits -= 6;
      id.push_back(kAlphabet[(buffer >> bufferedBits) & 0x3f]);
    }
    buffer &= (1u << bufferedBits) - 1;
  }
  return id;
}

bool VIDIsValidInstallationID(std::string_view text) {
  if (text.size() != kVIDInstallationIDLength) return false;
  for (char c : text) {
    if (!isAlphabetCharacter(c)) return false;
  }
  return true;
}
