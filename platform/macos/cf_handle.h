// An owning handle for one Core Foundation reference. Values a function
// returns under the Create or Copy rule are adopted; values got under the
// Get rule are retained. The handle releases on every path.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <utility>

namespace larkspire::macos_backend {

template <typename T>  // a CF reference type: CFStringRef, AXUIElementRef...
class CFHandle {
 public:
  CFHandle() = default;
  ~CFHandle() { reset(); }

  // Takes over a reference the caller owns (Create/Copy rule).
  static CFHandle adopt(T ref) {
    CFHandle handle;
    handle.ref_ = ref;
    return handle;
  }
  // Adds a reference of its own to one the caller does not own (Get rule).
  static CFHandle retain(T ref) {
    if (ref) CFRetain(ref);
    return adopt(ref);
  }

  CFHandle(const CFHandle& other) : ref_(other.ref_) {
    if (ref_) CFRetain(ref_);
  }
  CFHandle(CFHandle&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFHandle& operator=(CFHandle other) noexcept {
    std::swap(ref_, other.ref_);
    return *this;
  }

  void reset() {
    if (ref_) CFRelease(ref_);
    ref_ = nullptr;
  }
  T get() const { return ref_; }
  // For Copy-rule out parameters: the handle owns whatever is stored there.
  T* out() {
    reset();
    return &ref_;
  }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  T ref_ = nullptr;
};

}  // namespace larkspire::macos_backend
