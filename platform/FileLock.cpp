#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool FileLock::tryLock(Error* error) {
  if (fd_ >= 0) return true;
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    setError(error, Error("platform.FileLock", errno, "cannot open " + path_ + ": " + std::strerror(errno)));
    return false;
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int failure = errno;
    ::close(fd);
    if (failure != EWOULDBLOCK) {
      setError(error, Error("platform.FileLock", failure, "cannot lock " + path_ + ": " + std::strerror(failure)));
    }
    return false;
  }
  fd_ = fd;
  return true;
}

void FileLock::unlock() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the only descriptor releases the lock
  fd_ = -1;
}

}  // namespace platform
