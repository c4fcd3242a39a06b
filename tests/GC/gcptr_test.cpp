#include "GC/gcptr.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "GC/gcarray.h"
#include "GC/thread_table.h"
#include "gc_fixture.h"
#include "tests/support.h"

using namespace gc_test;
namespace L = gc_detail::layout;


namespace {

struct Node {
    gc_ptr<Tracked> a;
    gc_ptr<Tracked> b;
    gc_ptr<Tracked>* outside; // built by the constructor, lives on the native heap
    Node() : outside(new gc_ptr<Tracked>()) {}
    ~Node() { delete outside; }
};

TEST(ManagedPointers, SixtyFourBitLayout) {
    EXPECT_EQ(sizeof(gc_detail::pointer_base), 16u);
    EXPECT_EQ(sizeof(gc_ptr<Tracked>), 16u);
    EXPECT_EQ(sizeof(gc_detail::object_header), 16u);
    EXPECT_EQ(L::check_byte_back, 5u);
    EXPECT_LT(L::stack_marker, 0); // never a root index
    EXPECT_EQ(static_cast<std::uint32_t>(L::stack_marker), 0xDA55AD37u);
}

TEST(ManagedPointers, StackPointerNeverEntersRootArray) {
    const std::size_t before = root_count();
    {
        gc_ptr<Tracked> p = gcnew<Tracked>(1);
        gc_ptr<Tracked> q = p;
        EXPECT_EQ(p.slot, L::stack_marker);
        EXPECT_EQ(q.slot, L::stack_marker);
        EXPECT_EQ(root_count(), before);
    }
    EXPECT_EQ(root_count(), before);
}

TEST(ManagedPointers, HeapPointerIsRootUntilDeleted) {
    const std::size_t before = root_count();
    auto* heap = new gc_ptr<Tracked>(gcnew<Tracked>(2));
    EXPECT_GE(heap->slot, 0);
    EXPECT_EQ(L::root_record_of(heap->slot), gc_detail::current_record()->slot);
    EXPECT_EQ(root_count(), before + 1);
    EXPECT_EQ(gc_detail::current_record()->roots.items[L::root_index_of(heap->slot)], heap);
    delete heap;
    EXPECT_EQ(root_count(), before);
}

TEST(ManagedPointers, RemovingARootMovesTheLastIntoItsPlace) {
    const std::size_t before = root_count();
    auto* a = new gc_ptr<Tracked>();
    auto* b = new gc_ptr<Tracked>();
    auto* c = new gc_ptr<Tracked>();
    const auto slot_a = a->slot;
    delete a;
    EXPECT_EQ(c->slot, slot_a);
    EXPECT_EQ(gc_detail::current_record()->roots.items[L::root_index_of(slot_a)], c);
    delete b;
    delete c;
    EXPECT_EQ(root_count(), before);
}

TEST(ManagedPointers, MembersLeaveRootsOnRegistrationOutsidersStay) {
    const std::size_t before = root_count();
    gc_ptr<Node> n = gcnew<Node>();
    EXPECT_EQ(n->a.slot, L::slot_member);
    EXPECT_EQ(n->b.slot, L::slot_member);
    EXPECT_GE(n->outside->slot, 0); // outside the object's extent: still a root
    EXPECT_EQ(root_count(), before + 1);
    auto* h = gc_detail::object_header::of(n.get());
    ASSERT_EQ(gc_detail::member_count(h), 2);
    EXPECT_EQ(gc_detail::member_at(h, 0), &n->a);
    EXPECT_EQ(gc_detail::member_at(h, 1), &n->b);
    gc_ptr<Node> other = gcnew<Node>(); // same type: same descriptor
    auto* ho = gc_detail::object_header::of(other.get());
    EXPECT_EQ(ho->type(), h->type());
    EXPECT_EQ(gc_detail::member_at(ho, 1), &other->b);
    EXPECT_EQ(other->b.slot, L::slot_member);
    EXPECT_GE(other->outside->slot, 0);
}

TEST(ManagedPointers, NestedConstructionsKeepTheirOwnMembers) {
    struct Inner { gc_ptr<Tracked> t; };
    struct Outer {
        gc_ptr<Inner> inner = gcnew<Inner>();
        gc_ptr<Tracked> own;
    };
    const std::size_t before = root_count();
    gc_ptr<Outer> o = gcnew<Outer>();
    EXPECT_EQ(root_count(), before);
    EXPECT_EQ(gc_detail::member_count(gc_detail::object_header::of(o.get())), 2);
    EXPECT_EQ(gc_detail::member_count(gc_detail::object_header::of(o->inner.get())), 1);
}

TEST(ManagedPointers, ManyMembersSpillTheInlineList) {
    struct Wide { gc_ptr<Tracked> m[40]; };
    const std::size_t before = root_count();
    gc_ptr<Wide> w = gcnew<Wide>();
    EXPECT_EQ(gc_detail::member_count(gc_detail::object_header::of(w.get())), 40);
    EXPECT_EQ(root_count(), before);
}

TEST(ManagedPointers, RegistrationWritesTheHeader) {
    gc_ptr<Tracked> p = gcnew<Tracked>(7);
    auto* h = gc_detail::object_header::of(p.get());
    EXPECT_EQ(gc_detail::object_size(h), sizeof(Tracked));
    EXPECT_EQ(h->header_size, 16);
    EXPECT_EQ(h->check, gc_detail::check_byte_for(gc_detail::destroy_of(h), gc_detail::object_size(h)));
    EXPECT_TRUE(h->check & 0x80);
    EXPECT_EQ(h->finalized, 0);
    EXPECT_EQ(h->mark, gc_detail::new_mark());
    EXPECT_EQ(gc_detail::finalize_of(h), nullptr); // no Finalize member
    EXPECT_EQ(h->extension(), nullptr);             // nothing beyond the type needed
    EXPECT_TRUE(gc_detail::TGarbageCollector::IsObjectManaged(p.get()));
}

TEST(ManagedPointers, RecognitionNeedsTheRightCheckByteInEveryLayout) {
    gc_ptr<Tracked> plain = gcnew<Tracked>(1);
    gc_ptr<Tracked> extended = gcnew<Tracked>(2);
    gc_detail::ensure_extension(gc_detail::object_header::of(extended.get()));
    gc_array<gc_ptr<Tracked>> pointers = gcnew_array<gc_ptr<Tracked>>(3);
    gc_array<int> ints = gcnew_array<int>(5);
    gc_array<int> empty = gcnew_array<int>(0);
    const struct {
        const char* what;
        const void* object;
    } cases[] = {{"object", plain.get()},  {"object with an extension", extended.get()},
                 {"pointer array", pointers.data()}, {"plain array", ints.data()},
                 {"empty array", empty.data()}};
    // A collection must not see the spoilt headers: it takes every record's
    // lock before it stops anyone.
    gc_detail::spin_guard no_collection(gc_detail::current_record()->lock);
    for (const auto& c : cases) {
        auto* h = gc_detail::object_header::of(c.object);
        EXPECT_TRUE(gc_detail::is_registered(h)) << c.what;
        h->check ^= 0x01;
        EXPECT_FALSE(gc_detail::is_registered(h)) << c.what;
        EXPECT_FALSE(gc_detail::TGarbageCollector::IsObjectManaged(c.object)) << c.what;
        h->check ^= 0x01;
        h->header_size = 40;
        EXPECT_FALSE(gc_detail::is_registered(h)) << c.what;
        h->header_size = L::header_size;
        EXPECT_TRUE(gc_detail::TGarbageCollector::IsObjectManaged(c.object)) << c.what;
    }
}

TEST(ManagedPointers, AddedBytesAreCountedPerThread) {
    const auto slot = gc_detail::current_record()->slot;
    const auto before = gc_detail::slot_allocated_bytes[slot];
    gc_ptr<Tracked> p = gcnew<Tracked>();
    EXPECT_EQ(gc_detail::slot_allocated_bytes[slot] - before, static_cast<std::int64_t>(sizeof(Tracked) + L::accounted_overhead));
}

// A block-aligned large allocation, so the block boundary is where we want it.
void* block_aligned_allocation(std::size_t object_size) {
    const std::uintptr_t block = std::uintptr_t{1} << gc_detail::g_block_shift;
    std::vector<void*> spare;
    for (int i = 0; i < 64; ++i) {
        void* p = gc_detail::arena::allocate(object_size);
        if (((reinterpret_cast<std::uintptr_t>(p) - L::header_size - gc_detail::g_heap.base) & (block - 1)) == 0) {
            for (void* s : spare) gc_detail::arena::release(s);
            return p;
        }
        spare.push_back(p);
    }
    for (void* s : spare) gc_detail::arena::release(s);
    return nullptr;
}

bool in_list(const gc_detail::gen_list& l, const gc_detail::object_header* h) {
    for (std::uint32_t i = 0; i < l.count; ++i)
        if (l.items[i] == h) return true;
    return false;
}

TEST(ManagedPointers, OverflowListTakesObjectsEndingOnABlockBoundary) {
    if (gc_detail::embedded_mode()) GTEST_SKIP() << "2 GiB blocks";
    const std::size_t block = std::size_t{1} << gc_detail::g_block_shift;
    struct Case { std::size_t size; bool overflow; };
    for (Case c : {Case{block - L::header_size, true}, Case{block - L::header_size - 1, false}}) {
        void* mem = block_aligned_allocation(block);
        ASSERT_NE(mem, nullptr);
        gc_ptr<Tracked> p;
        p.add_to_gc(mem, c.size, &gc_detail::destroy_thunk<char>);
        auto* h = gc_detail::object_header::of(mem);
        auto* r = gc_detail::current_record();
        EXPECT_EQ(in_list(r->gens[0].overflow, h), c.overflow) << c.size;
        EXPECT_EQ(in_list(r->gens[0].buckets[gc_detail::block_of(mem)], h), !c.overflow) << c.size;
    }
}

TEST(ManagedPointers, StoreIntoManagedObjectDirtiesItsCard) {
    gc_ptr<Node> n = gcnew<Node>();
    gc_ptr<Tracked> t = gcnew<Tracked>();
    const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(&n->b) - gc_detail::g_heap.base;
    unsigned char& card = gc_detail::g_change_bitmap[off >> L::card_shift];
    card = 0;
    n->b = t;
    EXPECT_EQ(card, 0xFF);
    EXPECT_EQ(n->b.get(), t.get());
}

TEST(ManagedPointers, InterruptedStoreIsFinishedByTheStopHandler) {
    // The bytes a pointer store is made of, with the thread stopped between
    // the target store and the card mark.
    alignas(16) unsigned char code[16] = {0x90, 0x90, 0x90, 0x90, 0x48, 0x89, 0x51, 0x08,
                                          0xC6, 0x00, 0xFF, 0x90, 0x90, 0x90, 0x90, 0x90};
    unsigned char& card = gc_detail::g_change_bitmap[5];
    struct Case { int ip_offset; long long rax; bool marks; };
    const Case cases[] = {
        {8, reinterpret_cast<long long>(&card), true},   // between store and mark
        {4, reinterpret_cast<long long>(&card), false},  // before the store: nothing to finish
        {12, reinterpret_cast<long long>(&card), false}, // past the mark
        {8, reinterpret_cast<long long>(&code[0]), false}, // not a card: left alone
    };
    for (const Case& c : cases) {
        card = 0;
        long long gregs[23] = {};
        gregs[REG_RIP] = reinterpret_cast<long long>(code + c.ip_offset);
        gregs[REG_RAX] = c.rax;
        gc_detail::finish_interrupted_store(gregs);
        EXPECT_EQ(card == 0xFF, c.marks) << c.ip_offset;
        EXPECT_EQ(gregs[REG_RIP], reinterpret_cast<long long>(code + c.ip_offset + (c.marks ? 4 : 0)));
    }
}

TEST(ManagedPointers, EmittedStoreMatchesTheRecognisedSequence) {
    // The compiled store must be the exact sequence the handler looks for.
    gc_ptr<Node> n = gcnew<Node>();
    gc_ptr<Tracked> t = gcnew<Tracked>();
    auto fn = &gc_detail::pointer_base::store_target;
    void* code;
    std::memcpy(&code, &fn, sizeof code);
    const unsigned char seq[8] = {0x48, 0x89, 0x51, 0x08, 0xC6, 0x00, 0xFF, 0x90};
    bool found = false;
    const auto* p = static_cast<const unsigned char*>(code);
    for (int i = 0; i < 2048 && !found; ++i) found = std::memcmp(p + i, seq, 8) == 0;
    EXPECT_TRUE(found);
    n->a = t;
}

struct Holder {
    gc_ptr<Holder> self_seen;
    gc_detail::object_header* header_in_ctor = nullptr;
    Holder() {
        header_in_ctor = gc_detail::pointer_base::ensure_pointer_valid(this);
        self_seen = gc_ptr<Holder>(this); // a temporary hold
    }
};

TEST(ManagedPointers, EnsurePointerValid) {
    gc_ptr<Holder> h = gcnew<Holder>();
    EXPECT_EQ(h->header_in_ctor, nullptr); // allocated, not registered yet
    EXPECT_EQ(h->self_seen.get(), h.get());
    EXPECT_EQ(gc_detail::pointer_base::ensure_pointer_valid(h.get()), gc_detail::object_header::of(h.get()));
    EXPECT_EQ(gc_detail::pointer_base::ensure_pointer_valid(nullptr), nullptr);

    int local = 0;
    auto heap = std::make_unique<Tracked>();
    const void* foreign[] = {&local, heap.get(), reinterpret_cast<void*>(gc_detail::g_heap.base + gc_detail::g_heap.size - 4096)};
    for (const void* f : foreign) {
        try {
            gc_detail::pointer_base::ensure_pointer_valid(f);
            ADD_FAILURE() << "accepted a foreign address";
        } catch (const EGarbageCollector& e) {
            EXPECT_EQ(e.Message().ToUtf8(),
                      "GarbageCollectorException: Illegal use of GC ptr - Object is neither managed nor valid for a temporary hold");
        }
        EXPECT_EQ(gc_detail::pointer_base::unsafe_get_pointer_node(f), nullptr);
    }
    EXPECT_THROW(gc_ptr<Tracked>(heap.get()), EGarbageCollector);
}

} // namespace
namespace gc_test {
struct Base { virtual ~Base() = default; int b = 1; };
struct Other { virtual ~Other() = default; int o = 2; };
struct Derived : Base, Other { int d = 3; };
} // namespace gc_test
namespace {

TEST(ManagedPointers, ConversionsAndAccess) {
    gc_ptr<Derived> d = gcnew<Derived>();
    gc_ptr<Other> o = d; // a base that is not at offset 0
    EXPECT_EQ(o->o, 2);
    EXPECT_TRUE(o == d);
    EXPECT_EQ(gc_detail::pointer_base::ensure_pointer_valid(o.get()), gc_detail::object_header::of(d.get()));
    gc_ptr<Derived> back(o);
    EXPECT_EQ(back.get(), d.get());

    gc_ptr<Base> plain = gcnew<Base>();
    try {
        gc_ptr<Derived> bad(plain);
        ADD_FAILURE() << "cast succeeded";
    } catch (const Sysutils::EInvalidCast& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "InvalidCastException: Unable to cast from gc_test::Base to gc_test::Derived")
            << "names: " << e.Message();
    }
    gc_ptr<Base> none;
    gc_ptr<Derived> still_none(none);
    EXPECT_FALSE(still_none);
    try {
        (void)none->b;
        ADD_FAILURE();
    } catch (const ENullReference& e) {
        EXPECT_NE(e.Message().Pos("of type '"), -1);
    }
    gc_ptr<Tracked> from_null(gc_detail::gc_null_pointer);
    EXPECT_FALSE(from_null);
}

TEST(ManagedPointers, DisposablePointerChecksTheDisposedWord) {
    gc_disposable<Tracked> p = gcnew<Tracked>(5);
    EXPECT_EQ(p->value, 5);
    gc_detail::object_header::of(p.get())->word_before = 1;
    EXPECT_THROW((void)p->value, EObjectDisposed);
    gc_ptr<Tracked> plain = p;
    EXPECT_EQ(plain->value, 5); // only the disposable view checks
}

// ---- threads ---------------------------------------------------------------------

TEST(ThreadRegistration, StdThreadIsRegisteredBeforeItRuns) {
    gc_detail::thread_record* seen = nullptr;
    std::thread t([&] { seen = gc_detail::t_gc_thread.record; });
    t.join();
    ASSERT_NE(seen, nullptr);
    EXPECT_FALSE(seen->active.load());
}

extern "C" int foreign_library_run_thread(void* (*fn)(void*), void* arg);

TEST(ThreadRegistration, ThreadStartedByAnotherLibraryIsRegistered) {
    gc_detail::thread_record* seen = nullptr;
    int rc = foreign_library_run_thread(
        [](void* a) -> void* {
            *static_cast<gc_detail::thread_record**>(a) = gc_detail::t_gc_thread.record;
            gc_ptr<Tracked> p = gcnew<Tracked>(3); // usable there
            return p->value == 3 ? a : nullptr;
        },
        &seen);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(seen, nullptr);
}

struct Gate {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    bool open = false;
    void wait() {
        pthread_mutex_lock(&m);
        while (!open) pthread_cond_wait(&c, &m);
        pthread_mutex_unlock(&m);
    }
    void release() {
        pthread_mutex_lock(&m);
        open = true;
        pthread_cond_broadcast(&c);
        pthread_mutex_unlock(&m);
    }
};

TEST(ThreadRegistration, FiveHundredthThreadIsRefusedAndSlotsAreReused) {
    settle(); // dead records of earlier tests own nothing any more
    testing_support::DebugCapture cap;
    Gate gate;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    std::vector<pthread_t> threads;
    int refused = 0;
    for (int i = 0; i < 600; ++i) {
        pthread_t t;
        int rc = pthread_create(
            &t, &attr, [](void* g) -> void* { static_cast<Gate*>(g)->wait(); return nullptr; }, &gate);
        if (rc != 0) {
            EXPECT_EQ(rc, EAGAIN);
            refused = 1;
            break;
        }
        threads.push_back(t);
    }
    EXPECT_TRUE(refused);
    unsigned live = 0;
    for (std::uint32_t s = 1; s <= gc_detail::g_threads.used; ++s)
        if (gc_detail::g_threads.slots[s] &&
            (gc_detail::g_threads.slots[s]->active.load() || gc_detail::g_threads.slots[s]->reserved.load()))
            ++live;
    EXPECT_EQ(live, 499u);
    EXPECT_TRUE(cap.contains("Too many threads in process: Over supported limit!"));
    try {
        gc_detail::reserve_thread_record();
        ADD_FAILURE() << "table should be full";
    } catch (const Sysutils::EInvalidOperation& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "Too many threads in process: Over supported limit!");
    }
    gate.release();
    for (pthread_t t : threads) pthread_join(t, nullptr);

    // Once dead records own nothing, their slots come back.
    const std::uint32_t used = gc_detail::g_threads.used;
    std::uint32_t slot = 0;
    std::thread t([&] { slot = gc_detail::t_gc_thread.record->slot; });
    t.join();
    EXPECT_GT(slot, 0u);
    EXPECT_LE(slot, used);
    EXPECT_EQ(gc_detail::g_threads.used, used);
    pthread_attr_destroy(&attr);
}

TEST(ThreadRegistration, LibraryThreadCount) {
    const long before = gc_detail::gc_managed_thread::Count();
    gc_detail::gc_managed_thread::RegisterThread();
    EXPECT_EQ(gc_detail::gc_managed_thread::Count(), before + 1);
    gc_detail::gc_managed_thread::UnregisterThread();
    EXPECT_EQ(gc_detail::gc_managed_thread::Count(), before);
}

} // namespace
