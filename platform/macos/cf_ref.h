// The one owner type for Core Foundation references in the macOS adapter.
//
// Every CF object the adapter obtains goes into a `CfRef` at the call that produced it, and the
// call site says how it came: `adopt` for the +1 reference of a Create or Copy call, `retain` for
// a borrowed value (a Get result or a constant) that must outlive its lender, `out()` for the
// out-parameter of a Copy call. The owner releases exactly once, on every path, including a
// value that came back together with a failure code. CF types never leave platform/macos/.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdlib>
#include <utility>

namespace caretsafe::macos {

template <typename Ref>
class CfRef {
 public:
  CfRef() noexcept = default;

  // Takes over the reference a Create or Copy call returned. A null result gives an empty owner.
  [[nodiscard]] static CfRef adopt(Ref ref) noexcept { return CfRef(ref); }

  // Takes a reference of its own on a borrowed value. A null value gives an empty owner.
  [[nodiscard]] static CfRef retain(Ref ref) noexcept {
    if (ref != nullptr) CFRetain(ref);
    return CfRef(ref);
  }

  CfRef(const CfRef&) = delete;
  CfRef& operator=(const CfRef&) = delete;
  CfRef(CfRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CfRef& operator=(CfRef&& other) noexcept {
    CfRef old(std::move(*this));
    ref_ = std::exchange(other.ref_, nullptr);
    return *this;
  }
  ~CfRef() {
    if (ref_ != nullptr) CFRelease(ref_);
  }

  Ref get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }

  // Hands the reference to the caller, who must see that it is released; the owner is empty.
  [[nodiscard]] Ref detach() noexcept { return std::exchange(ref_, nullptr); }

  // The slot a Copy call writes its +1 result into; whatever it writes, also together with a
  // failure code, this owner releases. Only an empty owner hands out its slot: filling a full
  // one would leak the reference it holds, which is a fault in the adapter, so it stops the
  // process rather than go on with an unbalanced count.
  [[nodiscard]] Ref* out() noexcept {
    if (ref_ != nullptr) std::abort();
    return &ref_;
  }

 private:
  explicit CfRef(Ref ref) noexcept : ref_(ref) {}
  Ref ref_ = nullptr;
};

}  // namespace caretsafe::macos
