// Tokenizer throughput on one file: tokenizes it repeatedly and prints the
// median time and MB/s. Usage: bench_tokenizer FILE [idd|idf] [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/text/tokenizer.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [idd|idf] [RUNS]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool is_idd = argc < 3 || std::string(argv[2]) != "idf";
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 30;

    std::vector<double> seconds;
    size_t tokens = 0, text_bytes = 0;
    for (int run = 0; run < runs; ++run) {
        tarvix::Tokenizer tokenizer;
        tokenizer.init(text, is_idd);
        tokens = text_bytes = 0;
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            const tarvix::TokenView token = tokenizer.next();
            ++tokens;
            text_bytes += token.value.size();
            if (token.type == tarvix::TOKEN_EOF || token.type == tarvix::TOKEN_ERROR) break;
        }
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    std::printf("%s: %.2f MB, %zu tokens (%zu text bytes), %s mode\n", argv[1], text.size() / 1e6, tokens, text_bytes,
                is_idd ? "schema" : "document");
    std::printf("median %.2f ms over %d runs (best %.2f ms): %.0f MB/s\n", median * 1e3, runs, seconds.front() * 1e3,
                text.size() / 1e6 / median);
    return 0;
}
