// Loads arbitrary bytes as compiled-module storage into a fresh instance
// created without plugins. The first input byte picks how the rest is used:
//   even: the rest is the storage bytes as they are (header, frame, trailer);
//   odd:  the rest is a payload, framed with a valid header and a zstd frame,
//         so that mutations reach the payload readers and the load past them.
// Whatever decodes must encode again and decode to an equal record; whatever
// loads must be in the instance's module slots.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kecore/base/api.hpp"
#include "kecore/base/instance_context.hpp"
#include "kecore/compiler/load.hpp"
#include "kecore/compiler/storage.hpp"
#include "kecore/compiler/zstd_stream.hpp"

namespace {

using namespace kecore;

std::shared_ptr<InstanceContext> fresh_instance() {
    auto created = create_instance(InstanceCreateInfo{});
    if (!created) __builtin_trap();
    return *created;
}

std::vector<std::uint8_t> framed(const InstanceContext& instance, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(kStorageMagic.begin(), kStorageMagic.end());
    const std::string requirement = VersionReq::exact(instance.version).to_string();
    out.insert(out.end(), requirement.begin(), requirement.end());
    out.push_back(0);
    if (!compress_frame(out, [&](keinstr::BorshWriter& w) { w.raw(payload); })) __builtin_trap();
    return out;
}

void check_round_trip(const InstanceContext& instance, std::span<const std::uint8_t> data) {
    auto decoded = CompiledModuleStorage::decode(instance, data);
    if (!decoded) return;
    auto encoded = decoded->encode(instance);
    if (!encoded) __builtin_trap();
    auto again = CompiledModuleStorage::decode(instance, *encoded);
    if (!again) __builtin_trap();
    if (again->source_names != decoded->source_names || !(again->module == decoded->module) ||
        again->type_registry->len() != decoded->type_registry->len())
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::shared_ptr<InstanceContext> instance = fresh_instance();
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::vector<std::uint8_t> storage;
    if (data[0] & 1) {
        storage = framed(*instance, rest);
    } else {
        storage.assign(rest.begin(), rest.end());
    }

    check_round_trip(*instance, storage);

    auto key = load_module(instance, storage);
    if (key) {
        keinstr::SharedGuard guard(instance->modules_lock);
        if (instance->modules.get(*key) == nullptr || instance->modules.size() != 1) __builtin_trap();
    }
    return 0;
}
