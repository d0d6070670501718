// Owning pointer to a COM interface: releases its one reference exactly once.
#pragma once

#include <unknwn.h>

#include <utility>

namespace tendro {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes over one reference that the caller already holds.
    explicit ComPtr(T* p) noexcept : p_(p) {}
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(other.release()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    T* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(T* p = nullptr) noexcept {
        if (T* old = std::exchange(p_, p)) old->Release();
    }
    // For calls that hand out an interface through a pointer; the old one is released first.
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

}  // namespace tendro
