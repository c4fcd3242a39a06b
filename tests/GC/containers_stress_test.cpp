// Lists, dictionaries and delegate arrays mutated by several threads while
// another thread runs collections of every generation. Each mutator keeps a
// plain model of its containers and checks every element on every step.
// Runs for NORVANE_STRESS_SECONDS (default 3).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "collections/GcDictionary.h"
#include "collections/GcList.h"
#include "core/Delegates.h"
#include "gc_fixture.h"

using namespace gc_test;
using namespace System::Collections;

namespace {

using Handler = System::TDelegate<void(int)>;
using HandlerArray = gc_array<Handler>;
using TrackedList = TGcList<gc_ptr<Tracked>>;
using TrackedDict = TGcDictionary<unsigned long, gc_ptr<Tracked>>;

// Scribbles over its value when destroyed, so that an element freed while
// still reachable fails its check even where the memory stays readable.
struct Item : Tracked {
    using Tracked::Tracked;
    ~Item() { value = 0x7EADBEEF; }
};

// The target of the delegates: counts its calls, owns a Tracked payload.
class Sink : public System::TLockableObject {
public:
    explicit Sink(int id) : id_(id), payload(gcnew<Item>(id)) {}
    ~Sink() override { id_ = -1; }
    void Hit(int n) { hits += n; }
    int id_;
    long hits = 0;
    gc_ptr<Tracked> payload;
};

// A value and its member carry the same id: a freed or overwritten object
// shows as a mismatch.
gc_ptr<Tracked> make_item(int id) {
    gc_ptr<Tracked> t = gcnew<Item>(id);
    t->next = gcnew<Item>(~id);
    return t;
}
bool item_ok(const gc_ptr<Tracked>& t, int id) { return t && t->value == id && t->next && t->next->value == ~id; }

struct Shared {
    std::mutex lock;
    gc_ptr<TrackedList> list;
};

struct Mutator {
    std::mt19937 rng;
    int next_id;
    std::string error;
    long steps = 0;

    gc_ptr<TrackedList> list = gcnew<TrackedList>();
    std::vector<int> list_model;
    gc_ptr<TrackedDict> dict = gcnew<TrackedDict>();
    std::unordered_map<unsigned long, int> dict_model;
    gc_ptr<TGcList<HandlerArray>> handlers = gcnew<TGcList<HandlerArray>>();
    std::vector<long> handler_hits; // expected hits of each handler's sink

    explicit Mutator(int m) : rng(static_cast<unsigned>(m) * 7919u + 1), next_id(m << 24) {}

    void fail(const std::string& what) {
        if (error.empty()) error = what + " at step " + std::to_string(steps);
    }

    int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

    void mutate_list() {
        const int n = list->GetCount();
        switch (rng() % 8) {
        case 0: case 1: {
            const int id = next_id++;
            list->Add(make_item(id));
            list_model.push_back(id);
            break;
        }
        case 2: {
            const int at = pick(n + 1);
            const int id = next_id++;
            list->Insert(at, make_item(id));
            list_model.insert(list_model.begin() + at, id);
            break;
        }
        case 3: case 4:
            if (n > 0) {
                const int at = pick(n);
                list->RemoveAt(at);
                list_model.erase(list_model.begin() + at);
            }
            break;
        case 5:
            if (n > 0) {
                const int at = pick(n), id = next_id++;
                list->SetItem(at, make_item(id));
                list_model[static_cast<std::size_t>(at)] = id;
            }
            break;
        case 6: // a burst across a growth, later one across a shrink
            if (n < 300) {
                for (int k = 0; k < 300; ++k) {
                    const int id = next_id++;
                    list->Add(make_item(id));
                    list_model.push_back(id);
                }
            } else {
                while (list->GetCount() > 20) {
                    list->RemoveAt(list->GetCount() - 1);
                    list_model.pop_back();
                }
            }
            break;
        default:
            if (rng() % 20 == 0) {
                list->Clear();
                list_model.clear();
            } else if (rng() % 4 == 0) {
                // A new list takes over: its construction runs under collections too.
                auto fresh = gcnew<TrackedList>();
                gc_for_each(list, [&](gc_ptr<Tracked>& t) { fresh->Add(t); });
                list = fresh;
            }
            break;
        }
    }

    void check_list() {
        if (list->GetCount() != static_cast<int>(list_model.size())) return fail("list count");
        for (int i = 0; i < list->GetCount(); ++i)
            if (!item_ok(list->ItemRef(i), list_model[static_cast<std::size_t>(i)])) return fail("list element");
    }

    void mutate_dict() {
        switch (rng() % 6) {
        case 0: case 1: {
            const int id = next_id++;
            const unsigned long key = static_cast<unsigned long>(rng()) | (static_cast<unsigned long>(rng() & 1) << 31);
            if (dict_model.count(key)) break;
            dict->Add(key, make_item(id));
            dict_model[key] = id;
            break;
        }
        case 2:
            if (!dict_model.empty()) {
                auto it = dict_model.begin();
                std::advance(it, pick(static_cast<int>(std::min<std::size_t>(dict_model.size(), 16))));
                if (!dict->Remove(it->first)) fail("dictionary remove");
                dict_model.erase(it);
            }
            break;
        case 3:
            if (!dict_model.empty()) {
                auto it = dict_model.begin();
                const int id = next_id++;
                dict->ItemRef(it->first) = make_item(id);
                it->second = id;
            }
            break;
        case 4: // across a rehash, or back to the first table
            if (dict_model.size() < 400) {
                for (int k = 0; k < 250; ++k) {
                    const unsigned long key = 0x100000000ul + static_cast<unsigned long>(next_id);
                    const int id = next_id++;
                    dict->Add(key, make_item(id));
                    dict_model[key] = id;
                }
            } else if (rng() % 2) {
                dict->Clear();
                dict_model.clear();
            } else {
                auto fresh = gcnew<TrackedDict>();
                gc_for_each(dict, [&](gc_ptr<TKeyValuePair<unsigned long, gc_ptr<Tracked>>>& pair) {
                    fresh->Add(pair);
                });
                dict = fresh;
            }
            break;
        default: {
            // Enumeration sees every pair once, with its own value.
            std::size_t seen = 0;
            gc_for_each(dict, [&](gc_ptr<TKeyValuePair<unsigned long, gc_ptr<Tracked>>>& pair) {
                auto it = dict_model.find(pair->Key);
                if (it == dict_model.end() || !item_ok(pair->Value, it->second)) fail("dictionary enumeration");
                ++seen;
            });
            if (seen != dict_model.size()) fail("dictionary enumeration count");
            break;
        }
        }
    }

    void check_dict() {
        if (dict->GetCount() != static_cast<int>(dict_model.size())) return fail("dictionary count");
        for (const auto& [key, id] : dict_model) {
            gc_ptr<Tracked> v;
            if (!dict->TryGetValue(key, v) || !item_ok(v, id)) return fail("dictionary value");
        }
    }

    void mutate_handlers() {
        const int n = handlers->GetCount();
        if (n < 40 && rng() % 2) {
            gc_ptr<Sink> sink = gcnew<Sink>(next_id++);
            handlers->Add(System::MulticastDelegate<void(int)>::Create<&Sink::Hit>(sink).Items());
            handler_hits.push_back(0);
        } else if (n > 0) {
            const int at = pick(n);
            if (rng() % 3 == 0) {
                handlers->RemoveAt(at);
                handler_hits.erase(handler_hits.begin() + at);
            } else {
                // Call through an enumerable view of the delegate array.
                gc_ptr<TIEnumerable<Handler>> view = gcnew<gc_detail::TStaticArray<Handler>>(handlers->ItemRef(at));
                gc_for_each(view, [](Handler& h) { h(2); });
                handler_hits[static_cast<std::size_t>(at)] += 2;
            }
        }
    }

    void check_handlers() {
        if (handlers->GetCount() != static_cast<int>(handler_hits.size())) return fail("handler count");
        for (int i = 0; i < handlers->GetCount(); ++i) {
            const HandlerArray& a = handlers->ItemRef(i);
            if (!a || a.Length() != 1) return fail("handler array");
            auto* sink = static_cast<Sink*>(a[0].closure.self);
            if (a[0].object.target != sink || sink->hits != handler_hits[static_cast<std::size_t>(i)] ||
                !sink->payload || sink->payload->value != sink->id_)
                return fail("handler target");
        }
    }

    void touch_shared(Shared& shared) {
        std::lock_guard<std::mutex> g(shared.lock);
        TrackedList& l = *shared.list;
        if (l.GetCount() < 200 && rng() % 2) {
            const int id = next_id++;
            l.Add(make_item(id)); // this thread's young object in another thread's list
        } else if (l.GetCount() > 0) {
            l.RemoveAt(pick(l.GetCount()));
        }
        for (int i = 0; i < l.GetCount(); ++i) {
            const gc_ptr<Tracked>& t = l.ItemRef(i);
            if (!t || !t->next || t->next->value != ~t->value) return fail("shared list element");
        }
    }

    void step(Shared& shared) {
        mutate_list();
        mutate_dict();
        mutate_handlers();
        if (steps % 4 == 0) touch_shared(shared);
        check_list();
        check_dict();
        check_handlers();
        ++steps;
    }
};

// Containers and delegate targets whose members are made by their own
// constructors, built at a high rate so that collections land inside
// constructions; each is checked while a window of recent ones lives.
struct Built : System::TLockableObject {
    int id = 0;
    gc_ptr<TrackedList> list;
    gc_ptr<TrackedDict> dict;
    HandlerArray handler;
};

struct Builder {
    std::string error;
    long steps = 0;
    int next_id;
    gc_ptr<TGcList<gc_ptr<Built>>> window = gcnew<TGcList<gc_ptr<Built>>>();

    explicit Builder(int m) : next_id(m << 24) {}

    void step() {
        gc_ptr<Built> b = gcnew<Built>();
        b->id = next_id++;
        b->list = gcnew<TrackedList>();
        b->list->Add(make_item(b->id));
        b->dict = gcnew<TrackedDict>();
        b->dict->Add(static_cast<unsigned long>(b->id), make_item(b->id));
        b->handler = System::MulticastDelegate<void(int)>::Create<&Sink::Hit>(gcnew<Sink>(b->id)).Items();
        window->Add(b);
        if (window->GetCount() > 64) window->RemoveAt(0);
        for (int i = 0; i < window->GetCount(); ++i) {
            const Built& w = *window->ItemRef(i);
            gc_ptr<Tracked> v;
            auto* sink = static_cast<Sink*>(w.handler[0].closure.self);
            if (w.list->GetCount() != 1 || !item_ok(w.list->ItemRef(0), w.id) ||
                !w.dict->TryGetValue(static_cast<unsigned long>(w.id), v) || !item_ok(v, w.id) || sink->id_ != w.id ||
                !sink->payload || sink->payload->value != w.id) {
                error = "built object " + std::to_string(w.id) + " damaged at step " + std::to_string(steps);
                return;
            }
        }
        ++steps;
    }
};

TEST(ContainerStress, ContainersAgainstContinuousCollections) {
    settle();
    const int live_before = Tracked::alive.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(stress_seconds());
    std::atomic<bool> done{false};
    std::atomic<long> collections{0};
    auto* shared = new Shared;
    shared->list = gcnew<TrackedList>();

    std::thread collector([&] {
        std::mt19937 rng(11);
        while (!done.load()) {
            if (gc_detail::collect(1 + static_cast<int>(rng() % 3)) != gc_detail::collect_busy)
                collections.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 1000));
        }
    });

    constexpr int kMutators = 3;
    std::vector<std::string> errors(kMutators);
    std::vector<long> steps(kMutators);
    std::vector<std::thread> ts;
    for (int m = 0; m < kMutators; ++m)
        ts.emplace_back([&, m] {
            try {
                Mutator mu(m + 1);
                while (std::chrono::steady_clock::now() < deadline && mu.error.empty()) mu.step(*shared);
                errors[m] = mu.error;
                steps[m] = mu.steps;
            } catch (const std::exception& e) {
                errors[m] = std::string("exception: ") + e.what();
            }
        });
    std::string builder_error;
    long builder_steps = 0;
    ts.emplace_back([&] {
        try {
            Builder b(kMutators + 1);
            while (std::chrono::steady_clock::now() < deadline && b.error.empty()) b.step();
            builder_error = b.error;
            builder_steps = b.steps;
        } catch (const std::exception& e) {
            builder_error = std::string("exception: ") + e.what();
        }
    });
    for (auto& t : ts) t.join();
    done = true;
    collector.join();

    long total = 0;
    for (int m = 0; m < kMutators; ++m) {
        EXPECT_EQ(errors[m], "") << "mutator " << m;
        EXPECT_GT(steps[m], 0) << "mutator " << m;
        total += steps[m];
    }
    EXPECT_EQ(builder_error, "");
    EXPECT_GT(builder_steps, 0);
    EXPECT_GT(collections.load(), 10);
    std::printf("container stress: %ld collections, %ld mutator steps, %ld constructions\n", collections.load(), total,
                builder_steps);
    delete shared;
    settle();
    EXPECT_EQ(Tracked::alive.load(), live_before) << "objects leaked";
}

} // namespace
