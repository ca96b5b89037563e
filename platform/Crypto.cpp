#include "platform/Crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace platform {
namespace {

// Fetched once: given a built-in algorithm, EVP looks its implementation up again for every digest
// (the event road digests every new metadata).
const EVP_MD* fetched(const char* name, const EVP_MD* builtIn) {
  const EVP_MD* algorithm = EVP_MD_fetch(nullptr, name, nullptr);
  return algorithm ? algorithm : builtIn;
}

Data digest(const EVP_MD* type, const uint8_t* bytes, size_t length) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Data out(static_cast<size_t>(EVP_MD_get_size(type)));
  unsigned int written = 0;
  // Digesting memory we own cannot fail short of allocation failure; an empty result tells the
  // caller something went wrong instead of handing out a partial digest.
  if (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), bytes, length) != 1 ||
      EVP_DigestFinal_ex(context.get(), out.data(), &written) != 1) {
    return {};
  }
  out.resize(written);
  return out;
}

const uint8_t* bytesOf(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

std::string lastLibraryError() {
  unsigned long code = ERR_get_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

const EVP_MD* md5Algorithm() {
  static const EVP_MD* const algorithm = fetched("MD5", EVP_md5());
  return algorithm;
}

const EVP_MD* sha1Algorithm() {
  static const EVP_MD* const algorithm = fetched("SHA1", EVP_sha1());
  return algorithm;
}

}  // namespace

Data md5(const Data& data) { return digest(md5Algorithm(), data.data(), data.size()); }
Data md5(std::string_view bytes) { return digest(md5Algorithm(), bytesOf(bytes), bytes.size()); }
Data sha1(const Data& data) { return digest(sha1Algorithm(), data.data(), data.size()); }
Data sha1(std::string_view bytes) { return digest(sha1Algorithm(), bytesOf(bytes), bytes.size()); }

std::string hexString(const Data& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0x0f]);
  }
  return out;
}

std::string md5Hex(std::string_view bytes) { return hexString(md5(bytes)); }
std::string sha1Hex(std::string_view bytes) { return hexString(sha1(bytes)); }

bool secureRandomBytes(uint8_t* buffer, size_t count, std::string* errorText) {
  // RAND_bytes takes an int length; larger requests are served in pieces.
  while (count > 0) {
    int chunk = count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
    if (RAND_bytes(buffer, chunk) != 1) {
      if (errorText) *errorText = lastLibraryError();
      return false;
    }
    buffer += chunk;
    count -= static_cast<size_t>(chunk);
  }
  return true;
}

}  // namespace platform
