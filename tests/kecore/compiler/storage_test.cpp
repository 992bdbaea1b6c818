#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <malloc.h>
#include <zstd.h>
#include <zstd_errors.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own count of what is allocated (its allocator replaces malloc's).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kecore/compiler/storage.hpp"
#include "compiler_fixture.hpp"

namespace kecore {
namespace {

using test::Bytes;
using test::Capture;

constexpr std::string_view kHeaderText = "Failed to read compiled module storage header: ";

std::map<keinstr::Typeref, keinstr::AnyType> types_of(const keinstr::TypeRegistry& registry) {
    return registry.read().map();
}

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        instance = test::make_instance(&capture);
        ASSERT_TRUE(instance);
    }

    Bytes encode_sample(std::vector<std::string> names = {"a.kir", "b.kir"}) {
        auto bytes = test::sample_storage(std::move(names)).encode(*instance);
        EXPECT_TRUE(bytes);
        capture.clear();
        return bytes ? *bytes : Bytes{};
    }

    // Decoding must fail with `reason`: the error, the Trace line and the
    // Error line all carry it.
    void expect_decode_failure(const Bytes& data, const std::string& reason) {
        SCOPED_TRACE(reason);
        capture.clear();
        auto decoded = CompiledModuleStorage::decode(*instance, data);
        ASSERT_FALSE(decoded);
        const std::string text = std::string(kHeaderText) + reason;
        ASSERT_NE(decoded.error().get_if<KeError::Unknown>(), nullptr);
        EXPECT_EQ(decoded.error().message(), "An unknown error occurred: " + text);
        ASSERT_EQ(capture.records.size(), 2u);
        EXPECT_EQ(capture.records[0].message,
                  fmt::format("Deserializing compiled module storage ({} bytes)", data.size()));
        EXPECT_EQ(capture.records[0].level, LogLevelEXT::Trace);
        EXPECT_EQ(capture.records[1].message, text);
        EXPECT_EQ(capture.records[1].level, LogLevelEXT::Error);
        EXPECT_EQ(capture.records[1].module, "kecore::compiler");
    }

    Capture capture;
    std::shared_ptr<InstanceContext> instance;
};

TEST_F(StorageTest, LayoutAndRoundTrip) {
    CompiledModuleStorage original = test::sample_storage();
    auto bytes = original.encode(*instance);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"Serializing compiled module storage (module has 3 functions)"});
    EXPECT_EQ(capture.records[0].module, "kecore::compiler");
    EXPECT_EQ(capture.records[0].file, "kecore/src/compiler.cpp");

    const Bytes prefix{0x7F, 0x4B, 0x45, 0x4D, 0x4F, 0x44, 0x49, 0x52, 0x3D, 0x30,
                       0x2E, 0x31, 0x2E, 0x32, 0x00, 0x28, 0xB5, 0x2F, 0xFD};
    ASSERT_GT(bytes->size(), prefix.size());
    EXPECT_EQ(Bytes(bytes->begin(), bytes->begin() + prefix.size()), prefix);

    // Level 3 never asks for more than a 2 MiB window.
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, bytes->data() + 15, bytes->size() - 15), 0u);
    EXPECT_LE(header.windowSize, std::uint64_t{1} << 21);

    capture.clear();
    auto decoded = CompiledModuleStorage::decode(*instance, *bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{fmt::format("Deserializing compiled module storage ({} bytes)", bytes->size())});
    EXPECT_EQ(decoded->source_names, original.source_names);
    EXPECT_EQ(decoded->module, original.module);
    EXPECT_EQ(types_of(*decoded->type_registry), types_of(*original.type_registry));
    // Decoded functions are held by the module alone.
    for (const auto& [id, f] : decoded->module.functions) EXPECT_EQ(f.use_count(), 1);
}

TEST_F(StorageTest, PayloadsFarLargerThanTheirFrameRoundTrip) {
    // The payload reader's buffer follows the frame's size; repetitive payloads
    // many times their frame are read through it in many refills.
    for (const std::size_t count : {1u, 50u, 3000u, 40000u}) {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < count; ++i) names.push_back(std::string(90 + i % 17, 'a') + ".kir");
        CompiledModuleStorage original = test::sample_storage(names);
        auto bytes = original.encode(*instance);
        ASSERT_TRUE(bytes) << count;
        auto decoded = CompiledModuleStorage::decode(*instance, *bytes);
        ASSERT_TRUE(decoded) << count;
        EXPECT_EQ(decoded->source_names, names) << count;
        EXPECT_EQ(decoded->module, original.module) << count;
    }
}

TEST_F(StorageTest, EmptyRecordRoundTrips) {
    CompiledModuleStorage empty;
    auto bytes = empty.encode(*instance);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"Serializing compiled module storage (module has 0 functions)"});
    auto decoded = CompiledModuleStorage::decode(*instance, *bytes);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->source_names.empty());
    EXPECT_TRUE(decoded->module.functions.empty());
    EXPECT_EQ(decoded->type_registry->len(), 0u);
}

TEST_F(StorageTest, EncodeFailureIsReportedAndLogged) {
    CompiledModuleStorage broken = test::sample_storage();
    broken.module.functions.begin()->second = nullptr;  // cannot be written
    auto bytes = broken.encode(*instance);
    ASSERT_FALSE(bytes);
    const std::string text = "Failed to serialize compiled module storage header: invalid data";
    EXPECT_EQ(bytes.error().message(), "An unknown error occurred: " + text);
    ASSERT_EQ(capture.records.size(), 2u);
    EXPECT_EQ(capture.records[1].message, text);
    EXPECT_EQ(capture.records[1].level, LogLevelEXT::Error);
}

TEST_F(StorageTest, HeaderFailures) {
    const Bytes valid = encode_sample();
    const Bytes magic(kStorageMagic.begin(), kStorageMagic.end());
    const Bytes frame(valid.begin() + test::storage_header("=0.1.2").size(), valid.end());
    Bytes wrong_magic = valid;
    wrong_magic[1] = 'k';

    struct Case {
        Bytes data;
        std::string reason;
    };
    std::vector<Case> cases = {
        {{}, "failed to fill whole buffer"},
        {{0x7F}, "failed to fill whole buffer"},
        {Bytes(magic.begin(), magic.begin() + 7), "failed to fill whole buffer"},
        {magic, "failed to fill whole buffer"},
        {test::concat(magic, {'=', '0', '.', '1', '.', '2'}), "failed to fill whole buffer"},
        {wrong_magic, "Invalid magic bytes in compiled module storage"},
        {Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0}, "Invalid magic bytes in compiled module storage"},
        {test::concat(test::storage_header(""), frame),
         "Invalid version requirement format: empty string, expected a semver version"},
        {test::concat(test::storage_header("=0.1.x.y"), frame), "Invalid version requirement format: "},
        {test::concat(test::concat(magic, {'=', 0xFF, 0}), frame),
         "Invalid UTF-8 in version requirement: invalid utf-8 sequence of 1 bytes from index 1"},
        {test::concat(test::concat(magic, {'=', 0xE2, 0x82, 0}), frame),
         "Invalid UTF-8 in version requirement: incomplete utf-8 byte sequence from index 1"},
        {test::concat(test::storage_header("=0.1.3"), frame),
         "Incompatible compiled module storage version: required =0.1.3, found 0.1.2"},
        {test::concat(test::storage_header(">0.1.2"), frame),
         "Incompatible compiled module storage version: required >0.1.2, found 0.1.2"},
        {test::concat(test::storage_header("=0.1.2-alpha"), frame),
         "Incompatible compiled module storage version: required =0.1.2-alpha, found 0.1.2"},
        {test::concat(test::storage_header(">=0.1.0,   <0.1.2"), frame),
         "Incompatible compiled module storage version: required >=0.1.0, <0.1.2, found 0.1.2"},
    };
    for (const Case& c : cases) {
        if (c.reason == "Invalid version requirement format: ") {
            // The parser's own message follows; only the prefix is ours.
            auto decoded = CompiledModuleStorage::decode(*instance, c.data);
            ASSERT_FALSE(decoded);
            EXPECT_TRUE(decoded.error().message().starts_with(
                "An unknown error occurred: Failed to read compiled module storage header: Invalid version "
                "requirement format: "))
                << decoded.error().message();
            continue;
        }
        expect_decode_failure(c.data, c.reason);
    }
}

TEST_F(StorageTest, BroaderRequirementsAreAccepted) {
    const Bytes valid = encode_sample();
    const Bytes frame(valid.begin() + test::storage_header("=0.1.2").size(), valid.end());
    for (std::string_view req :
         {"^0.1", ">=0.1.0", ">=0.1.0, <0.2.0", "*", "~0.1.2", "0.1", "=0.1", "<=0.1.2", "0.1.*"}) {
        SCOPED_TRACE(req);
        auto decoded = CompiledModuleStorage::decode(*instance, test::concat(test::storage_header(req), frame));
        ASSERT_TRUE(decoded) << decoded.error().message();
        EXPECT_EQ(decoded->module.functions.size(), 3u);
    }
}

TEST_F(StorageTest, FrameAndPayloadFailures) {
    const Bytes header = test::storage_header("=0.1.2");
    const Bytes valid = encode_sample();
    const Bytes payload = test::payload_of_storage(valid, "=0.1.2");
    ASSERT_FALSE(payload.empty());

    // Names: count 1, length 1, byte 0xFF.
    const Bytes bad_name{1, 0, 0, 0, 1, 0, 0, 0, 0xFF};
    // A forged count that no data follows must not be taken at its word.
    const Bytes huge_count{0xFF, 0xFF, 0xFF, 0xFF};
    // Names empty, then a module whose first function has an impossible
    // optional marker for its name.
    Bytes bad_tag{0, 0, 0, 0, 1, 0, 0, 0};
    bad_tag.insert(bad_tag.end(), 32, 0x11);  // key UUID, then the function's UUID
    bad_tag.push_back(7);                     // option marker of the name

    struct Case {
        Bytes data;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {header, "Unexpected length of input"},
        {test::concat(header, {1, 2, 3, 4, 5, 6, 7, 8}), "Unknown frame descriptor"},
        {test::concat(header, test::zstd_frame(Bytes{})), "Unexpected length of input"},
        {test::concat(header, test::zstd_frame(Bytes(payload.begin(), payload.end() - 1))),
         "Unexpected length of input"},
        {test::concat(header, test::zstd_frame(bad_name)), "invalid utf-8 sequence of 1 bytes from index 0"},
        {test::concat(header, test::zstd_frame(huge_count)), "Unexpected length of input"},
        {test::concat(header, test::zstd_frame(bad_tag)),
         "Invalid Option representation: 7. The first byte must be 0 or 1"},
    };
    for (const Case& c : cases) expect_decode_failure(c.data, c.reason);
}

TEST_F(StorageTest, EveryTruncationFails) {
    const Bytes valid = encode_sample();
    for (std::size_t n = 0; n < valid.size(); ++n) {
        auto decoded = CompiledModuleStorage::decode(*instance, std::span(valid.data(), n));
        ASSERT_FALSE(decoded) << n;
        EXPECT_TRUE(decoded.error().message().starts_with("An unknown error occurred: " + std::string(kHeaderText)));
    }
}

TEST_F(StorageTest, BytesAfterThePayloadAreIgnored) {
    const Bytes valid = encode_sample();
    const Bytes header = test::storage_header("=0.1.2");
    Bytes payload = test::payload_of_storage(valid, "=0.1.2");
    payload.insert(payload.end(), {9, 9, 9});  // inside the frame
    const Bytes inside = test::concat(header, test::zstd_frame(payload));
    const Bytes after = test::concat(valid, {0xDE, 0xAD, 0xBE, 0xEF});
    const Bytes second_frame = test::concat(valid, valid);
    for (const Bytes* data : {&inside, &after, &second_frame}) {
        auto decoded = CompiledModuleStorage::decode(*instance, *data);
        ASSERT_TRUE(decoded) << decoded.error().message();
        EXPECT_EQ(decoded->source_names, (std::vector<std::string>{"a.kir", "b.kir"}));
        EXPECT_EQ(decoded->module.functions.size(), 3u);
    }
}

// Bytes the process's allocations hold now.
std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// The stored form of a function of no name, parameters or result whose body
// lists `blocks` in this order, repeated labels and all (which no module can hold).
Bytes function_listing(const keinstr::Function& shell, const std::vector<const keinstr::BasicBlock*>& blocks) {
    // Its UUID, no name, no parameters and no result come before the body's count.
    constexpr std::size_t kBeforeBody = 16 + 1 + 4 + 1;
    const Bytes whole = *keinstr::borsh_encode(shell);
    std::size_t body_bytes = 4;
    for (const auto& [label, block] : shell.body) body_bytes += 4 + keinstr::borsh_encode(block)->size();
    Bytes out(whole.begin(), whole.begin() + kBeforeBody);
    keinstr::BorshWriter w(out);
    w.u32(static_cast<std::uint32_t>(blocks.size()));
    for (const keinstr::BasicBlock* block : blocks) {
        w.u32(block->label.id);
        keinstr::borsh_write(w, *block);
    }
    out.insert(out.end(), whole.begin() + static_cast<std::ptrdiff_t>(kBeforeBody + body_bytes), whole.end());
    return out;
}

// A loaded module keeps the memory of the blocks and functions it holds, not of
// every one the storage listed: a block label or a function repeated a hundred
// times over 50,000 instructions (a storage of a few kilobytes) leaves a module
// of one `ret void` block, which must not keep the gigabyte its dropped copies
// took while they were read.
TEST_F(StorageTest, LoadedModuleKeepsOnlyWhatItHolds) {
    using namespace keinstr;
    Function shell = test::returning(std::nullopt, {}, std::nullopt, std::nullopt);
    shell.uuid = Uuid::from_bytes({0x42});
    BasicBlock full{Label{0}, {}, Ret{std::nullopt}};
    full.instructions.assign(50'000, KeInstr{MetaAssume{Operand{Name{0}}}});
    const BasicBlock& last = shell.body.at(Label{0});
    // The listing reproduces the function's own stored form.
    ASSERT_EQ(function_listing(shell, {&last}), *borsh_encode(shell));

    std::vector<const BasicBlock*> repeated_label(100, &full);
    repeated_label.push_back(&last);
    Function big = shell;
    big.body.at(Label{0}) = full;
    const Bytes big_function = function_listing(big, {&full});
    const Bytes small_function = function_listing(shell, {&last});

    const auto storage = [](const std::vector<const Bytes*>& functions) {
        Bytes payload;
        BorshWriter w(payload);
        w.u32(0);  // no source names
        w.u32(static_cast<std::uint32_t>(functions.size()));
        for (const Bytes* f : functions) {
            w.uuid(Uuid::from_bytes({0x42}));
            w.raw(*f);
        }
        w.u32(0);  // no external functions
        w.u64(0);  // no types
        return test::concat(test::storage_header("=0.1.2"), test::zstd_frame(payload));
    };
    const Bytes label_listing = function_listing(shell, repeated_label);
    std::vector<const Bytes*> repeated_function(20, &big_function);
    repeated_function.push_back(&small_function);
    const struct {
        const char* name;
        Bytes data;
    } cases[] = {
        {"a block label repeated", storage({&label_listing})},
        {"a function repeated", storage(repeated_function)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_LT(c.data.size(), 64u << 10);
        const std::size_t before = heap_in_use();
        auto decoded = CompiledModuleStorage::decode(*instance, c.data);
        ASSERT_TRUE(decoded) << decoded.error().message();
        EXPECT_LT(heap_in_use() - before, std::size_t{64} << 20);
        ASSERT_EQ(decoded->module.functions.size(), 1u);
        EXPECT_EQ(*decoded->module.functions.begin()->second, shell);
    }
}

// The decoder's own message for `frame`: the name of the error a fresh default
// context reports for it.
std::string decoder_message(const Bytes& frame) {
    ZSTD_DCtx* d = ZSTD_createDCtx();
    Bytes buf(ZSTD_BLOCKSIZE_MAX);
    ZSTD_inBuffer in{frame.data(), frame.size(), 0};
    ZSTD_outBuffer out{buf.data(), buf.size(), 0};
    const std::size_t r = ZSTD_decompressStream(d, &out, &in);
    ZSTD_freeDCtx(d);
    return ZSTD_isError(r) ? ZSTD_getErrorName(r) : "";
}

TEST_F(StorageTest, WindowsUpToTheDecodersDefaultLimit) {
    const Bytes header = test::storage_header("=0.1.2");
    const Bytes valid = encode_sample();
    const Bytes payload = test::payload_of_storage(valid, "=0.1.2");

    // The payload recompressed at level 22 with a 16 MiB window, streamed so
    // that the frame keeps it (small tables keep the compressor's memory low).
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 22);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, 24);
    ZSTD_CCtx_setParameter(c, ZSTD_c_hashLog, 16);
    ZSTD_CCtx_setParameter(c, ZSTD_c_chainLog, 16);
    Bytes frame(ZSTD_compressBound(payload.size()) + 64);
    ZSTD_outBuffer out{frame.data(), frame.size(), 0};
    ZSTD_inBuffer in{payload.data(), payload.size(), 0};
    ASSERT_FALSE(ZSTD_isError(ZSTD_compressStream2(c, &out, &in, ZSTD_e_continue)));
    ASSERT_EQ(ZSTD_compressStream2(c, &out, &in, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(c);
    frame.resize(out.pos);
    ZSTD_frameHeader fh{};
    ASSERT_EQ(ZSTD_getFrameHeader(&fh, frame.data(), frame.size()), 0u);
    EXPECT_EQ(fh.windowSize, std::uint64_t{1} << 24);
    auto decoded = CompiledModuleStorage::decode(*instance, test::concat(header, frame));
    ASSERT_TRUE(decoded) << decoded.error().message();
    auto expected = CompiledModuleStorage::decode(*instance, valid);
    EXPECT_EQ(decoded->module, expected->module);
    EXPECT_EQ(types_of(*decoded->type_registry), types_of(*expected->type_registry));

    // Frame header: magic, descriptor 0 (no single segment, no checksum, no
    // content size), window descriptor `w`, then a last raw block of one byte
    // whose content is missing.
    auto frame_with_window = [](std::uint8_t w) { return Bytes{0x28, 0xB5, 0x2F, 0xFD, 0x00, w, 0x09, 0x00, 0x00}; };
    // Above 2^27 bytes (2^28, 2^30): refused with the decoder's own message.
    for (std::uint8_t w : {0x90, 0xA0}) {
        const Bytes big = frame_with_window(w);
        const std::string message = decoder_message(big);
        EXPECT_EQ(message, ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge));
        expect_decode_failure(test::concat(header, big), message);
    }
    // 2^27 itself gets past the window.
    expect_decode_failure(test::concat(header, frame_with_window(0x88)), "Unexpected length of input");
}

// The payload in a frame of zstd 0.`version`, as raw blocks of at most `block`
// bytes. 0.1 to 0.3 have the magic alone as frame header; 0.4 to 0.6 add a
// descriptor whose low nibble is the window log less 11 (0.6: its top bits 0,
// no content size); 0.7 a descriptor (0: no dictionary, checksum nor content
// size) and a window byte whose top five bits are the window log less 10. Every
// version's block header is 3 bytes: the type in the top two bits (raw 1, end
// 3), then the size in 19 bits, big-endian.
Bytes legacy_frame(int version, const Bytes& content, std::size_t block) {
    constexpr int kWindowLog = 17;
    Bytes f;
    if (version == 1) {
        f = {0xFD, 0x2F, 0xB5, 0x1E};  // written big-endian
    } else {
        f = {static_cast<std::uint8_t>(0x20 + version), 0xB5, 0x2F, 0xFD};
    }
    if (version >= 4 && version <= 6) f.push_back(kWindowLog - 11);
    if (version == 7) f.insert(f.end(), {0x00, (kWindowLog - 10) << 3});
    for (std::size_t at = 0; at < content.size(); at += block) {
        const std::size_t n = std::min(block, content.size() - at);
        f.insert(f.end(), {static_cast<std::uint8_t>(0x40 | (n >> 16)), static_cast<std::uint8_t>(n >> 8),
                           static_cast<std::uint8_t>(n)});
        f.insert(f.end(), content.begin() + static_cast<std::ptrdiff_t>(at),
                 content.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    f.insert(f.end(), {0xC0, 0x00, 0x00});
    return f;
}

TEST_F(StorageTest, LegacyFramesLoadLikeTheCurrentOne) {
    const Bytes header = test::storage_header("=0.1.2");
    struct Case {
        std::vector<std::string> names;
        std::size_t block;
    };
    // Small blocks; whole ones, with a name long enough to fill more than two.
    const std::vector<Case> cases = {{{"a.kir", "b.kir"}, 40}, {{std::string(300'000, 'n')}, ZSTD_BLOCKSIZE_MAX}};
    for (const Case& c : cases) {
        const Bytes valid = encode_sample(c.names);
        const Bytes payload = test::payload_of_storage(valid, "=0.1.2");
        auto expected = CompiledModuleStorage::decode(*instance, valid);
        ASSERT_TRUE(expected);
        for (int version = 1; version <= 7; ++version) {
            SCOPED_TRACE(fmt::format("zstd 0.{}, blocks of {} bytes", version, c.block));
            auto decoded =
                CompiledModuleStorage::decode(*instance, test::concat(header, legacy_frame(version, payload, c.block)));
            ASSERT_TRUE(decoded) << decoded.error().message();
            EXPECT_EQ(decoded->source_names, expected->source_names);
            EXPECT_EQ(decoded->module, expected->module);
            EXPECT_EQ(types_of(*decoded->type_registry), types_of(*expected->type_registry));
        }
    }
}

// What a default decoder makes of `frame`, called as the storage reader calls
// it: the output of each call up to the first failure (a failing call has
// none), and that failure's name. Frames of 0.1 to 0.3, which libzstd does
// not stream, are decoded whole.
struct StepwiseDecode {
    Bytes output;
    std::optional<std::string> error;
};

StepwiseDecode decode_stepwise(const Bytes& frame) {
    StepwiseDecode result;
    if (frame[3] == 0x1E || (frame[3] == 0xFD && (frame[0] == 0x22 || frame[0] == 0x23))) {
        std::size_t r = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
        if (!ZSTD_isError(r)) {
            result.output.resize(ZSTD_decompressBound(frame.data(), r));
            r = ZSTD_decompress(result.output.data(), result.output.size(), frame.data(), r);
        }
        if (ZSTD_isError(r)) {
            result.output.clear();
            result.error = ZSTD_getErrorName(r);
        } else {
            result.output.resize(r);
        }
        return result;
    }
    ZSTD_DCtx* d = ZSTD_createDCtx();
    Bytes buf(ZSTD_BLOCKSIZE_MAX);
    ZSTD_inBuffer in{frame.data(), frame.size(), 0};
    for (;;) {
        ZSTD_outBuffer out{buf.data(), buf.size(), 0};
        const std::size_t consumed = in.pos;
        const std::size_t r = ZSTD_decompressStream(d, &out, &in);
        if (ZSTD_isError(r)) {
            result.error = ZSTD_getErrorName(r);
            break;
        }
        result.output.insert(result.output.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(out.pos));
        if (r == 0 || (in.pos == consumed && out.pos == 0)) break;
    }
    ZSTD_freeDCtx(d);
    return result;
}

// A current-format frame holding `content` in raw blocks (so that no bound on
// expansion applies): no content size, a 128 KiB window.
Bytes raw_frame(const Bytes& content) {
    Bytes f{0x28, 0xB5, 0x2F, 0xFD, 0x00, 7 << 3};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(ZSTD_BLOCKSIZE_MAX, content.size() - at);
        const std::uint32_t h = static_cast<std::uint32_t>(n << 3) | (at + n == content.size() ? 1u : 0u);
        f.insert(f.end(),
                 {static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h >> 16)});
        f.insert(f.end(), content.begin() + static_cast<std::ptrdiff_t>(at),
                 content.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    } while (at < content.size());
    return f;
}

TEST_F(StorageTest, CorruptFramesFailWithTheDecodersMessage) {
    const Bytes header = test::storage_header("=0.1.2");
    const std::string prefix = "An unknown error occurred: " + std::string(kHeaderText);
    // A 0.5 frame header and noise: the decoder fails and reports its whole
    // output buffer as filled; nothing of that buffer may be read.
    const Bytes noise_05{0x25, 0xB5, 0x2F, 0xFD, 0xC6, 0x7E, 0x81, 0x6B, 0x4B};
    ASSERT_EQ(test::concat(header, noise_05).size(), 24u);
    expect_decode_failure(test::concat(header, noise_05), *decode_stepwise(noise_05).error);

    // Noise after the magic of every frame format, 0.1 to the current one. A
    // storage decodes as the decoder's error-free output would in a sound
    // frame; where that output runs out, the reason is one of the decoder's.
    std::set<std::string> decoder_messages;
    for (int code = 1; code < ZSTD_error_maxCode; ++code)
        decoder_messages.insert(ZSTD_getErrorString(static_cast<ZSTD_ErrorCode>(code)));
    const std::vector<Bytes> magics = {{0xFD, 0x2F, 0xB5, 0x1E}, {0x22, 0xB5, 0x2F, 0xFD}, {0x23, 0xB5, 0x2F, 0xFD},
                                       {0x24, 0xB5, 0x2F, 0xFD}, {0x25, 0xB5, 0x2F, 0xFD}, {0x26, 0xB5, 0x2F, 0xFD},
                                       {0x27, 0xB5, 0x2F, 0xFD}, {0x28, 0xB5, 0x2F, 0xFD}};
    std::uint32_t x = 20240601;
    for (const Bytes& magic : magics) {
        std::size_t decoder_failures = 0;
        for (int i = 0; i < 300; ++i) {
            Bytes frame = magic;
            const std::size_t length = 1 + i % 40;
            for (std::size_t k = 0; k < length; ++k) {
                x = x * 1103515245u + 12345u;
                frame.push_back(static_cast<std::uint8_t>(x >> 16));
            }
            SCOPED_TRACE(::testing::PrintToString(frame));
            const StepwiseDecode steps = decode_stepwise(frame);
            auto decoded = CompiledModuleStorage::decode(*instance, test::concat(header, frame));
            auto sound = CompiledModuleStorage::decode(*instance, test::concat(header, raw_frame(steps.output)));
            if (decoded) {
                ASSERT_TRUE(sound) << sound.error().message();
                EXPECT_EQ(decoded->source_names, sound->source_names);
                EXPECT_EQ(decoded->module, sound->module);
                continue;
            }
            const std::string got = decoded.error().message();
            ASSERT_TRUE(got.starts_with(prefix)) << got;
            const std::string reason = got.substr(prefix.size());
            const std::string sound_reason = sound ? "" : sound.error().message().substr(prefix.size());
            // A frame that declares its content size is also cut off at it, and
            // counts are checked against it before anything is read for them.
            const bool declared = ZSTD_getFrameContentSize(frame.data(), frame.size()) < ZSTD_CONTENTSIZE_ERROR;
            if (declared && (reason == ZSTD_getErrorString(ZSTD_error_corruption_detected) ||
                             reason == "Unexpected length of input"))
                continue;
            if (steps.error && (sound || sound_reason == "Unexpected length of input")) {
                EXPECT_TRUE(decoder_messages.contains(reason)) << reason;
                ++decoder_failures;
            } else {
                EXPECT_EQ(reason, sound_reason);
            }
        }
        EXPECT_GT(decoder_failures, 100u);
    }
}

}  // namespace
}  // namespace kecore
