// InplaceFunction: a move-only void() callable stored inline in a fixed number
// of bytes, so that handing a task to a queue never allocates.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace orvane {

template <size_t Capacity>
class InplaceFunction {
 public:
  InplaceFunction() = default;

  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, InplaceFunction>>>
  InplaceFunction(F&& f) {  // NOLINT: implicit like std::function
    using Fn = std::decay_t<F>;
    static_assert(sizeof(Fn) <= Capacity, "task captures too much to store inline");
    static_assert(alignof(Fn) <= alignof(std::max_align_t), "task over-aligned");
    static_assert(std::is_nothrow_move_constructible_v<Fn>, "task must be nothrow-movable");
    new (storage_) Fn(std::forward<F>(f));
    ops_ = &opsFor<Fn>;
  }

  InplaceFunction(InplaceFunction&& other) noexcept { moveFrom(other); }
  InplaceFunction& operator=(InplaceFunction&& other) noexcept {
    if (this != &other) {
      reset();
      moveFrom(other);
    }
    return *this;
  }
  InplaceFunction(const InplaceFunction&) = delete;
  InplaceFunction& operator=(const InplaceFunction&) = delete;
  ~InplaceFunction() { reset(); }

  explicit operator bool() const { return ops_ != nullptr; }
  void operator()() { ops_->call(storage_); }

  void reset() {
    if (ops_) {
      ops_->destroy(storage_);
      ops_ = nullptr;
    }
  }

 private:
  struct Ops {
    void (*call)(void*);
    void (*move)(void* to, void* from);
    void (*destroy)(void*);
  };
  template <class Fn>
  static constexpr Ops opsFor = {
      [](void* p) { (*static_cast<Fn*>(p))(); },
      [](void* to, void* from) { new (to) Fn(std::move(*static_cast<Fn*>(from))); },
      [](void* p) { static_cast<Fn*>(p)->~Fn(); },
  };

  void moveFrom(InplaceFunction& other) {
    if (other.ops_) {
      other.ops_->move(storage_, other.storage_);
      ops_ = other.ops_;
      other.reset();
    }
  }

  alignas(std::max_align_t) unsigned char storage_[Capacity];
  const Ops* ops_ = nullptr;
};

}  // namespace orvane
