// Helpers shared by the fuzz targets: a token source over a bare Tokenizer,
// the digit-run finder the schema parser needs, and a check that aborts
// with a message, so a broken invariant is a crash libFuzzer keeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lexer/tokenizer.h"
#include "utils.h"

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

// The schema parser gets this from tarvix.utils; here a local equivalent.
inline tarvix::DigitRange first_digit_run(const std::string& name) {
    const size_t start = name.find_first_of("0123456789");
    if (start == std::string::npos) return {-1, -1};
    const size_t end = name.find_first_not_of("0123456789", start);
    return {static_cast<int32_t>(start), static_cast<int32_t>(end == std::string::npos ? name.size() : end)};
}

inline tarvix::lexer::Token next_token(void* context) {
    return static_cast<tarvix::lexer::Tokenizer*>(context)->next_token();
}
inline int32_t line_num(void* context) { return static_cast<tarvix::lexer::Tokenizer*>(context)->line_num; }

inline tarvix::lexer::TokenSource source_of(tarvix::lexer::Tokenizer& tokenizer) {
    return {next_token, line_num, &tokenizer};
}

}  // namespace fuzz
