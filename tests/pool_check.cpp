// Exercises the worker pool directly; prints one line per failed check and exits non-zero on any.
// Run by test_frame.py.
#include "frame/frame.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

namespace {

int failures = 0;
// Threads of the process outside the pool: 1, or 2 under ThreadSanitizer, which keeps a
// background thread of its own.
std::size_t base_tasks = 1;

// Long enough that every started thread gets to claim a block.
void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

std::size_t tasks() {
    std::size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.exists();
    return n;
}

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAIL %s\n", what.c_str());
        ++failures;
    }
}

// Which thread ran each item, and the order items ran in on each thread.
struct record {
    std::mutex m;
    std::vector<std::thread::id> owner;
    std::map<std::thread::id, std::vector<std::int64_t>> order;
    explicit record(std::int64_t n) : owner(static_cast<std::size_t>(n)) {}
    void add(std::int64_t i) {
        std::lock_guard<std::mutex> lock(m);
        owner[static_cast<std::size_t>(i)] = std::this_thread::get_id();
        order[std::this_thread::get_id()].push_back(i);
    }
    std::size_t threads() const { return order.size(); }
};

void item_form() {
    const auto me = std::this_thread::get_id();
    {  // n = 100, block 64, 8 threads: two blocks, so one started thread and the caller
        record r(100);
        std::atomic<int> calls{0};
        std::atomic<std::size_t> most_tasks{0};
        frame::parallel_blocks(100, 64, 8, [&](std::int64_t i) {
            ++calls;
            r.add(i);
            if (i % 64 == 0) {
                pause();
                most_tasks = std::max(most_tasks.load(), tasks());
            }
        });
        check(calls == 100, "item form: every item once");
        check(most_tasks == base_tasks + 1,
              "item form: the thread count is lowered to the block count, tasks " +
                  std::to_string(most_tasks) + " of " + std::to_string(base_tasks));
        check(r.threads() == 2 && r.order.count(me) == 1, "item form: two blocks on two threads");
        bool blocks_whole = true;
        for (std::int64_t i = 0; i < 100; ++i)
            blocks_whole &= r.owner[static_cast<std::size_t>(i)] == r.owner[i < 64 ? 0 : 64];
        check(blocks_whole && r.owner[0] != r.owner[64], "item form: blocks 0..63 and 64..99");
        for (auto& [id, items] : r.order) {
            std::vector<std::int64_t> sorted = items;
            std::sort(sorted.begin(), sorted.end());
            check(items == sorted, "item form: increasing items within a block");
        }
    }
    {  // a single block never starts a thread
        record r(64);
        frame::parallel_blocks(64, 64, 8, [&](std::int64_t i) { r.add(i); });
        check(r.threads() == 1 && r.order.count(me) == 1, "item form: one block on the calling thread");
    }
    {
        int calls = 0;
        frame::parallel_blocks(0, 64, 8, [&](std::int64_t) { ++calls; });
        frame::parallel_blocks(-5, 64, 8, [&](std::int64_t) { ++calls; });
        check(calls == 0, "item form: n <= 0 calls nothing");
    }
    {  // many blocks, odd thread counts: every item exactly once
        for (int t : {1, 2, 3, 7, 0, -1}) {
            std::vector<std::atomic<int>> hits(10007);
            frame::parallel_blocks(10007, 8, t, [&](std::int64_t i) { ++hits[static_cast<std::size_t>(i)]; });
            bool once = true;
            for (auto& h : hits) once &= h == 1;
            check(once, "item form: every item once with n_threads " + std::to_string(t));
        }
    }
}

void range_form() {
    const auto me = std::this_thread::get_id();
    std::mutex m;
    std::set<std::pair<std::int64_t, std::int64_t>> ranges;
    frame::parallel_blocks(300, 8, [&](std::int64_t b, std::int64_t e) {
        std::lock_guard<std::mutex> lock(m);
        ranges.insert({b, e});
    });
    check(ranges == std::set<std::pair<std::int64_t, std::int64_t>>{{0, 256}, {256, 300}},
          "range form: n = 300");
    std::thread::id who;
    int calls = 0;
    frame::parallel_blocks(256, 8, [&](std::int64_t b, std::int64_t e) {
        ++calls;
        who = std::this_thread::get_id();
        check(b == 0 && e == 256, "range form: n = 256 is one block");
    });
    check(calls == 1 && who == me, "range form: one block on the calling thread");
}

void for_form() {
    const auto me = std::this_thread::get_id();
    {
        record r(3);
        std::atomic<std::size_t> most_tasks{0};
        frame::parallel_for(3, 8, [&](std::int64_t i) {
            r.add(i);
            pause();
            most_tasks = std::max(most_tasks.load(), tasks());
        });
        check(most_tasks == base_tasks + 3, "parallel_for: one started thread per item, tasks " +
                                                std::to_string(most_tasks) + " of " +
                                                std::to_string(base_tasks));
        bool elsewhere = r.order.count(me) == 0;
        std::size_t items = 0;
        for (auto& [id, v] : r.order) items += v.size();
        check(elsewhere && items == 3, "parallel_for: three items on started threads only");
    }
    {
        record r(1);
        frame::parallel_for(1, 8, [&](std::int64_t i) { r.add(i); });
        check(r.order.count(me) == 1, "parallel_for: a single item on the calling thread");
    }
    {
        std::vector<std::int64_t> seen;
        frame::parallel_for(5, 1, [&](std::int64_t i) { seen.push_back(i); });
        check(seen == std::vector<std::int64_t>{0, 1, 2, 3, 4}, "parallel_for: one thread runs in order");
    }
}

// The first exception of any thread reaches the caller after every thread is joined.
void exceptions() {
    for (int t : {1, 2, 4}) {
        std::atomic<std::int64_t> done{0};
        bool caught = false;
        try {
            frame::parallel_blocks(100000, 8, t, [&](std::int64_t i) {
                if (i == 5000) throw std::bad_alloc();
                ++done;
            });
        } catch (const std::bad_alloc&) {
            caught = true;
        }
        check(caught, "item form: bad_alloc carried back, n_threads " + std::to_string(t));
        check(done < 100000, "item form: claiming stops after a failure");
    }
    bool caught = false;
    try {
        frame::parallel_blocks(1000, 4, [&](std::int64_t b, std::int64_t) {
            if (b == 512) throw std::runtime_error("block");
        });
    } catch (const std::runtime_error& e) {
        caught = std::string(e.what()) == "block";
    }
    check(caught, "range form: exception carried back");
    caught = false;
    try {
        frame::parallel_for(10, 4, [&](std::int64_t i) {
            if (i % 3 == 1) throw std::invalid_argument("ray");
        });
    } catch (const std::invalid_argument&) {
        caught = true;
    }
    check(caught, "parallel_for: exception carried back");
}

// With the process limit lowered, threads cannot start: the call completes without them.
void without_threads(rlim_t extra) {
    const auto me = std::this_thread::get_id();
    record r(64);
    frame::parallel_blocks(64, 8, 4, [&](std::int64_t i) {
        r.add(i);
        if (i % 8 == 0) pause();
    });
    bool all = true;
    for (auto& o : r.owner) all &= o != std::thread::id();
    check(all, "item form completes when threads cannot start");
    check(r.threads() == 1 + extra && r.order.count(me) == 1,
          "item form: the threads that started, and the caller");
    record f(7);
    frame::parallel_for(7, 4, [&](std::int64_t i) {
        f.add(i);
        pause();
    });
    all = true;
    for (auto& o : f.owner) all &= o != std::thread::id();
    check(all, "parallel_for completes when threads cannot start");
    if (extra == 0) check(f.order.count(me) == 1, "parallel_for: the caller runs the items itself");
}

int in_child(rlim_t extra) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        failures = 0;
        const rlim_t own = tasks();  // the process's own threads count against the limit too
        // Threads count against the per-user process limit, which binds once root is dropped. The
        // user is one of this run's own: processes of a shared one (nobody) elsewhere on the machine,
        // another run of this check among them, would count against the limit too.
        const uid_t uid = 0x7f000000u + static_cast<uid_t>(getpid() & 0xffff);
        if (setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
        rlimit lim{own + extra, own + extra};
        if (setrlimit(RLIMIT_NPROC, &lim) != 0) _exit(3);
        without_threads(extra);
        std::fflush(stdout);
        _exit(failures == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

}  // namespace

int main() {
    std::thread([] {}).join();  // ThreadSanitizer starts its thread with the first one started
    base_tasks = tasks();
    item_form();
    range_form();
    for_form();
    exceptions();
    if (geteuid() == 0) {
        for (rlim_t extra : {rlim_t{0}, rlim_t{1}}) {
            const int rc = in_child(extra);
            check(rc == 0, "thread start failure with " + std::to_string(extra) + " extra thread(s), code " +
                               std::to_string(rc));
        }
    } else {
        std::printf("SKIP thread start failure: needs root to drop privileges\n");
    }
    return failures == 0 ? 0 : 1;
}
