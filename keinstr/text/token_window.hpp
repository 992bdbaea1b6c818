// The parser's view of the token list: tokens by index, either over a complete
// list or lexed on demand.
//
// On demand, tokens are lexed a chunk at a time into fixed-size chunks, so a
// token never moves while its chunk is held, and the chunks before a position
// the parser will not come back to are recycled. A whole source thus never
// needs its full token list in memory: the parser holds the tokens of the item
// it is reading, a few chunks that stay in cache.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <span>
#include <vector>

#include "keinstr/text/lexer.hpp"
#include "keinstr/text/token.hpp"

namespace keinstr {

class TokenWindow {
public:
    static constexpr std::size_t kChunkBits = 12;
    static constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;

    // Over a complete list, which must outlive the window.
    explicit TokenWindow(std::span<const Token> all) : available_(all.size()), ended_(true) {
        chunks_.reserve((all.size() + kChunk - 1) / kChunk);
        for (std::size_t i = 0; i < all.size(); i += kChunk) chunks_.push_back(all.data() + i);
    }
    // Over the run of `lexer`, which must outlive the window. A run that fits in
    // less than a chunk gets a first chunk of its own size: a source of one line
    // should not cost a 96 KiB allocation.
    explicit TokenWindow(IncrementalLexer& lexer)
        : first_capacity_(std::min(kChunk, lexer.token_bound() + 1)), lexer_(&lexer) {}

    TokenWindow(const TokenWindow&) = delete;
    TokenWindow& operator=(const TokenWindow&) = delete;

    // Token `i`, or nullptr when the input has fewer tokens. `i` must not lie
    // before a position handed to `release_before`.
    // The parser asks for a token at every step: the check stays inline, the
    // lexing behind it out of line.
    [[gnu::always_inline]] const Token* get(std::size_t i) {
        if (i >= available_ && !fill(i)) [[unlikely]]
            return nullptr;
        return chunks_[i >> kChunkBits] + (i & (kChunk - 1));
    }

    // Tokens before `pos` will not be asked for again.
    void release_before(std::size_t pos) {
        if (!lexer_) return;
        const std::size_t below = pos >> kChunkBits;  // chunks wholly before pos
        for (; released_ < below && released_ < owned_.size(); ++released_) {
            // A short first chunk is never reused for a later, full one.
            if (owned_[released_] && capacity(released_) == kChunk) spare_.push_back(std::move(owned_[released_]));
            chunks_[released_] = nullptr;
        }
    }

private:
    // A chunk's tokens are written by the lexer before they are read, so a new chunk
    // is storage only: a token is a plain value (implicit-lifetime), and giving
    // every slot of a 4096-token chunk a value first would cost a source of one
    // line more than lexing it.
    static_assert(std::is_trivially_copyable_v<Token> && std::is_trivially_destructible_v<Token>);
    struct ChunkStorageFree {
        void operator()(Token* p) const noexcept { ::operator delete(p, std::align_val_t{alignof(Token)}); }
    };
    using Chunk = std::unique_ptr<Token[], ChunkStorageFree>;
    static Chunk new_chunk(std::size_t tokens) {
        return Chunk(static_cast<Token*>(::operator new(tokens * sizeof(Token), std::align_val_t{alignof(Token)})));
    }
    std::size_t capacity(std::size_t chunk) const noexcept { return chunk == 0 ? first_capacity_ : kChunk; }

    // Lexes until token `i` exists or the run ends.
    [[gnu::noinline]] bool fill(std::size_t i) {
        while (i >= available_ && !ended_) {
            const std::size_t chunk = available_ >> kChunkBits;
            const std::size_t offset = available_ & (kChunk - 1);
            if (chunk == owned_.size()) {
                Chunk fresh;
                if (!spare_.empty()) {
                    fresh = std::move(spare_.back());
                    spare_.pop_back();
                } else {
                    fresh = new_chunk(capacity(chunk));
                }
                chunks_.push_back(fresh.get());
                owned_.push_back(std::move(fresh));
            }
            const std::span<Token> room(owned_[chunk].get() + offset, capacity(chunk) - offset);
            // A short first chunk holds more than the whole run: it is never
            // filled, so the run has ended before it would be.
            if (room.empty()) {
                ended_ = true;
                break;
            }
            const std::size_t got = lexer_->next(room);
            available_ += got;
            if (got < room.size()) ended_ = true;
        }
        return i < available_;
    }

    std::vector<const Token*> chunks_;     // by chunk number (null once released)
    std::vector<Chunk> owned_;             // on demand: the chunks lexed into
    std::vector<Chunk> spare_;             // released chunks, for reuse
    std::size_t released_ = 0;             // chunks before this one are released
    std::size_t available_ = 0;            // tokens lexed so far
    std::size_t first_capacity_ = kChunk;  // tokens chunk 0 holds
    bool ended_ = false;
    IncrementalLexer* lexer_ = nullptr;
};

}  // namespace keinstr
