#pragma once
// Keeps the installation identifier in one file, readable and writable by the owner only.
//
// On-disk layout: <directory>/installation_id holds exactly the identifier's 22 characters, no
// newline. The directory is created with mode 0700, the file with 0600 (a looser mode found on an
// existing file is tightened when it is read).
//
// The first identifier is published with link(2) from a private temporary file, which fails when
// the file already exists, so two processes (or two instances) starting together agree on one
// identifier: the loser reads back the winner's. A file that does not hold a valid identifier
// (torn, edited, empty) is replaced atomically by rename(2).

#include <functional>
#include <optional>
#include <string>

#include "platform/Error.h"

class VIDInstallationIDStore {
 public:
  static constexpr const char* kFileName = "installation_id";

  using Generator = std::function<std::optional<std::string>(platform::Error* error)>;

  explicit VIDInstallationIDStore(std::string directory);

  const std::string& directory() const { return directory_; }
  std::string filePath() const;

  // The stored identifier; when none is stored (or the stored one is invalid), one made by
  // generate is stored and returned with *created set. None, with the error filled, when the
  // storage cannot be read or written or generate fails; a stored identifier is never overwritten
  // on an error path.
  std::optional<std::string> loadOrCreate(const Generator& generate, bool* created, platform::Error* error) const;

 private:
  enum class ReadResult { kFound, kMissing, kInvalid, kFailed };
  ReadResult read(std::string* id, platform::Error* error) const;
  // Writes id to a new temporary file in the directory; its path, or none on failure.
  std::optional<std::string> writeTemporary(const std::string& id, platform::Error* error) const;
  bool publishNew(const std::string& id, bool* alreadyExists, platform::Error* error) const;
  bool replace(const std::string& id, platform::Error* error) const;
  void syncDirectory() const;

  std::string directory_;
};
