#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

// One reference to a COM object.
template <typename Interface> class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        std::swap(pointer_, other.pointer_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    [[nodiscard]] Interface* operator->() const { return pointer_; }
    [[nodiscard]] Interface* Get() const { return pointer_; }
    // For functions that hand out a new reference through an out parameter.
    [[nodiscard]] Interface** Put() {
        Reset();
        return &pointer_;
    }
    void Reset() {
        if (pointer_ != nullptr) {
            std::exchange(pointer_, nullptr)->Release();
        }
    }

private:
    Interface* pointer_ = nullptr;
};

// COM stays initialised on this thread while one of these lives. In the
// multithreaded apartment, which needs no hidden window of its own (a few ms of
// start-up); a thread that something made single-threaded already keeps its own.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    [[nodiscard]] bool Ok() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

private:
    HRESULT result_;
};
