// The installation identifier's file as the next launch finds it, which a damage or a hand edit may
// leave holding anything: read by the store, which keeps what it finds when it is a valid
// identifier and otherwise replaces it with a fresh one. Whatever it answers is a valid identifier
// that the file then holds; an identifier it kept is the file's bytes unchanged, and one it made is
// the generator's.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "FuzzSupport.h"
#include "VIDInstallationIDStore.h"

namespace {

constexpr const char* kGenerated = "fuzzGenerated-ID_01234";

// 22 characters of the URL-safe base64 alphabet.
bool wellFormed(const std::string& text) {
  if (text.size() != 22) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  }
  return true;
}

std::string fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  static const std::string directory = fuzzsupport::dataDirectory() + "/installation";
  std::filesystem::create_directories(directory);
  const VIDInstallationIDStore store(directory);
  const std::string stored(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream file(store.filePath(), std::ios::binary | std::ios::trunc);
    file.write(stored.data(), static_cast<std::streamsize>(stored.size()));
  }

  bool created = false;
  platform::Error error;
  const auto id = store.loadOrCreate([](platform::Error*) { return std::optional<std::string>(kGenerated); }, &created,
                                     &error);
  if (!id) fuzzsupport::fail("no identifier from the file: " + error.description);
  if (!wellFormed(*id)) fuzzsupport::fail("an identifier that is not valid: " + *id);
  if (fileBytes(store.filePath()) != *id) fuzzsupport::fail("the file does not hold the identifier answered");
  if (created ? *id != kGenerated : *id != stored) fuzzsupport::fail("the identifier is neither the file's nor a new one");
  if (!created && !wellFormed(stored)) fuzzsupport::fail("an invalid file was kept");
  return 0;
}
