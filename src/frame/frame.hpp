// Shared by the three modules: array aliases, small argument helpers and the per-call
// fork-join worker pool.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace frame {

namespace py = pybind11;

// Inputs: converted to C-contiguous arrays of the element type, casting where needed, and
// copied when their data are not aligned for that type (a buffer or memory map read at an
// odd offset): the kernels read through typed pointers. Aligned C-contiguous arrays of the
// element type are used as they are.
constexpr int array_flags =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
using f64_array = py::array_t<double, array_flags>;
using f32_array = py::array_t<float, array_flags>;
using u64_array = py::array_t<std::uint64_t, array_flags>;

// Present means finite: NaN fails the comparison, infinities exceed the largest double.
inline bool finite(double x) { return std::fabs(x) <= DBL_MAX; }
inline bool finite(float x) { return std::fabs(x) <= FLT_MAX; }

// Sine and cosine of one angle: one call where the C library has the GNU extension, two
// calls elsewhere (glibc gives the same values either way).
inline void sin_cos(double x, double* s, double* c) {
#if defined(__GLIBC__) && defined(_GNU_SOURCE) && !defined(TARNWELL_PORTABLE_MATH)
    ::sincos(x, s, c);
#else
    *s = std::sin(x);
    *c = std::cos(x);
#endif
}

// Thread count for a call: n_threads when positive, else the hardware concurrency (1 if unknown).
inline std::int64_t thread_count(int n_threads) {
    if (n_threads > 0) return n_threads;
    const unsigned hc = std::thread::hardware_concurrency();
    return hc == 0 ? 1 : static_cast<std::int64_t>(hc);
}

// The first exception thrown by a body on any thread. Once one is kept, workers stop
// claiming work; the calling thread rethrows it after every started thread is joined.
struct failure {
    std::atomic<bool> failed{false};
    std::exception_ptr first;

    void keep(std::exception_ptr e) noexcept {
        if (!failed.exchange(true)) first = std::move(e);
    }
    bool stopped() const noexcept { return failed.load(std::memory_order_relaxed); }
    void rethrow() const {
        if (first) std::rethrow_exception(first);
    }
};

// Claims blocks [start, min(start + block, n)) from the shared counter until none are left.
template <class Claim>
void work_loop(std::atomic<std::int64_t>& counter, std::int64_t n, std::int64_t block, const Claim& claim,
               failure& fail) noexcept {
    try {
        while (!fail.stopped()) {
            const std::int64_t start = counter.fetch_add(block);
            if (start >= n) return;
            claim(start, std::min(start + block, n));
        }
    } catch (...) {
        fail.keep(std::current_exception());
    }
}

// Starts up to `wanted` threads running `loop`. A thread that cannot be started (or no
// memory for the list) ends the starting; the call completes with the threads that did.
template <class Loop>
void start_threads(std::vector<std::thread>& threads, std::int64_t wanted, const Loop& loop) noexcept {
    try {
        threads.reserve(static_cast<std::size_t>(wanted));
        for (std::int64_t t = 0; t < wanted; ++t) threads.emplace_back(loop);
    } catch (...) {
    }
}

inline void join_all(std::vector<std::thread>& threads) noexcept {
    for (auto& t : threads) t.join();
    threads.clear();
}

// Blocks of `block` items; claim(start, end) runs on the calling thread and on T - 1 others.
template <class Claim>
void run_blocks(std::int64_t n, std::int64_t block, int n_threads, const Claim& claim) {
    if (n <= 0) return;
    std::int64_t t = thread_count(n_threads);
    const std::int64_t nb = (n + block - 1) / block;
    if (nb < t) t = nb;  // never more threads than blocks; one block stays on this thread

    std::atomic<std::int64_t> counter{0};
    failure fail;
    if (t <= 1) {
        work_loop(counter, n, block, claim, fail);
    } else {
        std::vector<std::thread> threads;
        const auto loop = [&] { work_loop(counter, n, block, claim, fail); };
        start_threads(threads, t - 1, loop);
        loop();
        join_all(threads);
    }
    fail.rethrow();
}

// Item form: body(i) for every item of each claimed block, in increasing i.
template <class Body>
void parallel_blocks(std::int64_t n, std::int64_t block, int n_threads, const Body& body) {
    run_blocks(n, block, n_threads, [&](std::int64_t start, std::int64_t end) {
        for (std::int64_t i = start; i < end; ++i) body(i);
    });
}

// Range form: body(begin, end) once per claimed block of 256 items.
template <class Body>
void parallel_blocks(std::int64_t n, int n_threads, const Body& body) {
    run_blocks(n, 256, n_threads, body);
}

// One item per claim on T started threads; the calling thread only waits (it runs the
// items itself when no thread could be started).
template <class Body>
void parallel_for(std::int64_t n, int n_threads, const Body& body) {
    std::int64_t t = thread_count(n_threads);
    if (n < t) t = n > 1 ? n : 1;
    if (t <= 1) {
        for (std::int64_t i = 0; i < n; ++i) body(i);
        return;
    }
    std::atomic<std::int64_t> counter{0};
    failure fail;
    const auto claim = [&](std::int64_t i, std::int64_t) { body(i); };
    const auto loop = [&] { work_loop(counter, n, 1, claim, fail); };
    std::vector<std::thread> threads;
    start_threads(threads, t, loop);
    if (threads.empty()) loop();
    join_all(threads);
    fail.rethrow();
}

}  // namespace frame
