// The exit path: a process that used both global pools ends them quickly,
// with no pool or port thread left, and exits normally. The child half runs
// in a process of its own, started by the parent half.
#include <gtest/gtest.h>

#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "RozavUde/ThreadPoolGlobals.h"
#include "platform/completion_port.h"
#include "tests/RozavUde/pool_fixture.h"

extern char** environ;

namespace {

using namespace pool_test;
using testing_support::wait_until;

constexpr const char* kChildVariable = "NORVANE_THREADPOOL_EXIT_CHILD";

// Names of this process's threads.
std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(f, name);
            names.push_back(name);
        }
        closedir(d);
    }
    return names;
}
int count_named(const char* name) {
    int n = 0;
    for (const auto& t : thread_names()) n += t == name;
    return n;
}

class TCounter : public TLockableObject {
public:
    std::atomic<int> runs{0};
    void Run() {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        runs.fetch_add(1);
    }
    void OnPacket(const gc_ptr<IO::TIocpCallback>, gc_ptr<TAsyncResult>) { runs.fetch_add(1); }
};

TEST(ThreadPoolExitChild, TerminateThreadPoolsEndsEveryPoolThread) {
    if (!std::getenv(kChildVariable)) GTEST_SKIP() << "runs only as the child of ThreadPoolExit";
    gc_ptr<TCounter> counter = gcnew<TCounter>();
    for (int i = 0; i < 20; ++i) Global::g_ThreadPool->QueueUserWorkItem(work<&TCounter::Run>(counter.get()));
    gc_ptr<TIocpThreadPool> ports = Global::g_Iocp->GetThreadPool();
    ports->AddNewThread();
    gc_ptr<IO::TIocpCallback> op = gcnew<IO::TIocpCallback>(
        MulticastDelegate<IO::TInternalIocpCompletionEvent>::Create<&TCounter::OnPacket>(counter),
        gcnew<IO::TAsyncIoResult>(gc_ptr<TObject>(), gc_ptr<TObject>()));
    ASSERT_TRUE(platform::PostQueuedCompletionStatus(Global::g_Iocp->GetCompletionPortHandle(), 1, 0,
                                                     op->GetOverlapped()));
    ASSERT_TRUE(wait_until([] { return count_named("norvane-iocp") == 2; })) << "the port threads never ran";
    ASSERT_GE(count_named("norvane-pool"), 1);

    const auto t0 = std::chrono::steady_clock::now();
    Internal::TerminateThreadPools();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(counter->runs.load(), 21) << "queued work or the packet was lost";
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(count_named("norvane-pool"), 0);
    EXPECT_EQ(count_named("norvane-iocp"), 0);
    EXPECT_TRUE(gc_disposable<TThreadPool>::is_disposed(Global::g_ThreadPool.get()));
    EXPECT_TRUE(gc_disposable<IO::TIocp>::is_disposed(Global::g_Iocp.get()));
    Internal::TerminateThreadPools(); // a second run finds nothing to do
}

TEST(ThreadPoolExit, AProcessThatUsedThePoolsExitsCleanly) {
    if (std::getenv(kChildVariable)) GTEST_SKIP();
    std::string self(4096, '\0');
    self.resize(static_cast<std::size_t>(readlink("/proc/self/exe", self.data(), self.size())));
    std::string filter = "--gtest_filter=ThreadPoolExitChild.*";
    char* argv[] = {self.data(), filter.data(), nullptr};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kChildVariable) + "=1");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the child did not exit";
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
