// `IndexAnchor`: the one shared record of an index that every object held by
// that index links to, so that an object's link is one word rather than a
// weak reference of two.
//
// An anchor holds the index's weak reference and the index's address. The
// address is fixed for the anchor's life and stays the order key of links
// after the index is gone. The index owns one count of its anchor, every link
// one more; the anchor goes with its last count, which may outlive the index
// (its weak reference then reports it expired). Counts change atomically and
// need no lock; the weak reference is set once, before the anchor is shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace qdx {

class IndexState;

class IndexAnchor {
 public:
  // A new anchor with one count, owned by the caller.
  IndexAnchor(std::weak_ptr<IndexState> state, const IndexState* address) noexcept
      : state_(std::move(state)), address_(address) {}
  IndexAnchor(const IndexAnchor&) = delete;
  IndexAnchor& operator=(const IndexAnchor&) = delete;

  const std::weak_ptr<IndexState>& state() const noexcept { return state_; }
  const IndexState* address() const noexcept { return address_; }
  bool expired() const noexcept { return state_.expired(); }

  // Takes one more count; returns `anchor`.
  static IndexAnchor* retain(IndexAnchor* anchor) noexcept;
  // Drops one count; frees the anchor with its last.
  static void release(IndexAnchor* anchor) noexcept;

 private:
  std::atomic<uint64_t> counts_{1};
  const std::weak_ptr<IndexState> state_;
  const IndexState* const address_;
};

// One count of an anchor, dropped with the handle. Move-only, one word.
class AnchorRef {
 public:
  AnchorRef() noexcept = default;
  // Takes over one count the caller owned.
  static AnchorRef adopt(IndexAnchor* anchor) noexcept { return AnchorRef(anchor); }
  AnchorRef(AnchorRef&& other) noexcept : anchor_(std::exchange(other.anchor_, nullptr)) {}
  AnchorRef& operator=(AnchorRef&& other) noexcept {
    std::swap(anchor_, other.anchor_);
    return *this;
  }
  ~AnchorRef() {
    if (anchor_ != nullptr) IndexAnchor::release(anchor_);
  }

  IndexAnchor* get() const noexcept { return anchor_; }
  const IndexAnchor* operator->() const noexcept { return anchor_; }
  // Hands the count back to the caller.
  IndexAnchor* release() noexcept { return std::exchange(anchor_, nullptr); }

 private:
  explicit AnchorRef(IndexAnchor* anchor) noexcept : anchor_(anchor) {}
  IndexAnchor* anchor_ = nullptr;
};

}  // namespace qdx
