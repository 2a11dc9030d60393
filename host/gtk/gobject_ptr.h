#pragma once

#include <glib-object.h>

#include <utility>

namespace host::gtk {

// Owns one reference to a GObject.
template <typename T>
class GObjectPtr {
public:
    GObjectPtr() = default;
    static GObjectPtr adoptRef(T* object) {
        GObjectPtr result;
        result.object_ = object;
        return result;
    }
    ~GObjectPtr() { reset(); }
    GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GObjectPtr& operator=(GObjectPtr&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    GObjectPtr(const GObjectPtr&) = delete;
    GObjectPtr& operator=(const GObjectPtr&) = delete;

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset() {
        if (object_ != nullptr) g_object_unref(std::exchange(object_, nullptr));
    }

private:
    T* object_ = nullptr;
};

}  // namespace host::gtk
