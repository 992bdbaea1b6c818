// Type-erased objects that can tell their concrete type.
//
// Plugins, derivation strategies and extension settings records are held
// behind interfaces; the runtime only ever needs to recognise one concrete
// type behind such an interface, which `type_id` and the helpers below give.
#pragma once

#include <memory>
#include <typeindex>
#include <typeinfo>

namespace kecore {

class Downcast {
public:
    virtual ~Downcast() = default;
    // Identity of the concrete (most derived) type.
    std::type_index type_id() const noexcept { return std::type_index(typeid(*this)); }

    template <class T>
    bool is() const noexcept {
        return type_id() == std::type_index(typeid(T));
    }
    // The object as its concrete type T, or null when it is another type.
    template <class T>
    const T* as() const noexcept {
        return is<T>() ? static_cast<const T*>(this) : nullptr;
    }
    template <class T>
    T* as() noexcept {
        return is<T>() ? static_cast<T*>(this) : nullptr;
    }

protected:
    Downcast() = default;
    Downcast(const Downcast&) = default;
    Downcast& operator=(const Downcast&) = default;
};

// Moves an owned object into an owned T; null (and `from` untouched) when
// the concrete type is not exactly T.
template <class T, class Base>
std::unique_ptr<T> downcast_owned(std::unique_ptr<Base>& from) noexcept {
    if (!from || !from->template is<T>()) return nullptr;
    return std::unique_ptr<T>(static_cast<T*>(from.release()));
}

}  // namespace kecore
