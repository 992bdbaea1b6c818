#include "keinstr/text/engine.hpp"

#include <array>

namespace keinstr {

std::string_view fixed_token_text(TokenDiscriminants payload_free_kind) {
    static const std::array<std::string, kTokenKindCount> texts = [] {
        std::array<std::string, kTokenKindCount> out;
        for (std::size_t i = 0; i < kTokenKindCount; ++i) {
            const auto k = static_cast<TokenDiscriminants>(i);
            switch (k) {
                case TokenDiscriminants::Void:
                case TokenDiscriminants::Import:
                case TokenDiscriminants::LParen:
                case TokenDiscriminants::RParen:
                case TokenDiscriminants::LBrace:
                case TokenDiscriminants::RBrace:
                case TokenDiscriminants::LBracket:
                case TokenDiscriminants::RBracket:
                case TokenDiscriminants::LAngle:
                case TokenDiscriminants::RAngle:
                case TokenDiscriminants::Comma:
                case TokenDiscriminants::Colon:
                case TokenDiscriminants::Equals:
                case TokenDiscriminants::Newline: out[i] = Token::simple(k).to_string(); break;
                default: break;
            }
        }
        return out;
    }();
    const auto i = static_cast<std::size_t>(payload_free_kind);
    return i < texts.size() ? std::string_view{texts[i]} : std::string_view{};
}

std::string_view fixed_token_text(KeTerminatorOp op) {
    static const std::array<std::string, enum_count<KeTerminatorOp>> texts = [] {
        std::array<std::string, enum_count<KeTerminatorOp>> out;
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = Token::terminator_op(enum_values<KeTerminatorOp>[i]).to_string();
        return out;
    }();
    const auto i = enum_index(op);
    return i < texts.size() ? std::string_view{texts[i]} : std::string_view{};
}

}  // namespace keinstr
