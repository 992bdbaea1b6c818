// Host objects the runtime keeps alive on behalf of a host binding.
//
// A binding may hand the runtime things that hold objects of its host
// language (a log callback holding a host callable). When those objects can
// refer back to what holds the instance, only the host's cycle collector can
// free them, and it must see them: the instance lets the binding walk them
// and drop them, while the runtime itself never learns what they are.
#pragma once

namespace kecore {

// Visits host objects the runtime holds. `object` is the host's own handle,
// as the binding gave it; a non-zero result stops the walk and is handed
// back to whoever started it.
class HostObjectVisitor {
public:
    virtual int visit(void* object) = 0;

protected:
    ~HostObjectVisitor() = default;
};

}  // namespace kecore
