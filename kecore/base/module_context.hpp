// Loaded modules: the context an instance keeps for each module added to it,
// and the per-function context inside it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kecore/base/module_key.hpp"
#include "kecore/theorems/library.hpp"
#include "kecore/utils/sharded_map.hpp"
#include "keinstr/passes/analyze.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/utils/rwlock.hpp"
#include "keinstr/utils/uuid.hpp"

namespace kecore {

class InstanceContext;

// A function attached to a loaded function. Nothing attaches one yet; its
// contents are settled by the first operation that does.
struct AttachedFunction {};

// One attached function behind its own reader-writer lock.
struct LockedAttachedFunction {
    keinstr::RwLock lock;
    AttachedFunction value;
};

// The list of attached functions of a loaded function, behind its lock.
struct AttachedFunctions {
    keinstr::RwLock lock;
    std::vector<std::shared_ptr<LockedAttachedFunction>> functions;
};

struct FunctionContext {
    std::shared_ptr<keinstr::Function> function;  // a strong reference of its own
    keinstr::FunctionAnalysis analysis;           // holds its own reference to the function
    std::unique_ptr<AttachedFunctions> attached = std::make_unique<AttachedFunctions>();  // starts empty
    keinstr::Uuid uuid;  // the function's UUID, equal to its map key
};

using FunctionContextMap = ShardedMap<keinstr::Uuid, FunctionContext>;

// How runtime log records name a function: its name, or "@" followed by its
// UUID's text when it has none.
std::string function_label(const keinstr::Function& function);

// The labels of the module's functions in UUID order, in list debug form:
// ["a", "@0190...", "b\n"] (each label quoted with escapes; [] when empty).
std::string function_label_list(const keinstr::Module& module);

// One loaded module. Built complete when the module is inserted into its
// instance's module slots and never changed afterwards.
class ModuleContext {
public:
    ModuleContext(ModuleKey key, keinstr::Uuid uuid, std::weak_ptr<InstanceContext> instance, keinstr::Module module,
                  FunctionContextMap function_contexts, TheoremLibrary theorems)
        : key(key),
          uuid(uuid),
          theorems(std::move(theorems)),
          function_contexts(std::move(function_contexts)),
          module(std::move(module)),
          instance(std::move(instance)) {}

    ModuleContext(const ModuleContext&) = delete;
    ModuleContext& operator=(const ModuleContext&) = delete;

    ModuleKey key;       // its own key
    keinstr::Uuid uuid;  // version 6, made when the module was added
    // Declared in reverse so that destruction releases the weak reference
    // first, then the module, the function contexts and the theorems.
    TheoremLibrary theorems;
    FunctionContextMap function_contexts;
    keinstr::Module module;
    std::weak_ptr<InstanceContext> instance;  // never keeps the instance alive
};

}  // namespace kecore
