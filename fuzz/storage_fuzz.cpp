// Loads arbitrary bytes as compiled-module storage into an instance created
// without plugins. The first input byte picks how the rest is used:
//   even: the rest is the storage bytes as they are (header, frame, trailer);
//   odd:  the rest is a payload, framed with a valid header and a zstd frame
//         of raw blocks, so that mutations reach the payload readers and the
//         load past them.
// Whatever decodes must encode again and decode to an equal record; whatever
// loads must be in the instance's module slots.
//
// One instance serves many inputs (creating one per input costs more than
// most loads). It is replaced after kLoadsPerInstance successful loads, or
// once its registry holds more than kMaxInstanceTypes types, so that neither
// its module slots nor its registry grow without bound over a run.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kecore/base/api.hpp"
#include "kecore/base/instance_context.hpp"
#include "kecore/compiler/load.hpp"
#include "kecore/compiler/storage.hpp"

namespace {

using namespace kecore;

constexpr std::size_t kLoadsPerInstance = 256;
constexpr std::size_t kMaxInstanceTypes = 4096;

struct SharedInstance {
    std::shared_ptr<InstanceContext> instance;
    std::size_t loads = 0;

    InstanceContext& get() {
        if (!instance || loads >= kLoadsPerInstance || instance->type_registry.len() > kMaxInstanceTypes) {
            instance.reset();  // the old one is torn down before the new one is made
            auto created = create_instance(InstanceCreateInfo{});
            if (!created) __builtin_trap();
            instance = *created;
            loads = 0;
        }
        return *instance;
    }
};

SharedInstance shared;

// A zstd frame holding `payload` in raw blocks: frame header without content
// size or checksum, a 128 KiB window, then blocks of at most 128 KiB, the last
// one flagged.
void append_raw_frame(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> payload) {
    constexpr std::size_t kBlock = 128 * 1024;
    const std::uint8_t header[] = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 7 << 3};
    out.insert(out.end(), std::begin(header), std::end(header));
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(kBlock, payload.size() - at);
        const bool last = at + n == payload.size();
        const std::uint32_t block = (static_cast<std::uint32_t>(n) << 3) | (last ? 1u : 0u);
        out.push_back(static_cast<std::uint8_t>(block));
        out.push_back(static_cast<std::uint8_t>(block >> 8));
        out.push_back(static_cast<std::uint8_t>(block >> 16));
        out.insert(out.end(), payload.begin() + at, payload.begin() + at + n);
        at += n;
    } while (at < payload.size());
}

std::vector<std::uint8_t> framed(const InstanceContext& instance, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> out(kStorageMagic.begin(), kStorageMagic.end());
    const std::string requirement = VersionReq::exact(instance.version).to_string();
    out.insert(out.end(), requirement.begin(), requirement.end());
    out.push_back(0);
    append_raw_frame(out, payload);
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
    InstanceContext& instance = shared.get();
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    std::vector<std::uint8_t> storage;
    if (data[0] & 1) {
        storage = framed(instance, rest);
    } else {
        storage.assign(rest.begin(), rest.end());
    }

    check_round_trip(instance, storage);

    const std::size_t before = [&] {
        keinstr::SharedGuard guard(instance.modules_lock);
        return instance.modules.size();
    }();
    auto key = load_module(shared.instance, storage);
    if (key) {
        ++shared.loads;
        keinstr::SharedGuard guard(instance.modules_lock);
        if (instance.modules.get(*key) == nullptr || instance.modules.size() != before + 1) __builtin_trap();
    }
    return 0;
}
