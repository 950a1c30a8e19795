// Memory read rate of one and two threads when the threads claim blocks of a large array in turn
// from a shared counter, as the worker pool hands out columns and rows, against contiguous halves.
// On machines whose prefetchers lose their streams at every block boundary, small interleaved
// blocks cap what a second thread adds to a memory-bound kernel.
//   c++ -std=c++20 -O2 -pthread bench/interleave.cpp -o /tmp/interleave && /tmp/interleave
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

int main() {
    const std::int64_t n = std::int64_t{1} << 25;  // 256 MB of doubles, well beyond the caches
    std::vector<double> a(static_cast<std::size_t>(n), 1.0);
    double sink[2] = {0.0, 0.0};
    // 3840 doubles: one 64-column block of a 60-level profile field; the last is half the array.
    for (std::int64_t block : {std::int64_t{3840}, std::int64_t{61440}, n / 2}) {
        for (int t : {1, 2}) {
            double best = 1e9;
            for (int rep = 0; rep < 5; ++rep) {
                std::atomic<std::int64_t> counter{0};
                const auto work = [&](int k) {
                    double s[8] = {0.0};
                    for (;;) {
                        const std::int64_t b = counter.fetch_add(block);
                        if (b >= n) break;
                        const std::int64_t e = std::min(b + block, n);
                        for (std::int64_t i = b; i < e; i += 8)
                            for (int j = 0; j < 8; ++j) s[j] += a[static_cast<std::size_t>(i + j)];
                    }
                    sink[k] += s[0] + s[1] + s[2] + s[3] + s[4] + s[5] + s[6] + s[7];
                };
                const auto t0 = std::chrono::steady_clock::now();
                std::vector<std::thread> threads;
                for (int k = 1; k < t; ++k) threads.emplace_back(work, k);
                work(0);
                for (auto& th : threads) th.join();
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            }
            std::printf("blocks of %9lld doubles, %d thread(s): %5.1f GB/s\n", static_cast<long long>(block), t,
                        static_cast<double>(n) * 8 / best / 1e9);
        }
    }
    return sink[0] + sink[1] > 0 ? 0 : 1;
}
