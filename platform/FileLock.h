#pragma once
// An advisory lock on a file, exclusive across processes and across FileLock objects of one
// process (a lock on an open file description). The system releases it when its holder ends,
// however it ends.

#include <string>

#include "platform/Error.h"

namespace platform {

class FileLock {
 public:
  explicit FileLock(std::string path) : path_(std::move(path)) {}
  ~FileLock() { unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock without waiting (true at once while held). False when another holder has it,
  // and false with an error when the file cannot be opened or locked.
  bool tryLock(Error* error = nullptr);
  void unlock();
  bool isLocked() const { return fd_ >= 0; }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace platform
