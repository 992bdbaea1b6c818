#include "kepi_sys/create_info.hpp"

#include <string>
#include <vector>

#include "kecore/ext/kelog/impl.hpp"
#include "kecore/utils/text.hpp"
#include "kepi_sys/convert.hpp"

namespace kepi {

constinit PyOpaqueObjectLoadersRegistry py_opaque_object_loaders;

namespace {

// Reads attribute `name` of `obj` and converts it with `convert`; a failed
// read is returned unchanged, a failed conversion as the field error of
// `record`.`name`.
template <class Convert>
bool read_field(PyObject* obj, AttrName& name, std::string_view record, Convert&& convert) {
    Ref value = get_attr(obj, name);
    if (!value) return false;
    if (!convert(value.get())) {
        wrap_field_error(record, name.text());
        return false;
    }
    return true;
}

bool extract_version_info(PyObject* obj, kecore::VersionInfo& out) {
    static AttrName major("major"), minor("minor"), patch("patch");
    return read_field(obj, major, "VersionInfo", [&](PyObject* v) { return extract_u16(v, out.major); }) &&
           read_field(obj, minor, "VersionInfo", [&](PyObject* v) { return extract_u16(v, out.minor); }) &&
           read_field(obj, patch, "VersionInfo", [&](PyObject* v) { return extract_u16(v, out.patch); });
}

bool extract_application_info(PyObject* obj, kecore::ApplicationInfo& out) {
    static AttrName application_version("application_version"), application_name("application_name"),
        engine_version("engine_version"), engine_name("engine_name");
    constexpr std::string_view kRecord = "ApplicationInfo";
    return read_field(obj, application_version, kRecord,
                      [&](PyObject* v) { return extract_version_info(v, out.application_version); }) &&
           read_field(obj, application_name, kRecord,
                      [&](PyObject* v) { return extract_string(v, out.application_name); }) &&
           read_field(obj, engine_version, kRecord,
                      [&](PyObject* v) { return extract_version_info(v, out.engine_version); }) &&
           read_field(obj, engine_name, kRecord, [&](PyObject* v) { return extract_string(v, out.engine_name); });
}

bool extract_string_list(PyObject* obj, std::vector<std::string>& out) {
    return for_each_item(obj, [&](PyObject* item) {
        std::string text;
        if (!extract_string(item, text)) return false;
        out.push_back(std::move(text));
        return true;
    });
}

// The single field of OpaqueList is its list, field 0.
bool extract_opaque_list(PyObject* obj, kecore::OpaqueList& out) {
    const bool ok = for_each_item(obj, [&](PyObject* item) {
        std::unique_ptr<kecore::OpaqueObject> record = load_opaque_object(item);
        if (!record) return false;
        out.items.push_back(std::move(record));
        return true;
    });
    if (!ok) wrap_field_error("OpaqueList", "0");
    return ok;
}

bool extract_module_source_type(PyObject* obj, kecore::ModuleSourceType& out) {
    std::uint32_t value = 0;
    if (!extract_u32(obj, value)) return false;
    std::optional<kecore::ModuleSourceType> kind = kecore::module_source_type_from_value(value);
    if (!kind) {
        raise_message(PyExc_ValueError, "Invalid ModuleSourceType value: " + std::to_string(value));
        return false;
    }
    out = *kind;
    return true;
}

bool extract_module_source_info(PyObject* obj, kecore::ModuleSourceInfo& out, std::vector<Ref>& lenders) {
    static AttrName source_type("source_type"), filename("filename"), data("data");
    constexpr std::string_view kRecord = "ModuleSourceInfo";
    return read_field(obj, source_type, kRecord,
                      [&](PyObject* v) { return extract_module_source_type(v, out.source_type); }) &&
           read_field(obj, filename, kRecord,
                      [&](PyObject* v) {
                          if (v == Py_None) {
                              out.filename.reset();
                              return true;
                          }
                          std::string text;
                          if (!extract_string(v, text)) return false;
                          out.filename = std::move(text);
                          return true;
                      }) &&
           read_field(obj, data, kRecord, [&](PyObject* v) {
               std::string_view text;
               if (!borrow_string(v, text)) return false;
               lenders.push_back(Ref::borrow(v));
               out.data = kecore::SourceText::borrowed(text);
               return true;
           });
}

std::string debug_names_of_loaders() {
    std::vector<std::string> names;
    for (const PyOpaqueObjectLoadersRegistryEntry& entry : py_opaque_object_loaders) {
        names.emplace_back(entry.type_name);
    }
    return kecore::debug_string_list(names);
}

}  // namespace

bool fully_qualified_type_name(PyObject* obj, std::string& out) {
    static AttrName module_attr("__module__"), qualname_attr("__qualname__");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref module = get_attr(type, module_attr);
    if (!module) return false;
    std::string module_name;
    if (!extract_string(module.get(), module_name)) return false;
    Ref qualname = get_attr(type, qualname_attr);
    if (!qualname) return false;
    std::string qualified;
    if (!extract_string(qualname.get(), qualified)) return false;
    if (module_name == "builtins" || module_name == "__main__") {
        out = std::move(qualified);
    } else {
        out = module_name + "." + qualified;
    }
    return true;
}

std::unique_ptr<kecore::OpaqueObject> load_opaque_object(PyObject* obj) {
    std::string type_name;
    if (!fully_qualified_type_name(obj, type_name)) return nullptr;
    if (const PyOpaqueObjectLoadersRegistryEntry* entry = py_opaque_object_loaders.find(type_name)) {
        return entry->loader(obj);
    }
    const std::string text =
        "No loader registered for type '" + type_name + "'. Possible types are: " + debug_names_of_loaders();
    // The host sees this text only here: the error below is wrapped twice
    // on its way out and only the outermost error is shown.
    (void)kecore::write_stdout(text + "\n");
    raise_message(PyExc_TypeError, text);
    return nullptr;
}

std::optional<kecore::InstanceCreateInfo> extract_instance_create_info(PyObject* obj) {
    static AttrName application_info("application_info"), enabled_extensions("enabled_extensions"), node_id("node_id"),
        ext("ext");
    constexpr std::string_view kRecord = "InstanceCreateInfo";
    kecore::InstanceCreateInfo info;
    const bool ok = read_field(obj, application_info, kRecord,
                               [&](PyObject* v) { return extract_application_info(v, info.application_info); }) &&
                    read_field(obj, enabled_extensions, kRecord,
                               [&](PyObject* v) { return extract_string_list(v, info.enabled_extensions); }) &&
                    read_field(obj, node_id, kRecord, [&](PyObject* v) { return extract_u32(v, info.node_id); }) &&
                    read_field(obj, ext, kRecord, [&](PyObject* v) { return extract_opaque_list(v, info.ext); });
    if (!ok) return std::nullopt;
    return info;
}

std::optional<kecore::ModuleCompileInfo> extract_module_compile_info(PyObject* obj, std::vector<Ref>& lenders) {
    static AttrName sources("sources");
    kecore::ModuleCompileInfo info;
    const bool ok = read_field(obj, sources, "ModuleCompileInfo", [&](PyObject* v) {
        return for_each_item(v, [&](PyObject* item) {
            kecore::ModuleSourceInfo source;
            if (!extract_module_source_info(item, source, lenders)) return false;
            info.sources.push_back(std::move(source));
            return true;
        });
    });
    if (!ok) return std::nullopt;
    return info;
}

}  // namespace kepi
