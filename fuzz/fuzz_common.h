// Helpers shared by the fuzz targets: a token source over a bare Tokenizer
// and a check that aborts with a message, so a broken invariant is a crash
// libFuzzer keeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/tokenizer.h"
#include "core/text.h"

#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzz {

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline tarvix::lexer::Token next_token(void* context) {
    return static_cast<tarvix::lexer::Tokenizer*>(context)->next_token();
}
inline int32_t line_num(void* context) { return static_cast<tarvix::lexer::Tokenizer*>(context)->line_num; }

inline tarvix::lexer::TokenSource source_of(tarvix::lexer::Tokenizer& tokenizer) {
    return {next_token, line_num, &tokenizer};
}

}  // namespace fuzz
