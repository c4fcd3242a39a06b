// The collector's acid test: mutators build, rewire (young objects into old
// ones) and drop graphs while collections of every generation run, and
// every reachable object is checked on every step. Runs for
// NORVANE_STRESS_SECONDS (default 3).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "GC/GarbageCollector.h"
#include "GC/arena.h"
#include "GC/collector.h"
#include "gc_fixture.h"

namespace {

std::uint64_t seal(std::uint64_t id) { return id * 0x9E3779B97F4A7C15ull ^ 0xC0FFEE; }

struct SNode {
    static std::atomic<long> live;
    std::uint64_t id;
    std::uint64_t check;
    std::uint64_t visit = 0;
    gc_ptr<SNode> left, right, extra;
    explicit SNode(std::uint64_t i) : id(i), check(seal(i)) { live.fetch_add(1); }
    // Members made and set while the object is still being built: until it
    // registers nothing else holds them.
    struct with_children {};
    SNode(std::uint64_t i, with_children) : id(i), check(seal(i)), left(gcnew<SNode>(i + 1)) {
        live.fetch_add(1);
        right = gcnew<SNode>(i + 2);
        right->left = gcnew<SNode>(i + 3);
    }
    ~SNode() {
        check = 0xDEAD;
        live.fetch_sub(1);
    }
};
std::atomic<long> SNode::live{0};

struct Mutator {
    std::mt19937_64 rng;
    std::uint64_t next_id;
    std::uint64_t stamp = 0;
    std::vector<gc_ptr<SNode>> roots; // native heap: registered roots
    std::uint64_t steps = 0;
    long errors = 0;

    explicit Mutator(unsigned seed) : rng(seed), next_id(std::uint64_t{seed} << 40), roots(16) {}

    gc_ptr<SNode> build(int depth) {
        if (depth > 0 && (rng() & 1)) {
            const std::uint64_t id = next_id;
            next_id += 4;
            return gcnew<SNode>(id, SNode::with_children{});
        }
        gc_ptr<SNode> n = gcnew<SNode>(next_id++);
        if (depth > 0) {
            n->left = build(depth - 1);
            if (rng() & 1) n->right = build(depth - 1);
        }
        return n;
    }

    // Walks what one root reaches, checking every node once.
    long verify(const gc_ptr<SNode>& root, std::vector<SNode*>& stack) {
        long count = 0;
        ++stamp;
        stack.clear();
        if (root) stack.push_back(root.get());
        while (!stack.empty()) {
            SNode* n = stack.back();
            stack.pop_back();
            if (n->check != seal(n->id)) {
                ++errors;
                return count;
            }
            if (n->visit == stamp) continue;
            n->visit = stamp;
            ++count;
            for (SNode* c : {n->left.get(), n->right.get(), n->extra.get()})
                if (c) stack.push_back(c);
        }
        return count;
    }

    gc_ptr<SNode> pick(const gc_ptr<SNode>& root) {
        gc_ptr<SNode> cur = root;
        for (int i = 0; cur && i < 8; ++i) {
            gc_ptr<SNode> nx = (rng() & 1) ? cur->left : cur->right;
            if (!nx) break;
            cur = nx;
        }
        return cur;
    }

    void step(std::vector<SNode*>& scratch) {
        const std::size_t i = rng() % roots.size();
        switch (rng() % 6) {
        case 0: roots[i] = build(static_cast<int>(rng() % 7)); break;          // replace: drops the old graph
        case 1: case 2: {                                                     // young into old
            gc_ptr<SNode> target = pick(roots[i]);
            if (target) target->extra = build(static_cast<int>(rng() % 3));
            break;
        }
        case 3: {                                                             // share across graphs
            gc_ptr<SNode> a = pick(roots[i]);
            gc_ptr<SNode> b = pick(roots[rng() % roots.size()]);
            if (a && b) a->right = b;
            break;
        }
        case 4: {                                                             // cut a branch
            gc_ptr<SNode> t = pick(roots[i]);
            if (t) t->left = nullptr;
            break;
        }
        default: {                                                            // a burst of stores
            gc_ptr<SNode> t = pick(roots[i]);
            for (int k = 0; t && k < 50; ++k) t->extra = gcnew<SNode>(next_id++);
            break;
        }
        }
        for (auto& r : roots) {
            long n = verify(r, scratch);
            if (n > 20000) r = nullptr; // keep graphs bounded
        }
        ++steps;
    }
};

TEST(CollectorStress, MutatorsAgainstContinuousCollections) {
    gc_test::settle();
    const std::uint64_t baseline = gc_detail::TGarbageCollector::GetAllocatedBytes();
    const long live_before = SNode::live.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(gc_test::stress_seconds());
    std::atomic<bool> done{false};
    std::atomic<long> collections{0};

    std::thread collector([&] {
        std::mt19937 rng(7);
        while (!done.load()) {
            const int g = 1 + static_cast<int>(rng() % 10 < 6 ? 0 : rng() % 3);
            if (gc_detail::collect(g) != gc_detail::collect_busy) collections.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
        }
    });

    constexpr int kMutators = 4;
    std::vector<long> errors(kMutators), steps(kMutators);
    std::vector<std::thread> ts;
    for (int m = 0; m < kMutators; ++m)
        ts.emplace_back([&, m] {
            Mutator mu(static_cast<unsigned>(m + 1));
            std::vector<SNode*> scratch;
            while (std::chrono::steady_clock::now() < deadline && mu.errors == 0) mu.step(scratch);
            errors[m] = mu.errors;
            steps[m] = static_cast<long>(mu.steps);
        });
    for (auto& t : ts) t.join();
    done = true;
    collector.join();

    for (int m = 0; m < kMutators; ++m) {
        EXPECT_EQ(errors[m], 0) << "mutator " << m << " saw a corrupted object";
        EXPECT_GT(steps[m], 0);
    }
    EXPECT_GT(collections.load(), 10);
    long total_steps = 0;
    for (long s : steps) total_steps += s;
    std::printf("stress: %ld collections, %ld mutator steps, %ld objects live at the end\n", collections.load(),
                total_steps, SNode::live.load() - live_before);
    gc_test::settle();
    EXPECT_EQ(SNode::live.load(), live_before) << "objects leaked";
    EXPECT_EQ(gc_detail::TGarbageCollector::GetAllocatedBytes(), baseline);
}

} // namespace
