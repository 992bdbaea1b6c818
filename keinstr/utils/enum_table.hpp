// Shared machinery for the IR's word-tabled enumerations.
//
// Every enumeration is written once as an X-macro list of (value, word, ...)
// entries; the value identifier doubles as its debug name, and an entry may
// carry further columns of its own enumeration's (read by macros beside the
// list). From that list KE_DEFINE_TABLE_ENUM derives the enum itself, its word
// table, its debug names and an array of all values in declared order; its
// count is the length of the list. Everything else (parse from text, borsh tag
// checks, keyword lists) works on EnumTable<E>.
//
// The table of an enumeration is found by argument-dependent lookup of
// `ke_enum_table(E)`, which KE_DEFINE_TABLE_ENUM declares (and never defines)
// beside the enum, so an enumeration of any namespace can have one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace keinstr {

// The table of a tabled enumeration (see KE_DEFINE_TABLE_ENUM).
template <class E>
using EnumTable = decltype(ke_enum_table(std::declval<E>()));

template <class E>
concept TableEnum = requires {
    EnumTable<E>::words;
    EnumTable<E>::debug_names;
    EnumTable<E>::values;
};

namespace enum_table_detail {
template <class E, std::size_t... I>
constexpr std::array<E, sizeof...(I)> make_values(std::index_sequence<I...>) {
    return {static_cast<E>(I)...};
}
}  // namespace enum_table_detail

// Number of values of a tabled enumeration.
template <TableEnum E>
inline constexpr std::size_t enum_count = EnumTable<E>::words.size();

// All values in declared order.
template <TableEnum E>
inline constexpr auto enum_values = EnumTable<E>::values;

// Declared position of a value (also its borsh tag and word-table index).
template <TableEnum E>
constexpr std::size_t enum_index(E e) {
    return static_cast<std::size_t>(e);
}

// The value at a declared position, or none when out of range (borsh tags).
template <TableEnum E>
constexpr std::optional<E> enum_from_index(std::uint64_t index) {
    if (index >= enum_count<E>) return std::nullopt;
    return static_cast<E>(index);
}

// The source-language word of a value. Empty for a value outside the table.
template <TableEnum E>
constexpr std::string_view word(E e) {
    auto i = enum_index(e);
    return i < enum_count<E> ? EnumTable<E>::words[i] : std::string_view{};
}

// The debug name of a value. Empty for a value outside the table.
template <TableEnum E>
constexpr std::string_view debug_name(E e) {
    auto i = enum_index(e);
    return i < enum_count<E> ? EnumTable<E>::debug_names[i] : std::string_view{};
}

// Exact, case-sensitive parse of a whole word; the first value in declared
// order whose word equals the text.
template <TableEnum E>
constexpr std::optional<E> from_str(std::string_view text) {
    for (std::size_t i = 0; i < enum_count<E>; ++i) {
        if (EnumTable<E>::words[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

// Every word in declared order joined by ", " (the "expected one of" lists).
template <TableEnum E>
std::string joined_words(std::string_view separator = ", ") {
    std::string out;
    for (std::size_t i = 0; i < enum_count<E>; ++i) {
        if (i != 0) out += separator;
        out += EnumTable<E>::words[i];
    }
    return out;
}

}  // namespace keinstr

#define KE_ENUM_TABLE_VALUE_(name, word, ...) name,
#define KE_ENUM_TABLE_WORD_(name, word, ...) std::string_view{word},
#define KE_ENUM_TABLE_DEBUG_(name, word, ...) std::string_view{#name},

// Defines `enum class Enum : std::uint8_t`, its table (in the nested namespace
// `enum_tables`) from TABLE, and `parse_<snake>(text)`. Use in the namespace
// the enumeration belongs to.
#define KE_DEFINE_TABLE_ENUM(Enum, snake, TABLE) KE_DEFINE_TABLE_ENUM_OF(Enum, std::uint8_t, snake, TABLE)

// The same with another underlying type.
#define KE_DEFINE_TABLE_ENUM_OF(Enum, Underlying, snake, TABLE)                                        \
    enum class Enum : Underlying { TABLE(KE_ENUM_TABLE_VALUE_) };                                      \
    namespace enum_tables {                                                                            \
    struct Enum##Table {                                                                               \
        static constexpr std::string_view type_name = #Enum;                                           \
        static constexpr std::array words{TABLE(KE_ENUM_TABLE_WORD_)};                                 \
        static constexpr std::array debug_names{TABLE(KE_ENUM_TABLE_DEBUG_)};                          \
        static constexpr auto values =                                                                 \
            ::keinstr::enum_table_detail::make_values<Enum>(std::make_index_sequence<words.size()>{}); \
    };                                                                                                 \
    }                                                                                                  \
    enum_tables::Enum##Table ke_enum_table(Enum);                                                      \
    constexpr std::optional<Enum> parse_##snake(std::string_view text) { return ::keinstr::from_str<Enum>(text); }
