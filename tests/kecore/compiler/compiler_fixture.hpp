// Shared pieces of the storage, add-module and load tests: an instance whose
// logger hands records to a list, small well-typed modules, and builders of
// hand-made storage bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kecore/base/api.hpp"
#include "kecore/base/instance_context.hpp"
#include "kecore/compiler/storage.hpp"
#include "kecore/compiler/zstd_stream.hpp"
#include "kecore/ext/kelog/log.hpp"
#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/ir/function.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/types/registry.hpp"

namespace kecore::test {

using Bytes = std::vector<std::uint8_t>;

// Records received by the logger, safe to fill from several threads. An
// optional hook runs on every record after it was kept (outside the lock).
struct Capture {
    mutable std::mutex mutex;
    std::vector<LogMessageEXT> records;
    std::function<void(const LogMessageEXT&)> on_record;

    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& r : records) out.push_back(r.message);
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex);
        records.clear();
    }
};

class CaptureTarget final : public LogCallbackEXT::Target {
public:
    explicit CaptureTarget(Capture& capture) : capture_(&capture) {}
    void call(LogMessageEXT record) override {
        {
            std::lock_guard lock(capture_->mutex);
            capture_->records.push_back(record);
        }
        if (capture_->on_record) capture_->on_record(record);
    }
    const void* address() const noexcept override { return capture_; }

private:
    Capture* capture_;
};

// An instance with the logger at Trace sending to `capture` (the creation
// records are dropped), or one without plugins when `capture` is null.
inline std::shared_ptr<InstanceContext> make_instance(Capture* capture = nullptr) {
    InstanceCreateInfo info;
    info.application_info.application_name = "test";
    info.node_id = 0x01020304;
    if (capture) {
        info.enabled_extensions.push_back("__EXT_kestrane_logger");
        info.ext.items.push_back(std::make_unique<LogCreateInfoEXT>(
            LogLevelEXT::Trace, LogCallbackEXT(std::make_unique<CaptureTarget>(*capture))));
    }
    auto created = create_instance(std::move(info));
    if (!created) return nullptr;
    if (capture) capture->clear();
    return *created;
}

// A function whose single block returns `ret` (Ret void when absent).
inline keinstr::Function returning(std::optional<std::string> name, std::vector<keinstr::Param> params,
                                   std::optional<keinstr::Typeref> return_type, std::optional<keinstr::Operand> ret) {
    keinstr::Function f = keinstr::Function::default_function();
    f.name = std::move(name);
    f.params = std::move(params);
    f.return_type = return_type;
    f.body.at(keinstr::Label{0}).terminator = keinstr::Ret{std::move(ret)};
    return f;
}

// A well-typed module with types in `registry`: "id" returns its i32
// parameter, an unnamed function returns void, "pair" returns its struct
// {i32, [4 x i64]} parameter (so the registry holds aggregates).
inline keinstr::Module sample_module(const keinstr::TypeRegistry& registry) {
    using namespace keinstr;
    const Typeref i32 = registry.search_or_insert(int_type(32));
    const Typeref i64 = registry.search_or_insert(int_type(64));
    const Typeref arr = registry.search_or_insert(array_type(i64, 4));
    const Typeref st = registry.search_or_insert(struct_type({i32, arr}));
    Module m;
    m.insert_function(returning("id", {{Name{0}, i32}}, i32, Operand{Name{0}}));
    m.insert_function(returning(std::nullopt, {}, std::nullopt, std::nullopt));
    m.insert_function(returning("pair", {{Name{0}, st}}, st, Operand{Name{0}}));
    return m;
}

// A record holding sample_module and its registry.
inline CompiledModuleStorage sample_storage(std::vector<std::string> names = {"a.kir", "b.kir"}) {
    CompiledModuleStorage s;
    s.type_registry = std::make_unique<keinstr::TypeRegistry>(0, keinstr::NodeId{});
    s.module = sample_module(*s.type_registry);
    s.source_names = std::move(names);
    return s;
}

// The magic, `requirement` and its NUL.
inline Bytes storage_header(std::string_view requirement) {
    Bytes out(kStorageMagic.begin(), kStorageMagic.end());
    out.insert(out.end(), requirement.begin(), requirement.end());
    out.push_back(0);
    return out;
}

// One zstd frame (level 3) holding `payload`.
inline Bytes zstd_frame(std::span<const std::uint8_t> payload) {
    Bytes out;
    auto r = compress_frame(out, [&](keinstr::BorshWriter& w) { w.raw(payload); });
    if (!r) out.clear();
    return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The payload borsh writes for `names`, `module`, `registry`.
inline Bytes payload_of(const std::vector<std::string>& names, const keinstr::Module& module,
                        const keinstr::TypeRegistry& registry) {
    Bytes out;
    keinstr::BorshWriter w(out);
    w.seq(names, [](keinstr::BorshWriter& sw, const std::string& n) { sw.string(n); });
    keinstr::borsh_write(w, module);
    keinstr::borsh_write(w, registry);
    return out;
}

// Decompresses the frame of a storage whose requirement is `requirement`.
inline Bytes payload_of_storage(std::span<const std::uint8_t> storage, std::string_view requirement) {
    auto dec = ZstdDecompressor::create(storage.subspan(storage_header(requirement).size()));
    Bytes out;
    if (!dec) return out;
    std::uint8_t buf[4096];
    for (;;) {
        auto n = dec->read(buf);
        if (!n || *n == 0) break;
        out.insert(out.end(), buf, buf + *n);
    }
    return out;
}

}  // namespace kecore::test
