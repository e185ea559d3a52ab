// The C++ layer (auto_plex.hpp) with standard containers and types that own
// resources.  pmem is process-wide: every test initialises it if nobody has,
// uses module ids of its own and compares counter changes, so the tests hold
// in any order and in one process.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "libauto_plex.hpp"
#include "fault.h"
#include "private/malloc_statis_private.h"

namespace {

class CxxLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pmem_inited) {
            ASSERT_EQ(pmem_init(), 0);
        }
        ap_fault::reset();
    }
    void TearDown() override { ap_fault::reset(); }
};
using pmem_allocator = CxxLayer;
using pmem_resource = CxxLayer;
using accounted_resource = CxxLayer;
using object_pool = CxxLayer;

// Bytes a pmem module was charged and credited.
struct Charge {
    explicit Charge(uint16_t mid)
        : alloc(pmem_module_stats[mid].alloc_size), freed(pmem_module_stats[mid].free_size) {}
    uint64_t alloc, freed;
};

// An object owning heap memory, counting the live instances, so leaked or
// doubly destroyed elements show.
struct Tracked {
    static inline int live = 0;
    explicit Tracked(int v) : value(v), label("tracked value number " + std::to_string(v)) {
        live++;
    }
    Tracked(const Tracked &o) : value(o.value), label(o.label) { live++; }
    Tracked(Tracked &&o) noexcept : value(o.value), label(std::move(o.label)) { live++; }
    Tracked &operator=(const Tracked &) = default;
    Tracked &operator=(Tracked &&) = default;
    ~Tracked() { live--; }
    int value;
    std::string label;
};

template <class T>
using pvector = std::vector<T, ap::pmem_allocator<T>>;
using pstring = std::basic_string<char, std::char_traits<char>, ap::pmem_allocator<char>>;

bool aligned(const void *p, std::size_t a) {
    return reinterpret_cast<uintptr_t>(p) % a == 0;
}

int registrations(const auto_plex *ctl) {
    int n = 0;
    for (auto_plex_link *l = plex_registry.next; l != &plex_registry; l = l->next)
        n += reinterpret_cast<const char *>(l) - offsetof(auto_plex, plex_link) ==
             reinterpret_cast<const char *>(ctl);
    return n;
}

}  // namespace

// ---- pmem_allocator ------------------------------------------------------------

// Catches allocations charged to the wrong module, container nodes or
// elements leaked, and releases that do not match what was allocated.
TEST_F(pmem_allocator, StandardContainersChargeTheirModuleAndGiveAllBack) {
    const uint16_t mid = 101;
    const Charge before(mid), other_before(0);
    {
        ap::pmem_allocator<Tracked> alloc(mid);
        pvector<Tracked> v(alloc);
        for (int i = 0; i < 1000; i++)
            v.emplace_back(i);
        std::map<int, pstring, std::less<int>, ap::pmem_allocator<std::pair<const int, pstring>>> m(
            alloc);
        for (int i = 0; i < 200; i++)
            m.emplace(i, pstring(100, 'x', alloc));
        m.erase(m.begin(), m.find(100));
        pstring s("a string well past the small-string buffer of the library", alloc);
        s += s;
        EXPECT_EQ(v[999].value, 999);
        EXPECT_EQ(m.size(), 100u);
        EXPECT_EQ(Tracked::live, 1000);
        EXPECT_GT(Charge(mid).alloc - before.alloc, 1000 * sizeof(Tracked) + 200 * 100);
    }
    EXPECT_EQ(Tracked::live, 0);
    const Charge after(mid);
    EXPECT_EQ(after.alloc - before.alloc, after.freed - before.freed);
    EXPECT_EQ(Charge(0).alloc, other_before.alloc);
}

// Catches equality that compares module ids (move assignment would copy
// element by element, swap would be undefined) and propagation traits that
// carry a module id from one container to another.
TEST_F(pmem_allocator, AllCompareEqualAndTheModuleStaysWithTheContainer) {
    static_assert(std::allocator_traits<ap::pmem_allocator<int>>::is_always_equal::value);
    EXPECT_TRUE(ap::pmem_allocator<int>(1) == ap::pmem_allocator<double>(2));
    EXPECT_EQ(ap::pmem_allocator<double>(ap::pmem_allocator<int>(7)).module_id(), 7);

    const uint16_t a_mid = 102, b_mid = 103;
    pvector<int> a(1000, 1, ap::pmem_allocator<int>(a_mid));
    pvector<int> b(10, 2, ap::pmem_allocator<int>(b_mid));
    const Charge a_before(a_mid), b_before(b_mid);
    const int *buffer = a.data();
    b = std::move(a);
    EXPECT_EQ(b.data(), buffer) << "the buffer is taken over, not copied";
    EXPECT_EQ(b.get_allocator().module_id(), b_mid);
    b.resize(b.capacity() + 1);  // moves to a new buffer
    EXPECT_GT(Charge(b_mid).alloc, b_before.alloc);
    EXPECT_EQ(Charge(a_mid).alloc, a_before.alloc);
    EXPECT_GT(Charge(a_mid).freed, a_before.freed) << "the old buffer credits its own module";

    pvector<int> c(5, 3, ap::pmem_allocator<int>(a_mid));
    const int *c_buffer = c.data();
    std::swap(b, c);
    EXPECT_EQ(b.data(), c_buffer);
    EXPECT_EQ(b.get_allocator().module_id(), b_mid);
    EXPECT_EQ(c.get_allocator().module_id(), a_mid);
    pvector<int> copy(c);
    EXPECT_EQ(copy.get_allocator().module_id(), a_mid);
}

// Catches a null from pmem leaking out as a pointer, and a size product that
// wraps instead of being refused.
TEST_F(pmem_allocator, RefusalsThrow) {
    ap::pmem_allocator<uint64_t> alloc(104);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 4), std::bad_array_new_length);
    EXPECT_THROW(alloc.allocate((PMEM_MAX_SIZE / 8) + 1), std::bad_alloc);
    const uint64_t failed = pmem_pool_stats[PMEM_POOL_ID_N - 1].fail_count;
    ap_fault::fail_all(true);
    EXPECT_THROW(alloc.allocate(100000), std::bad_alloc);  // system allocator pool
    ap_fault::fail_all(false);
    EXPECT_EQ(pmem_pool_stats[PMEM_POOL_ID_N - 1].fail_count, failed + 1);
}

// ---- memory resources ----------------------------------------------------------

// Catches nested pmr containers escaping to another resource, and equality
// that refuses to mix pmem resources (all share pmem_free) or accepts others.
TEST_F(pmem_resource, PmrContainersChargeOneModuleAndMixAcrossIds) {
    const uint16_t mid = 105;
    const Charge before(mid);
    ap::pmem_resource res(mid);
    {
        std::pmr::vector<std::pmr::string> words(&res);
        for (int i = 0; i < 100; i++)
            words.emplace_back(std::string(40 + i, 'w'));
        std::pmr::map<int, std::pmr::string> m(&res);
        m.emplace(1, "a value that does not fit in the small-string buffer");
        EXPECT_EQ(words[99].get_allocator().resource(), &res);
        EXPECT_GT(Charge(mid).alloc - before.alloc, 100u * 40);
    }
    const Charge after(mid);
    EXPECT_EQ(after.alloc - before.alloc, after.freed - before.freed);

    ap::pmem_resource other(mid + 1);
    ap::accounted_resource accounted(reg_module_id("pmr_equality"));
    EXPECT_TRUE(res.is_equal(other));
    EXPECT_FALSE(res.is_equal(accounted));
    EXPECT_FALSE(res.is_equal(*std::pmr::new_delete_resource()));
    void *p = res.allocate(100, 16);
    other.deallocate(p, 100, 16);  // what equality promises
}

// Catches over-aligned requests served at pmem's 16 bytes, and the refusal
// not being a std::bad_alloc (what memory_resource users catch).
TEST_F(pmem_resource, AlignmentAbove16IsRefusedClearly) {
    ap::pmem_resource pmem(106);
    ap::accounted_resource accounted(reg_module_id("align"));
    for (std::pmr::memory_resource *r : {static_cast<std::pmr::memory_resource *>(&pmem),
                                         static_cast<std::pmr::memory_resource *>(&accounted)}) {
        void *p = r->allocate(24, 16);
        EXPECT_TRUE(aligned(p, 16));
        r->deallocate(p, 24, 16);
        EXPECT_THROW((void)r->allocate(64, 32), ap::alignment_error);
        try {
            (void)r->allocate(64, 64);
            ADD_FAILURE() << "served 64-byte alignment";
        } catch (const std::bad_alloc &e) {
            EXPECT_NE(std::string(e.what()).find("alignment"), std::string::npos);
        }
    }
    EXPECT_EQ(mem_statis_table_internal().records[accounted.module_id()].pub.mem_alloced, 0);
}

// Catches the byte limit not turning into std::bad_alloc, bytes left in the
// account after the container is gone, and equality across modules (a
// release would debit the wrong module).
TEST_F(accounted_resource, ByteLimitThrowsBadAllocAndAccountsEveryByte) {
    ap::accounted_resource cache("cxx_cache");
    const int id = cache.module_id();
    EXPECT_EQ(reg_module_id("cxx_cache"), id);
    set_module_mem_limit(64 * 1024, id);
    auto entry = [id]() { return mem_statis_table_internal().records[id].pub; };
    const uint64_t refused = entry().over_limit_failed;
    {
        std::pmr::vector<Tracked> v(&cache);
        for (int i = 0; i < 100; i++)
            v.emplace_back(i);
        EXPECT_GT(entry().mem_alloced, int64_t(100 * sizeof(Tracked)));
        EXPECT_THROW(v.reserve(100000), std::bad_alloc);
        EXPECT_EQ(v.size(), 100u);
        EXPECT_EQ(entry().over_limit_failed, refused + 1);
    }
    EXPECT_EQ(Tracked::live, 0);
    EXPECT_EQ(entry().mem_alloced, 0);

    ap::accounted_resource same(id), other("cxx_other");
    EXPECT_TRUE(cache.is_equal(same));
    EXPECT_FALSE(cache.is_equal(other));
    ap_fault::fail_all(true);
    EXPECT_THROW(ap::accounted_resource("cxx_unregistered"), std::bad_alloc);
}

// ---- object_pool ---------------------------------------------------------------

struct alignas(16) Aligned {
    explicit Aligned(int v) : tracked(v) {}
    Tracked tracked;
};

// Catches constructor arguments lost, destructors skipped, slots misaligned
// for 16-byte types, and counters not following create/destroy.
TEST_F(object_pool, CreatesAndDestroysObjects) {
    const long seam_live = ap_fault::live();
    {
        ap::object_pool<Aligned> pool("cxx_aligned");
        std::vector<Aligned *> objs;
        for (int i = 0; i < 1000; i++)
            objs.push_back(pool.create(i));
        EXPECT_EQ(pool.control().using_num, 1000u);
        EXPECT_EQ(pool.control().item_size, sizeof(Aligned));
        for (int i = 0; i < 1000; i++) {
            ASSERT_TRUE(aligned(objs[i], 16)) << i;
            ASSERT_EQ(objs[i]->tracked.value, i);
        }
        EXPECT_EQ(Tracked::live, 1000);
        for (Aligned *o : objs)
            pool.destroy(o);
        pool.destroy(nullptr);
        EXPECT_EQ(Tracked::live, 0);
        EXPECT_EQ(pool.control().using_num, 0u);
    }
    EXPECT_EQ(ap_fault::live(), seam_live);
}

struct Throws {
    explicit Throws(bool fail) {
        if (fail) throw std::runtime_error("constructor failed");
    }
    char pad[40];
};

// Catches a full bounded pool returning null through create, and a slot lost
// when the constructor throws.
TEST_F(object_pool, FullPoolAndThrowingConstructors) {
    ap::object_pool<Throws> pool("cxx_bounded", 2);
    Throws *a = pool.create(false);
    EXPECT_THROW(pool.create(true), std::runtime_error);
    EXPECT_EQ(pool.control().using_num, 1u);
    Throws *b = pool.try_create(false);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pool.try_create(false), nullptr);
    EXPECT_THROW(pool.create(false), std::bad_alloc);
    EXPECT_EQ(pool.control().alloc_failed, 2u);
    pool.destroy(a);
    pool.destroy(b);
}

// Catches a control block that moves with the handle (the registry and the
// block records point at it), a move assignment that leaks the old pool, a
// destructor that leaves it registered, and a failed init that throws
// without cleaning up.
TEST_F(object_pool, MovesKeepTheControlBlockAndDestructionUnregisters) {
    const long seam_live = ap_fault::live();
    const auto_plex *ctl;
    {
        ap::object_pool<Tracked> first("cxx_first");
        Tracked *t = first.create(1);
        ctl = &first.control();
        ap::object_pool<Tracked> moved(std::move(first));
        EXPECT_EQ(&moved.control(), ctl);
        EXPECT_EQ(registrations(ctl), 1);

        ap::object_pool<Tracked> second("cxx_second");
        second.create(2)->~Tracked();  // left in place: the pool releases its block
        const auto_plex *second_ctl = &second.control();
        second = std::move(moved);
        EXPECT_EQ(registrations(second_ctl), 0);
        EXPECT_EQ(&second.control(), ctl);
        second.destroy(t);
    }
    EXPECT_EQ(registrations(ctl), 0);
    EXPECT_EQ(ap_fault::live(), seam_live);
    EXPECT_EQ(Tracked::live, 0);

    ap_fault::fail_all(true);
    EXPECT_THROW(ap::object_pool<Tracked>("cxx_no_memory"), std::bad_alloc);
    ap_fault::fail_all(false);
    EXPECT_EQ(ap_fault::live(), seam_live);
}
