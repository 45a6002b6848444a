// Owning handles for what the backend gets from GLib, GIO and Xlib. Each
// releases its resource on every path, once; none is copied. Code of the
// backend holds these instead of raw pointers it must remember to free.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gio/gio.h>

#include <memory>
#include <utility>

namespace larkspire::linux_backend {

// A deleter that calls `release` on a pointer that is not null.
template <auto release>
struct Release {
  template <class T>
  void operator()(T* p) const noexcept {
    if (p) release(p);
  }
};

// GLib and GIO.
using Variant = std::unique_ptr<GVariant, Release<g_variant_unref>>;
using VariantIter = std::unique_ptr<GVariantIter, Release<g_variant_iter_free>>;
using Error = std::unique_ptr<GError, Release<g_error_free>>;
using GlibString = std::unique_ptr<gchar, Release<g_free>>;
using KeyFile = std::unique_ptr<GKeyFile, Release<g_key_file_free>>;
using MainContext = std::unique_ptr<GMainContext, Release<g_main_context_unref>>;
template <class T>
using Object = std::unique_ptr<T, Release<g_object_unref>>;

// A new reference of our own to an object someone else holds.
template <class T>
Object<T> retain(T* object) {
  return Object<T>(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

// Where a GLib call reports its error: pass `out()`, read `get()`; freed
// with the slot.
class ErrorSlot {
 public:
  GError** out() { return &raw_; }
  const GError* get() const { return raw_; }
  explicit operator bool() const { return raw_ != nullptr; }
  ~ErrorSlot() {
    if (raw_) g_error_free(raw_);
  }
  ErrorSlot() = default;
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;

 private:
  GError* raw_ = nullptr;
};

// Xlib.
namespace detail {
inline void freeX(void* data) { XFree(data); }
inline void destroyImage(XImage* image) { XDestroyImage(image); }
// The image's pixels belong to a shared-memory segment, which outlives it:
// the image lets go of them before it is destroyed.
inline void destroySharedImage(XImage* image) {
  image->data = nullptr;
  XDestroyImage(image);
}
}  // namespace detail

// Memory Xlib allocated for an answer (properties, window lists, names).
template <class T>
using XData = std::unique_ptr<T, Release<detail::freeX>>;
using Image = std::unique_ptr<XImage, Release<detail::destroyImage>>;
using SharedImage = std::unique_ptr<XImage, Release<detail::destroySharedImage>>;

// A pixmap of the server, freed there when the handle goes.
class PixmapHandle {
 public:
  PixmapHandle() = default;
  PixmapHandle(Display* display, Pixmap pixmap) : display_(display), pixmap_(pixmap) {}
  ~PixmapHandle() { reset(); }
  PixmapHandle(PixmapHandle&& other) noexcept : display_(other.display_), pixmap_(std::exchange(other.pixmap_, None)) {}
  PixmapHandle& operator=(PixmapHandle&& other) noexcept {
    if (this != &other) {
      reset();
      display_ = other.display_;
      pixmap_ = std::exchange(other.pixmap_, None);
    }
    return *this;
  }
  Pixmap get() const { return pixmap_; }
  void reset() {
    if (pixmap_ != None && display_) XFreePixmap(display_, pixmap_);
    pixmap_ = None;
  }

 private:
  Display* display_ = nullptr;
  Pixmap pixmap_ = None;
};

}  // namespace larkspire::linux_backend
