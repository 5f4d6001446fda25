// Owns one interface reference and gives it back on every path. For the
// programs that run at build time (the type library and manifest writers)
// and for tests that read their output.
#pragma once

namespace vemblaric {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() {
    if (p_) p_->Release();
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** put() { return &p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace vemblaric
