// Decodes arbitrary bytes as a module and as a type registry. Whatever decodes must
// encode again, and its encoded form must be canonical: decoding it gives an equal
// value that encodes to the same bytes. A decoded module also goes through the
// passes the loader runs on it (verification, then analysis of each function).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "keinstr/passes/analyze.hpp"
#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/passes/verify.hpp"

namespace {

using namespace keinstr;

void check_module(std::span<const std::uint8_t> input) {
    BorshReader reader(input);
    auto module = borsh_read<Module>(reader);
    if (!module) return;

    auto encoded = borsh_encode(*module);
    if (!encoded) __builtin_trap();
    auto again = borsh_decode<Module>(*encoded);
    if (!again || !(*again == *module)) __builtin_trap();
    auto reencoded = borsh_encode(*again);
    if (!reencoded || *reencoded != *encoded) __builtin_trap();

    for (const auto& [uuid, function] : module->functions) {
        if (!function || function.use_count() != 1) __builtin_trap();
    }
    if (module->verify()) {
        for (const auto& [uuid, function] : module->functions) {
            const FunctionAnalysis analysis = Function::analyze(function);
            if (analysis.function_flow.node_count() < function->body.size()) __builtin_trap();
        }
    }
}

void check_registry(std::span<const std::uint8_t> input) {
    BorshReader reader(input);
    auto registry = read_type_registry(reader);
    if (!registry) return;

    std::vector<std::uint8_t> encoded;
    BorshWriter writer(encoded);
    borsh_write(writer, **registry);
    if (!writer.ok()) __builtin_trap();

    BorshReader second(encoded);
    auto again = read_type_registry(second);
    if (!again || (*again)->read().map() != (*registry)->read().map()) __builtin_trap();
    if (second.position() != encoded.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    check_module(input);
    check_registry(input);
    return 0;
}
