// Times the column pass alone (no Python): four text columns shaped like the benchmark's
// W2 table (10, 1,000, 100,000 and ~N distinct texts, 1% missing markers), encoded by
// encode_text_columns on the worker pool, whose size comes from RAYON_NUM_THREADS.
// Prints the median of the repeats in seconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/column_pass.hpp"
#include "core/worker_pool.hpp"

using namespace quorvel;

namespace {

std::vector<TextColumn> make_columns(std::size_t rows, std::mt19937_64& rng) {
    const std::size_t cardinalities[] = {10, 1000, 100000, 0};  // 0: nearly unique
    std::vector<TextColumn> columns(4);
    char text[40];
    for (std::size_t j = 0; j < 4; ++j) {
        columns[j].reserve(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            if (rng() % 100 == 0) {
                columns[j].push_back("nan");
                continue;
            }
            const std::uint64_t id = cardinalities[j] == 0 ? rng() >> 1 : rng() % cardinalities[j];
            if (cardinalities[j] == 0) {
                std::snprintf(text, sizeof text, "u%016llx", static_cast<unsigned long long>(id));
            } else {
                std::snprintf(text, sizeof text, "c%zu-x%llx", j, static_cast<unsigned long long>(id));
            }
            columns[j].push_back(text);
        }
    }
    return columns;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
    std::mt19937_64 rng(42);
    const std::vector<TextColumn> columns = make_columns(rows, rng);
    pool_thread_count();  // start the pool outside the timing
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) {
        Matrix matrix = Matrix::zeros(rows, 4);
        std::vector<TextColumn> texts = columns;
        const std::vector<bool> text_mode(4, true);
        const auto start = std::chrono::steady_clock::now();
        EncodingInfo info = encode_text_columns(matrix, texts, text_mode);
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%.4f\n", times[times.size() / 2]);
}
