// Owning HDF5 identifiers and HDF5 failures as exceptions.
//
// Every HDF5 call of the recorder goes through Check, which turns a negative
// result into an H5Failure naming what was being done and the innermost
// reason HDF5 gives (for a full disk: "No space left on device").
#pragma once

#include <hdf5.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace vexatools::record {

class H5Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Turns off HDF5's own printing of its error stack for the calling thread:
// failures are reported once, through H5Failure. Call on every thread that
// calls HDF5, before its first call.
void QuietHdf5Errors();

// The innermost message of the current thread's HDF5 error stack, or "".
std::string Hdf5ErrorMessage();

// Throws H5Failure("`what`: <HDF5's reason>") when `result` is negative.
template <typename Result>
Result Check(Result result, const std::string& what) {
  if (result < 0) {
    const std::string reason = Hdf5ErrorMessage();
    throw H5Failure(reason.empty() ? what : what + ": " + reason);
  }
  return result;
}

// An HDF5 identifier closed by the function it was created for.
class H5Handle {
 public:
  using Closer = herr_t (*)(hid_t);

  H5Handle() = default;
  H5Handle(hid_t id, Closer close, const std::string& what) : id_(Check(id, what)), close_(close) {}
  ~H5Handle() { Reset(); }
  H5Handle(H5Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
  H5Handle& operator=(H5Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      id_ = std::exchange(other.id_, H5I_INVALID_HID);
      close_ = other.close_;
    }
    return *this;
  }

  hid_t get() const { return id_; }
  explicit operator bool() const { return id_ >= 0; }
  // Closes now and reports a failure (a close that writes, such as a file's).
  void Close(const std::string& what) {
    if (id_ < 0) return;
    const hid_t id = std::exchange(id_, H5I_INVALID_HID);
    Check(close_(id), what);
  }
  void Reset() {
    if (id_ >= 0) close_(std::exchange(id_, H5I_INVALID_HID));
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
  Closer close_ = nullptr;
};

}  // namespace vexatools::record
