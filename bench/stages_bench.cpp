// Where the time of compiling and loading one program goes, stage by stage,
// against the floor of each stage on the same input.
//
//     python3 bench/gen_program.py --bytes 10000000 --seed 1 --ke /tmp/p.ke --ll /tmp/p.ll
//     build/dev/stages_bench /tmp/p.ke [runs]
//
// Prints markdown tables. Every figure is the best process CPU time
// (CLOCK_PROCESS_CPUTIME_ID: user and system, page faults included; less
// disturbed by other load on the machine than wall time) of `runs` runs
// (default 5); inputs of each run are prepared outside its timing.
// Compile stages are given in nanoseconds per byte of Kestrane text; load stages
// in nanoseconds per byte of storage and per byte of text. Shares are of the
// whole compile (compile_sources) and of the whole load (load_module).
//
// Floors, each measured the same way on the same input:
//   lexing        memchr counting the newlines of the text
//   encoding      memcpy of the borsh payload (decoding likewise)
//   compression   one-shot zstd (level 3) of the borsh payload
//   decompression one-shot zstd of the storage's own frame
// Floors write into buffers made and touched before the timing, with zstd
// contexts reused from run to run.
#include <time.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "kecore/base/api.hpp"
#include "kecore/base/instance_context.hpp"
#include "kecore/compiler/compile.hpp"
#include "kecore/compiler/load.hpp"
#include "kecore/compiler/storage.hpp"
#include "kecore/compiler/zstd_stream.hpp"
#include "keinstr/ir/module.hpp"
#include "keinstr/passes/analyze.hpp"
#include "keinstr/passes/type_check.hpp"
#include "keinstr/storage/borsh_ir.hpp"
#include "keinstr/text/lexer.hpp"
#include "keinstr/text/module_grammar.hpp"
#include "keinstr/text/parse.hpp"
#include "keinstr/text/state.hpp"
#include "keinstr/types/registry.hpp"
#include "keinstr/utils/arena.hpp"

namespace {

int g_runs = 5;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "stages_bench: %s\n", what.c_str());
    std::exit(1);
}

// Best of g_runs: `prepare` runs untimed before each timed `body`.
double best_seconds(const std::function<void()>& prepare, const std::function<void()>& body) {
    double best = 1e300;
    for (int i = 0; i < g_runs; ++i) {
        prepare();
        timespec t0{}, t1{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
        body();
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
        best = std::min(
            best, static_cast<double>(t1.tv_sec - t0.tv_sec) + 1e-9 * static_cast<double>(t1.tv_nsec - t0.tv_nsec));
    }
    return best;
}
double best_seconds(const std::function<void()>& body) {
    return best_seconds([] {}, body);
}

template <class T>
void keep(const T& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

std::shared_ptr<kecore::InstanceContext> new_instance() {
    kecore::InstanceCreateInfo info;
    info.application_info.application_name = "stages_bench";
    auto instance = kecore::create_instance(std::move(info));
    if (!instance) die(fmt::format("create_instance: {}", instance.error()));
    return *instance;
}

// The payload as storage writes it: source names (none), module, registry.
std::vector<std::uint8_t> borsh_payload(const kecore::CompiledModuleStorage& storage) {
    std::vector<std::uint8_t> out;
    keinstr::BorshWriter w(out);
    w.seq(storage.source_names, [](keinstr::BorshWriter& sw, const std::string& name) { sw.string(name); });
    keinstr::borsh_write(w, storage.module);
    keinstr::borsh_write(w, *storage.type_registry);
    if (!w.ok()) die("borsh encoding failed");
    return out;
}

// The zstd frame of storage bytes: after the magic and the NUL-terminated requirement.
std::span<const std::uint8_t> storage_frame(const std::vector<std::uint8_t>& bytes) {
    const auto nul = std::find(bytes.begin() + kecore::kStorageMagic.size(), bytes.end(), std::uint8_t{0});
    if (nul == bytes.end()) die("storage without a version requirement");
    return std::span<const std::uint8_t>(&*(nul + 1), static_cast<std::size_t>(bytes.end() - (nul + 1)));
}

struct Row {
    std::string stage;
    double seconds = 0;         // < 0: not measured
    double floor_seconds = -1;  // < 0: no floor
    std::string floor_name;
    bool derived = false;  // a remainder, not timed on its own
};

void print_table(const std::string& title, const std::vector<Row>& rows, double whole, double text_bytes,
                 double storage_bytes) {
    const bool load = storage_bytes > 0;
    fmt::print("\n**{}**\n\n", title);
    if (load) {
        fmt::print("| stage | ms | ns/storage byte | ns/text byte | share | floor | floor ns/text byte | × floor |\n");
        fmt::print("|---|--:|--:|--:|--:|---|--:|--:|\n");
    } else {
        fmt::print("| stage | ms | ns/text byte | share | floor | floor ns/text byte | × floor |\n");
        fmt::print("|---|--:|--:|--:|---|--:|--:|\n");
    }
    for (const Row& r : rows) {
        const std::string name = r.derived ? r.stage + " *" : r.stage;
        const std::string floor_ns =
            r.floor_seconds >= 0 ? fmt::format("{:.2f}", r.floor_seconds * 1e9 / text_bytes) : std::string("—");
        const std::string ratio =
            r.floor_seconds > 0 ? fmt::format("{:.1f}", r.seconds / r.floor_seconds) : std::string("—");
        const std::string floor_name = r.floor_name.empty() ? std::string("—") : r.floor_name;
        if (load) {
            fmt::print("| {} | {:.1f} | {:.2f} | {:.2f} | {:.1f} % | {} | {} | {} |\n", name, r.seconds * 1e3,
                       r.seconds * 1e9 / storage_bytes, r.seconds * 1e9 / text_bytes, 100 * r.seconds / whole,
                       floor_name, floor_ns, ratio);
        } else {
            fmt::print("| {} | {:.1f} | {:.2f} | {:.1f} % | {} | {} | {} |\n", name, r.seconds * 1e3,
                       r.seconds * 1e9 / text_bytes, 100 * r.seconds / whole, floor_name, floor_ns, ratio);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM.ke [runs]\n", argv[0]);
        return 2;
    }
    if (argc >= 3) g_runs = std::max(1, std::atoi(argv[2]));
    std::string text;
    {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) die(fmt::format("cannot read {}", argv[1]));
        std::ostringstream ss;
        ss << in.rdbuf();
        text = std::move(ss).str();
    }
    const double text_bytes = static_cast<double>(text.size());
    const auto instance = new_instance();

    // ---- The program compiled once, kept for the stages that take its result.
    // The arena outlives the module whose instruction arrays it holds (declared first).
    keinstr::Arena kept_arena(2 * text.size());
    kecore::CompiledModuleStorage storage;
    storage.type_registry = std::make_unique<keinstr::TypeRegistry>(0, keinstr::NodeId{});
    if (auto r = keinstr::extend_module_from_string(storage.module, *storage.type_registry, text, &kept_arena,
                                                    keinstr::PriorFunctions::Verified);
        !r)
        die(fmt::format("the program does not compile: {}", r.error()));
    const std::vector<std::uint8_t> payload = borsh_payload(storage);
    std::vector<std::uint8_t> stored;
    {
        auto e = storage.encode(*instance, text.size());
        if (!e) die(fmt::format("encode: {}", e.error()));
        stored = std::move(*e);
    }
    const double storage_bytes = static_cast<double>(stored.size());
    const std::span<const std::uint8_t> frame = storage_frame(stored);

    // ---- Compile, whole.
    const double compile_whole = best_seconds([&] {
        kecore::ModuleCompileInfo info;
        kecore::ModuleSourceInfo source;
        source.data = kecore::SourceText::borrowed(text);
        info.sources.push_back(std::move(source));
        auto bytes = kecore::compile_sources(*instance, std::move(info));
        if (!bytes) die(fmt::format("compile_sources: {}", bytes.error()));
        keep(bytes);
    });

    // The front end whole: lex, parse, validate, renumber, resolve, insert, verify.
    std::optional<keinstr::Module> fe_module;
    std::unique_ptr<keinstr::TypeRegistry> fe_registry;
    std::unique_ptr<keinstr::Arena> fe_arena;
    // A fresh arena and registry for a run (the module's is freed first).
    const auto fresh_front_end = [&] {
        fe_module.reset();
        fe_arena = std::make_unique<keinstr::Arena>(2 * text.size());
        fe_registry = std::make_unique<keinstr::TypeRegistry>(0, keinstr::NodeId{});
    };
    const auto run_front_end = [&] {
        auto r = keinstr::extend_module_from_string(*fe_module, *fe_registry, text, fe_arena.get(),
                                                    keinstr::PriorFunctions::Verified);
        if (!r) die(fmt::format("extend_module_from_string: {}", r.error()));
    };
    const double front_end = best_seconds(
        [&] {
            fresh_front_end();
            fe_module.emplace();
        },
        run_front_end);
    // Freeing the front end's result (module and its arena): compile_sources
    // frees its module before it returns.
    const double teardown = best_seconds(
        [&] {
            fresh_front_end();
            fe_module.emplace();
            run_front_end();
        },
        [&] {
            fe_module.reset();
            fe_arena.reset();
        });

    // Lexing alone, the way the parser drives it: batches from the incremental lexer.
    const double lexing = best_seconds([&] {
        keinstr::IncrementalLexer lexer(text);
        std::vector<keinstr::Token> batch(4096);
        std::size_t n = 0;
        while (std::size_t got = lexer.next(batch)) n += got;
        if (!lexer.finish().empty()) die("lexing findings");
        keep(n);
    });
    const double lex_floor = best_seconds([&] {
        std::size_t lines = 0;
        const char* p = text.data();
        const char* const end = p + text.size();
        while (const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
            ++lines;
            p = static_cast<const char*>(nl) + 1;
        }
        keep(lines);
    });

    // Lexing, parsing and validation: the quick parse phase alone, with a resolver
    // that hands out one fresh UUID per name (as the front end does for names the
    // module does not know yet).
    std::optional<std::vector<keinstr::Item>> items;
    const double parsing = best_seconds(
        [&] {
            items.reset();
            fresh_front_end();
        },
        [&] {
            std::unordered_map<std::string, keinstr::Uuid> names[2];
            auto resolver = std::make_shared<const keinstr::FunctionResolver>(
                [&names](std::string name, bool external) -> std::optional<keinstr::Uuid> {
                    auto [it, fresh] = names[external ? 1 : 0].try_emplace(std::move(name));
                    if (fresh) it->second = keinstr::Uuid::new_v4();
                    return it->second;
                });
            keinstr::State state(std::move(resolver), keinstr::random_uuid_generator(), *fe_registry);
            state.instruction_arena = fe_arena.get();
            keinstr::IncrementalLexer lexer(text);
            items = keinstr::parse_on_demand(lexer, state);
            if (!lexer.finish().empty() || !items) die("parse_on_demand failed");
        });

    // Renumbering, on copies of the parsed functions.
    std::vector<keinstr::Function> copies;
    const double renumbering = best_seconds(
        [&] {
            copies.clear();
            copies.reserve(items->size());
            for (const keinstr::Item& item : *items)
                if (const keinstr::Function* f = item.function()) copies.push_back(*f);
        },
        [&] {
            for (keinstr::Function& f : copies) f.normalize_ssa();
        });
    copies.clear();
    items.reset();
    fe_arena.reset();
    fe_registry.reset();

    // Verification of the compiled module, as the front end asks for it (every
    // function added to a module verified before: here, an empty one).
    std::vector<keinstr::Uuid> all_functions;
    for (const auto& [id, function] : storage.module.functions) all_functions.push_back(id);
    const double verification = best_seconds([&] {
        auto v = storage.module.verify_added(all_functions);
        if (!v) die(fmt::format("verify: {}", v.error()));
    });

    // Type checking, one session over every function, as compile_sources does.
    const double type_checking = best_seconds([&] {
        keinstr::TypeCheckSession checker(*storage.type_registry);
        for (const auto& [id, function] : storage.module.functions) {
            auto c = checker.check(*function);
            if (!c) die(fmt::format("type check: {}", c.error()));
        }
    });

    // Encoding whole (borsh through zstd), borsh alone, zstd alone, a copy.
    const double encoding_whole = best_seconds([&] {
        auto e = storage.encode(*instance, text.size());
        if (!e) die(fmt::format("encode: {}", e.error()));
        keep(e);
    });
    const double borsh_encoding = best_seconds([&] {
        std::vector<std::uint8_t> out = borsh_payload(storage);
        keep(out);
    });
    std::vector<std::uint8_t> copy_out(payload.size(), 1);
    const double payload_copy = best_seconds([&] {
        std::memcpy(copy_out.data(), payload.data(), payload.size());
        keep(copy_out);
    });
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    std::vector<std::uint8_t> out(ZSTD_compressBound(payload.size()), 1);
    const double zstd_compress = best_seconds([&] {
        const std::size_t n = ZSTD_compressCCtx(cctx, out.data(), out.size(), payload.data(), payload.size(),
                                                kecore::kStorageCompressionLevel);
        if (ZSTD_isError(n)) die(ZSTD_getErrorName(n));
        keep(out);
    });

    const double compile_sum = front_end + type_checking + encoding_whole + teardown;
    std::vector<Row> compile_rows{
        {"lexing", lexing, lex_floor, "memchr newlines"},
        {"parsing and validation", parsing - lexing, -1, "", true},
        {"renumbering", renumbering, -1, ""},
        {"name resolution and insertion", front_end - parsing - renumbering - verification, -1, "", true},
        {"verification", verification, -1, ""},
        {"type checking", type_checking, -1, ""},
        {"borsh encoding", borsh_encoding, payload_copy, "payload copy"},
        {"zstd compression", encoding_whole - borsh_encoding, zstd_compress, "one-shot zstd -3", true},
        {"module teardown", teardown, -1, ""},
        {"rest of compile_sources", compile_whole - compile_sum, -1, "", true},
        {"front end (extend_module_from_string)", front_end, -1, ""},
        {"encode (borsh through zstd)", encoding_whole, -1, ""},
        {"whole compile (compile_sources)", compile_whole, -1, ""},
    };

    // ---- Load.
    std::shared_ptr<kecore::InstanceContext> fresh;
    const double load_whole = best_seconds([&] { fresh = new_instance(); },
                                           [&] {
                                               auto key = kecore::load_module(fresh, stored);
                                               if (!key) die(fmt::format("load_module: {}", key.error()));
                                           });
    fresh.reset();

    // Decoded results are freed outside the timing (load_module keeps them).
    std::optional<kecore::CompiledModuleStorage> decoded;
    const double decode_whole = best_seconds([&] { decoded.reset(); },
                                             [&] {
                                                 auto d = kecore::CompiledModuleStorage::decode(*instance, stored);
                                                 if (!d) die(fmt::format("decode: {}", d.error()));
                                                 decoded.emplace(std::move(*d));
                                             });
    // Decompression as decode drives it: the streaming decompressor, a block at a time.
    std::vector<std::uint8_t> block(std::size_t{128} << 10);  // a zstd block, as decode reads
    const double decompression = best_seconds([&] {
        auto dec = kecore::ZstdDecompressor::create(frame, &instance->zstd_contexts());
        if (!dec) die(dec.error().to_string());
        std::size_t total = 0;
        for (;;) {
            auto got = dec->read(block);
            if (!got) die(got.error().to_string());
            if (*got == 0) break;
            total += *got;
        }
        if (total != payload.size()) die("decompressed size differs from the payload");
    });
    std::vector<std::uint8_t> decompressed(payload.size(), 1);
    const double zstd_decompress = best_seconds([&] {
        const std::size_t n =
            ZSTD_decompressDCtx(dctx, decompressed.data(), decompressed.size(), frame.data(), frame.size());
        if (ZSTD_isError(n) || n != payload.size()) die("one-shot decompression failed");
        keep(decompressed);
    });
    // Decoding alone: borsh from the payload in memory.
    std::optional<keinstr::Module> decoded_module;
    std::unique_ptr<keinstr::TypeRegistry> decoded_registry;
    const double decoding = best_seconds(
        [&] {
            decoded_module.reset();
            decoded_registry.reset();
        },
        [&] {
            keinstr::BorshReader reader{std::span<const std::uint8_t>(payload)};
            auto names = reader.u32();
            if (!names || *names != 0) die("unexpected source names in the payload");
            decoded_module.emplace();
            if (auto r = keinstr::borsh_read(reader, *decoded_module); !r) die(r.error().to_string());
            auto reg = keinstr::read_type_registry(reader);
            if (!reg) die(reg.error().to_string());
            decoded_registry = std::move(*reg);
        });
    decoded_module.reset();
    decoded_registry.reset();

    // Registry merge and remap, into a fresh instance, of a freshly decoded record.
    const double merge_remap = best_seconds(
        [&] {
            decoded.reset();
            fresh = new_instance();
            auto d = kecore::CompiledModuleStorage::decode(*instance, stored);
            if (!d) die(fmt::format("decode: {}", d.error()));
            decoded.emplace(std::move(*d));
        },
        [&] {
            auto map = fresh->type_registry.merge_with(*decoded->type_registry);
            if (!map) die("merge_with failed");
            decoded->module.remap_types(*map);
        });
    // `fresh` and `decoded` now hold a loaded module as load_module hands it on.
    const keinstr::Module& loaded = decoded->module;
    const double load_verification = best_seconds([&] {
        auto v = loaded.verify();
        if (!v) die(fmt::format("verify: {}", v.error()));
    });
    const double load_type_checking = best_seconds([&] {
        keinstr::TypeCheckSession checker(fresh->type_registry);
        for (const auto& [id, function] : loaded.functions) {
            auto c = checker.check(*function);
            if (!c) die(fmt::format("type check: {}", c.error()));
        }
    });
    std::vector<keinstr::FunctionAnalysis> analyses;
    const double analysis = best_seconds([&] { analyses.clear(); },
                                         [&] {
                                             analyses.reserve(loaded.functions.size());
                                             for (const auto& [id, function] : loaded.functions)
                                                 analyses.push_back(keinstr::Function::analyze(function));
                                         });
    analyses.clear();

    const double load_sum = decode_whole + merge_remap + load_verification + load_type_checking + analysis;
    std::vector<Row> load_rows{
        {"decompression", decompression, zstd_decompress, "one-shot zstd"},
        {"decoding", decoding, payload_copy, "payload copy"},
        {"registry merge and remap", merge_remap, -1, ""},
        {"verification", load_verification, -1, ""},
        {"type checking", load_type_checking, -1, ""},
        {"analysis", analysis, -1, ""},
        {"decode (decompression through decoding)", decode_whole, -1, ""},
        {"rest of load_module", load_whole - load_sum, -1, "", true},
        {"whole load (load_module)", load_whole, -1, ""},
    };

    ZSTD_freeCCtx(cctx);
    ZSTD_freeDCtx(dctx);

    fmt::print(
        "Program: {} bytes of text, {} functions; borsh payload {} bytes; storage {} bytes. Best of {} runs, "
        "process CPU time.\n",
        text.size(), storage.module.functions.size(), payload.size(), stored.size(), g_runs);
    print_table("Compile (per byte of text; share of the whole compile)", compile_rows, compile_whole, text_bytes, 0);
    print_table("Load (share of the whole load)", load_rows, load_whole, text_bytes, storage_bytes);
    fmt::print(
        "\n* derived, not timed on its own: parsing and validation = quick parse phase (lexing included) − "
        "lexing; name resolution and insertion = front end − quick parse phase − renumbering − "
        "verification; zstd compression = encode − borsh encoding; rest of compile_sources = whole compile − (front "
        "end + type checking + encode + module teardown); rest of load_module = whole load − (decode + merge and remap "
        "+ verification + type checking + analysis). The decode row is decompression and decoding interleaved, as "
        "load_module runs them.\n");
    return 0;
}
