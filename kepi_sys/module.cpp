// The module initialiser of kepi._sys.
#include "kepi_sys/functions.hpp"
#include "kepi_sys/instance.hpp"

namespace kepi {
namespace {

// Functions in registration order; classes are added before them.
PyMethodDef kMethods[] = {
    {"_ke_create_instance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_ke_create_instance)),
     METH_FASTCALL | METH_KEYWORDS, kCreateInstanceDoc},
    {"_ke_compile_module", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_ke_compile_module)),
     METH_FASTCALL | METH_KEYWORDS, kCompileModuleDoc},
    {"_ke_load_module", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_ke_load_module)),
     METH_FASTCALL | METH_KEYWORDS, kLoadModuleDoc},
    {"factorial", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_factorial)),
     METH_FASTCALL | METH_KEYWORDS, kFactorialDoc},
    {"fibonacci", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fibonacci)),
     METH_FASTCALL | METH_KEYWORDS, kFibonacciDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_sys",
    "Native core of Kestrane.\n"
    "\n"
    "Functions:\n"
    "  _ke_create_instance(instance_create_info) -> Instance\n"
    "      Create an instance from a kepi.api.InstanceCreateInfo.\n"
    "  _ke_compile_module(instance, compile_info) -> bytes\n"
    "      Compile the sources of a kepi.api.ModuleCompileInfo into compiled-module storage.\n"
    "  _ke_load_module(instance, module_data) -> Module\n"
    "      Load compiled-module storage (bytes) into an instance.\n"
    "  factorial(n) -> int\n"
    "      The factorial of n (OverflowError beyond 64 bits).\n"
    "  fibonacci(n) -> int\n"
    "      The n-th Fibonacci number (OverflowError beyond 64 bits).\n"
    "\n"
    "Classes:\n"
    "  Instance\n"
    "      Handle to a running instance, made only by _ke_create_instance.\n"
    "  Module\n"
    "      Handle to a module loaded into an instance, made only by _ke_load_module.\n",
    0,  // no per-module state: a re-import calls the initialiser, which hands back the same module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // created once per process, by the main interpreter

PyObject* create_module() {
    // Only the main interpreter (id 0) may import the module, also when it is
    // not the first to try: the log callback takes the interpreter lock with
    // PyGILState_Ensure, which knows only the main interpreter, and the
    // module's objects live for the process.
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (id != 0) {
        PyErr_SetString(PyExc_ImportError, "kepi._sys does not support sub-interpreters");
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    Ref module = Ref::steal(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    if (panic_exception_type() == nullptr) return nullptr;
    if (!add_handle_classes(module.get())) return nullptr;
    if (PyModule_AddFunctions(module.get(), kMethods) < 0) return nullptr;
    g_module = Ref(module).release();  // the module lives for the process
    return module.release();
}

}  // namespace
}  // namespace kepi

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__sys() {
    return kepi::guarded([] { return kepi::create_module(); });
}
