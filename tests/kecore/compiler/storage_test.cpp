#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

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
        EXPECT_EQ(decoded.error().to_string(), "An unknown error occurred: " + text);
        ASSERT_EQ(capture.records.size(), 2u);
        EXPECT_EQ(capture.records[0].message, fmt::format("Deserializing compiled module storage ({} bytes)",
                                                          data.size()));
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
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"Serializing compiled module storage (module has 3 functions)"});
    EXPECT_EQ(capture.records[0].module, "kecore::compiler");
    EXPECT_EQ(capture.records[0].file, "kecore/src/compiler.cpp");

    const Bytes prefix{0x7F, 0x4B, 0x45, 0x4D, 0x4F, 0x44, 0x49, 0x52, 0x3D, 0x30, 0x2E, 0x31,
                       0x2E, 0x32, 0x00, 0x28, 0xB5, 0x2F, 0xFD};
    ASSERT_GT(bytes->size(), prefix.size());
    EXPECT_EQ(Bytes(bytes->begin(), bytes->begin() + prefix.size()), prefix);

    // Level 3 never asks for a window near the decoder's limit.
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, bytes->data() + 15, bytes->size() - 15), 0u);
    EXPECT_LE(header.windowSize, kStorageMaxWindow);

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

TEST_F(StorageTest, EmptyRecordRoundTrips) {
    CompiledModuleStorage empty;
    auto bytes = empty.encode(*instance);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"Serializing compiled module storage (module has 0 functions)"});
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
    EXPECT_EQ(bytes.error().to_string(), "An unknown error occurred: " + text);
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
            EXPECT_TRUE(decoded.error().to_string().starts_with(
                "An unknown error occurred: Failed to read compiled module storage header: Invalid version "
                "requirement format: "))
                << decoded.error().to_string();
            continue;
        }
        expect_decode_failure(c.data, c.reason);
    }
}

TEST_F(StorageTest, BroaderRequirementsAreAccepted) {
    const Bytes valid = encode_sample();
    const Bytes frame(valid.begin() + test::storage_header("=0.1.2").size(), valid.end());
    for (std::string_view req : {"^0.1", ">=0.1.0", ">=0.1.0, <0.2.0", "*", "~0.1.2", "0.1", "=0.1", "<=0.1.2",
                                 "0.1.*"}) {
        SCOPED_TRACE(req);
        auto decoded = CompiledModuleStorage::decode(*instance, test::concat(test::storage_header(req), frame));
        ASSERT_TRUE(decoded) << decoded.error().to_string();
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
        EXPECT_TRUE(decoded.error().to_string().starts_with("An unknown error occurred: " + std::string(kHeaderText)));
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
        ASSERT_TRUE(decoded) << decoded.error().to_string();
        EXPECT_EQ(decoded->source_names, (std::vector<std::string>{"a.kir", "b.kir"}));
        EXPECT_EQ(decoded->module.functions.size(), 3u);
    }
}

TEST_F(StorageTest, OversizedWindowIsRefusedBeforeDecoding) {
    // Frame header: magic, descriptor 0 (no single segment, no checksum, no
    // content size), window descriptor for 2^30 bytes, then a last raw block
    // of one byte.
    const Bytes frame{0x28, 0xB5, 0x2F, 0xFD, 0x00, 0xA0, 0x09, 0x00, 0x00, 0x00};
    expect_decode_failure(test::concat(test::storage_header("=0.1.2"), frame),
                          "Frame requires too much memory for decoding");
    // The same frame with the limit's own window (2^23) gets past the check.
    const Bytes small{0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x68, 0x09, 0x00, 0x00, 0x00};
    expect_decode_failure(test::concat(test::storage_header("=0.1.2"), small), "Unexpected length of input");
}

}  // namespace
}  // namespace kecore
