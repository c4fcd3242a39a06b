// The library's start-up cost: time from process start to the first line of
// main, and resident memory there, for a program linked with the library
// (and its program start-up: collector, workers, helper and collector
// threads, thread pool) against the same program linked with nothing.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// One start of the program; false when it could not run.
bool start_once(const std::string& exe, long long& ns, long& rss_kb) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::string stamp = "NORVANE_SPAWN_NS=" + std::to_string(now_ns());
    std::vector<char*> env{stamp.data()};
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back(nullptr);
    std::string path = exe;
    char* argv[] = {path.data(), nullptr};
    pid_t pid;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return false;
    }
    char buf[128] = {};
    ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return n > 0 && std::sscanf(buf, "%lld %ld", &ns, &rss_kb) == 2 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_StartToMain(benchmark::State& s, const char* program) {
    const std::string exe = std::string(NORVANE_BENCH_BIN_DIR) + "/" + program;
    double total_ns = 0, rss = 0;
    long count = 0;
    for (auto _ : s) {
        long long ns;
        long kb;
        if (!start_once(exe, ns, kb)) {
            s.SkipWithError(("cannot run " + exe).c_str());
            return;
        }
        total_ns += static_cast<double>(ns);
        rss += static_cast<double>(kb);
        ++count;
    }
    s.counters["to_main_ms"] = total_ns / static_cast<double>(count) / 1e6;
    s.counters["rss_at_main_MB"] = rss / static_cast<double>(count) / 1024.0;
}
BENCHMARK_CAPTURE(BM_StartToMain, plain, "start_to_main_plain")->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK_CAPTURE(BM_StartToMain, library, "start_to_main_library")->Unit(benchmark::kMillisecond)->Iterations(50);

} // namespace

BENCHMARK_MAIN();
