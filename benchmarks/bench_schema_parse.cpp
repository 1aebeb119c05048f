// Schema parse throughput without the interpreter: tokenizes and parses one
// IDD file repeatedly and prints the median time and MB/s.
// Usage: bench_schema_parse FILE [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/schema/schema.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [RUNS]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;

    std::vector<double> seconds;
    size_t classes = 0;
    for (int run = 0; run < runs; ++run) {
        tarvix::Tokenizer tokenizer;
        tokenizer.init(text, true, true);  // as after the loader's UTF-8 check
        tarvix::c_IDD idd;
        tarvix::ParseError error;
        const auto start = std::chrono::steady_clock::now();
        if (!tarvix::parse_schema(tokenizer, idd, error)) {
            std::fprintf(stderr, "parse error on line %d: %s\n", error.line_num, error.value.c_str());
            return 1;
        }
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        classes = idd.ordered_classes.size();
    }
    const double first = seconds.front();
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    std::printf("%s: %.2f MB, %zu classes\n", argv[1], text.size() / 1e6, classes);
    std::printf("tokenize+parse median %.2f ms over %d runs (best %.2f ms, first %.2f ms): %.0f MB/s\n", median * 1e3,
                runs, seconds.front() * 1e3, first * 1e3, text.size() / 1e6 / median);
    return 0;
}
