// Type-erased extension settings records and the list that carries them.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kecore/utils/downcast.hpp"

namespace kecore {

// A settings record of some extension, held type-erased. Records may move
// between threads once built.
class OpaqueObject : public Downcast {
public:
    // Debug text of the record.
    virtual std::string debug() const = 0;
};

// The ordered list of settings records of a create info. It owns its
// records; a plugin takes its own out with take_ext.
struct OpaqueList {
    std::vector<std::unique_ptr<OpaqueObject>> items;

    // Removes and returns the first record whose concrete type is exactly T;
    // the records after it move up, keeping their order. Null, and the list
    // unchanged, when there is none.
    template <class T>
    std::unique_ptr<T> take_ext() {
        for (auto it = items.begin(); it != items.end(); ++it) {
            if ((*it)->template is<T>()) {
                std::unique_ptr<OpaqueObject> found = std::move(*it);
                items.erase(it);
                return downcast_owned<T>(found);
            }
        }
        return nullptr;
    }
};

}  // namespace kecore
