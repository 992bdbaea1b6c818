// Instance and Module: opaque handles without constructor, methods or
// attributes; not subclassable, no instance dict, no weak references.
//
// An instance can keep host objects alive (its log callback), which can lead
// back to the Instance itself (a bound method of the object that holds it):
// Instance takes part in the cyclic garbage collection. Module holds no host
// object, only a weak reference to its instance.
#include "kepi_sys/instance.hpp"

#include <new>
#include <utility>

namespace kepi {
namespace {

struct InstanceObject {
    PyObject_HEAD
    std::shared_ptr<kecore::InstanceContext> context;
};

struct ModuleObject {
    PyObject_HEAD
    kecore::ModuleKey key;
    std::weak_ptr<kecore::InstanceContext> instance;
};

PyTypeObject* g_instance_type = nullptr;  // kept for the process
PyTypeObject* g_module_type = nullptr;

void free_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// The host's collector walking the objects an instance keeps alive.
class GcVisitor final : public kecore::HostObjectVisitor {
public:
    GcVisitor(visitproc visit, void* arg) noexcept : visit_(visit), arg_(arg) {}
    int visit(void* object) override { return visit_(static_cast<PyObject*>(object), arg_); }

private:
    visitproc visit_;
    void* arg_;
};

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const std::shared_ptr<kecore::InstanceContext>& context = reinterpret_cast<InstanceObject*>(self)->context;
    if (!context) return 0;
    GcVisitor visitor(visit, arg);
    return context->visit_host_objects(visitor);
}

// Breaks a cycle through the instance's host objects by dropping them; the
// instance stays usable, its log records are dropped from then on. Teardown
// waits for the last reference, in instance_dealloc.
int instance_clear(PyObject* self) {
    const std::shared_ptr<kecore::InstanceContext>& context = reinterpret_cast<InstanceObject*>(self)->context;
    if (context) context->clear_host_objects();
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    {
        // Releasing the last reference tears the instance down, which may
        // call a host log callback: keep any pending exception aside.
        SavedError pending;
        std::shared_ptr<kecore::InstanceContext> context = std::move(reinterpret_cast<InstanceObject*>(self)->context);
        reinterpret_cast<InstanceObject*>(self)->context.~shared_ptr();
        context.reset();
    }
    free_object(self);
}

void module_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<ModuleObject*>(self);
    object->instance.~weak_ptr();
    object->key.~ModuleKey();
    free_object(self);
}

PyType_Slot kInstanceSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_doc, const_cast<char*>("Opaque handle to a running Kestrane instance exposed to Python callers.")},
    {0, nullptr},
};

PyType_Slot kModuleSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(module_dealloc)},
    {Py_tp_doc, const_cast<char*>("Opaque handle to a kestrane module")},
    {0, nullptr},
};

PyType_Spec kInstanceSpec = {
    "builtins.Instance",
    static_cast<int>(sizeof(InstanceObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    kInstanceSlots,
};

PyType_Spec kModuleSpec = {
    "builtins.Module",
    static_cast<int>(sizeof(ModuleObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kModuleSlots,
};

PyObject* alloc_object(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

}  // namespace

bool add_handle_classes(PyObject* module) {
    if (g_instance_type == nullptr) {
        g_instance_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kInstanceSpec));
        if (g_instance_type == nullptr) return false;
    }
    if (PyModule_AddObjectRef(module, "Instance", reinterpret_cast<PyObject*>(g_instance_type)) < 0) return false;
    if (g_module_type == nullptr) {
        g_module_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kModuleSpec));
        if (g_module_type == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "Module", reinterpret_cast<PyObject*>(g_module_type)) == 0;
}

PyObject* new_instance_object(std::shared_ptr<kecore::InstanceContext> context) {
    PyObject* self = alloc_object(g_instance_type);
    if (self == nullptr) return nullptr;  // `context` goes with this frame
    new (&reinterpret_cast<InstanceObject*>(self)->context)
        std::shared_ptr<kecore::InstanceContext>(std::move(context));
    return self;
}

bool is_instance_object(PyObject* obj) noexcept {
    return g_instance_type != nullptr && PyObject_TypeCheck(obj, g_instance_type);
}

std::shared_ptr<kecore::InstanceContext> instance_context_of(PyObject* obj) {
    return reinterpret_cast<InstanceObject*>(obj)->context;
}

PyObject* new_module_object(kecore::ModuleKey key, std::weak_ptr<kecore::InstanceContext> instance) {
    PyObject* self = alloc_object(g_module_type);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<ModuleObject*>(self);
    new (&object->key) kecore::ModuleKey(key);
    new (&object->instance) std::weak_ptr<kecore::InstanceContext>(std::move(instance));
    return self;
}

bool is_module_object(PyObject* obj) noexcept {
    return g_module_type != nullptr && PyObject_TypeCheck(obj, g_module_type);
}

}  // namespace kepi
