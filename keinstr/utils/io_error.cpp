#include "keinstr/utils/io_error.hpp"

namespace keinstr {

std::string_view io_error_kind_text(IoErrorKind kind) noexcept {
    const std::string_view text = word(kind);
    return text.empty() ? "other error" : text;
}

std::string IoError::to_string() const {
    std::string text = message_ ? *message_ : std::string(io_error_kind_text(kind_));
    if (os_code_ != 0) text += fmt::format(" (os error {})", os_code_);
    return text;
}

IoError IoError::unexpected_length() { return IoError(IoErrorKind::InvalidData, "Unexpected length of input"); }

IoError IoError::invalid_variant_tag(std::uint8_t tag) {
    return IoError(IoErrorKind::InvalidData, fmt::format("Unexpected variant tag: {}", tag));
}

IoError IoError::invalid_bool(std::uint8_t byte) {
    return IoError(IoErrorKind::InvalidData, fmt::format("Invalid bool representation: {}", byte));
}

IoError IoError::invalid_option(std::uint8_t byte) {
    return IoError(IoErrorKind::InvalidData,
                   fmt::format("Invalid Option representation: {}. The first byte must be 0 or 1", byte));
}

}  // namespace keinstr
