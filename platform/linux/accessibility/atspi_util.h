// Small owners for what libatspi and GLib hand over, and an accessible's bus name and path:
// shared by the accessibility part and the seam that reads attributes through it.
#pragma once

#include <atspi/atspi.h>

#include <memory>

namespace caretsafe::linux_desktop::atspi {

struct Unref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <class T>
using Owned = std::unique_ptr<T, Unref>;

// A GError slot that frees what it holds.
class ErrorSlot {
 public:
  ErrorSlot() = default;
  ErrorSlot(const ErrorSlot&) = delete;
  ErrorSlot& operator=(const ErrorSlot&) = delete;
  ~ErrorSlot() { clear(); }
  GError** out() {
    clear();
    return &error_;
  }
  bool failed() const { return error_ != nullptr; }

 private:
  void clear() {
    if (error_ != nullptr) g_error_free(error_);
    error_ = nullptr;
  }
  GError* error_ = nullptr;
};

// A string libatspi handed over, freed with g_free.
struct GFree {
  void operator()(gchar* text) const { g_free(text); }
};
using OwnedText = std::unique_ptr<gchar, GFree>;

inline const char* busNameOf(AtspiAccessible* accessible) {
  const AtspiApplication* app = accessible->parent.app;
  return app != nullptr ? app->bus_name : nullptr;
}

inline const char* pathOf(AtspiAccessible* accessible) {
  return accessible->parent.path;
}

}  // namespace caretsafe::linux_desktop::atspi
