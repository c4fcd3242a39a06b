// Prints the time since the moment in NORVANE_SPAWN_NS (CLOCK_MONOTONIC
// nanoseconds, set by whoever started it) and the resident memory, both at
// the first line of main. Built twice: linked with nothing and linked with
// the library and its program start-up.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long now = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    const char* spawn = std::getenv("NORVANE_SPAWN_NS");
    long rss_kb = -1;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmRSS:", 6) == 0) rss_kb = std::strtol(line + 6, nullptr, 10);
        std::fclose(f);
    }
    std::printf("%lld %ld\n", spawn ? now - std::atoll(spawn) : -1LL, rss_kb);
    return 0;
}
