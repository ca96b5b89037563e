#include "VIDInstallationIDStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "VIDErrors.h"
#include "VIDInstallationID.h"
#include "platform/Paths.h"

namespace {

constexpr mode_t kOwnerOnlyFileMode = 0600;
// Larger than any valid content, so an oversized file is seen as invalid rather than truncated
// into something that looks valid.
constexpr size_t kReadLimit = 64;

platform::Error storageError(const std::string& what, const std::string& path, int errorNumber) {
  return platform::Error(kVIDErrorDomain, kVIDErrorStorage,
                         what + " " + path + ": " + std::strerror(errorNumber));
}

bool writeAll(int fd, const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a failed close can mean lost data).
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace

VIDInstallationIDStore::VIDInstallationIDStore(std::string directory) : directory_(std::move(directory)) {}

std::string VIDInstallationIDStore::filePath() const { return directory_ + "/" + kFileName; }

std::optional<std::string> VIDInstallationIDStore::loadOrCreate(const Generator& generate, bool* created,
                                                                platform::Error* error) const {
  if (created) *created = false;
  if (!platform::Paths::createDirectories(directory_)) {
    platform::setError(error, storageError("Cannot create directory", directory_, errno));
    return std::nullopt;
  }
  // Two rounds at most: a lost publication race is followed by reading the winner's identifier.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string stored;
    ReadResult result = read(&stored, error);
    if (result == ReadResult::kFound) return stored;
    if (result == ReadResult::kFailed) return std::nullopt;

    std::optional<std::string> fresh = generate(error);
    if (!fresh) return std::nullopt;
    if (result == ReadResult::kInvalid) {
      if (!replace(*fresh, error)) return std::nullopt;
      // Another process may have replaced the same invalid file a moment later: whatever the
      // file holds now is the identifier everybody reads from here on.
      std::string current;
      if (read(&current, nullptr) == ReadResult::kFound && current != *fresh) return current;
      if (created) *created = true;
      return fresh;
    }
    bool alreadyExists = false;
    if (publishNew(*fresh, &alreadyExists, error)) {
      if (created) *created = true;
      return fresh;
    }
    if (!alreadyExists) return std::nullopt;
  }
  platform::setError(error, platform::Error(kVIDErrorDomain, kVIDErrorStorage,
                                            "The installation ID file keeps changing: " + filePath()));
  return std::nullopt;
}

VIDInstallationIDStore::ReadResult VIDInstallationIDStore::read(std::string* id, platform::Error* error) const {
  const std::string path = filePath();
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return ReadResult::kMissing;
    // A symbolic link planted in place of the file is not followed: it is replaced like any
    // other invalid content.
    if (errno == ELOOP) return ReadResult::kInvalid;
    platform::setError(error, storageError("Cannot open", path, errno));
    return ReadResult::kFailed;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    platform::setError(error, storageError("Cannot inspect", path, errno));
    return ReadResult::kFailed;
  }
  if (!S_ISREG(info.st_mode)) return ReadResult::kInvalid;
  if ((info.st_mode & 0777) != kOwnerOnlyFileMode) ::fchmod(fd.get(), kOwnerOnlyFileMode);

  std::string content;
  char buffer[kReadLimit];
  while (content.size() < kReadLimit) {
    ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      platform::setError(error, storageError("Cannot read", path, errno));
      return ReadResult::kFailed;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  if (!VIDIsValidInstallationID(content)) return ReadResult::kInvalid;
  *id = std::move(content);
  return ReadResult::kFound;
}

std::optional<std::string> VIDInstallationIDStore::writeTemporary(const std::string& id,
                                                                  platform::Error* error) const {
  std::string path = directory_ + "/." + kFileName + ".XXXXXX";
  // mkstemp creates the file with mode 0600, so the identifier is never readable by others,
  // not even for a moment.
  FileDescriptor fd(::mkostemp(path.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    platform::setError(error, storageError("Cannot create a temporary file in", directory_, errno));
    return std::nullopt;
  }
  bool ok = ::fchmod(fd.get(), kOwnerOnlyFileMode) == 0 && writeAll(fd.get(), id) && ::fsync(fd.get()) == 0;
  int savedErrno = errno;
  ok = fd.close() && ok;
  if (!ok) {
    ::unlink(path.c_str());
    platform::setError(error, storageError("Cannot write", path, savedErrno ? savedErrno : EIO));
    return std::nullopt;
  }
  return path;
}

bool VIDInstallationIDStore::publishNew(const std::string& id, bool* alreadyExists, platform::Error* error) const {
  std::optional<std::string> temporary = writeTemporary(id, error);
  if (!temporary) return false;
  const std::string path = filePath();
  int linked = ::link(temporary->c_str(), path.c_str());
  int savedErrno = errno;
  ::unlink(temporary->c_str());
  if (linked == 0) {
    syncDirectory();
    return true;
  }
  if (savedErrno == EEXIST) {
    *alreadyExists = true;
  } else {
    platform::setError(error, storageError("Cannot store", path, savedErrno));
  }
  return false;
}

bool VIDInstallationIDStore::replace(const std::string& id, platform::Error* error) const {
  std::optional<std::string> temporary = writeTemporary(id, error);
  if (!temporary) return false;
  const std::string path = filePath();
  if (::rename(temporary->c_str(), path.c_str()) != 0) {
    int savedErrno = errno;
    ::unlink(temporary->c_str());
    platform::setError(error, storageError("Cannot replace", path, savedErrno));
    return false;
  }
  syncDirectory();
  return true;
}

void VIDInstallationIDStore::syncDirectory() const {
  // Makes the new directory entry itself durable; a failure here leaves the data intact, so it
  // is not reported.
  FileDescriptor fd(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}
