#include "WriteBehind.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vexatools::record {

void WriteBehind::Advance(off_t end, const std::string& path) {
  if (fd_ < 0 || end <= started_) return;
  Check(sync_file_range(fd_, started_, end - started_, SYNC_FILE_RANGE_WRITE), path);
  inFlight_.emplace_back(started_, end);
  inFlightBytes_ += end - started_;
  started_ = end;
  while (inFlightBytes_ > kWindowBytes) {
    const auto [begin, stop] = inFlight_.front();
    inFlight_.pop_front();
    inFlightBytes_ -= stop - begin;
    Check(sync_file_range(fd_, begin, stop - begin,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER),
          path);
    posix_fadvise(fd_, begin, stop - begin, POSIX_FADV_DONTNEED);
  }
}

void WriteBehind::Check(int result, const std::string& path) {
  if (result == 0) return;
  if (errno == EIO || errno == ENOSPC)
    throw std::runtime_error(path + ": writing to the disk: " + std::strerror(errno));
  fd_ = -1;  // a file system without write-back control: let the kernel do it
}

}  // namespace vexatools::record
