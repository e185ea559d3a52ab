// The C++ face (libauto_plex.hpp) with standard containers and types that own
// resources.  Every test uses module ids of its own and compares counter
// changes, so the tests hold in any order and in one process.
#include <map>
#include <memory_resource>
#include <stdexcept>

#include "libauto_plex.hpp"
#include "private/malloc_statis_private.h"
#include "testing.h"

namespace {

class CxxLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!pmem_inited) pmem_init();
    }
};

// Bytes a pmem module holds now.
uint64_t held(uint16_t mid) {
    return pmem_module_stats[mid].alloc_size - pmem_module_stats[mid].free_size;
}

// Owns heap memory and counts live instances, so leaked or doubly destroyed
// elements show.
struct Tracked {
    static inline int live = 0;
    explicit Tracked(int v) : value(v), label("tracked value number " + std::to_string(v)) {
        live++;
    }
    Tracked(const Tracked &o) : value(o.value), label(o.label) { live++; }
    ~Tracked() { live--; }
    int value;
    std::string label;
};

template <class T>
using pvector = std::vector<T, ap::pmem_allocator<T>>;
using pstring = std::basic_string<char, std::char_traits<char>, ap::pmem_allocator<char>>;

}  // namespace

// Allocations charged to the wrong module or never given back, equality that
// compares module ids (move assignment would copy element by element), a
// module id carried from one container to another, and refusals that leak
// out as null pointers.
TEST_F(CxxLayer, PmemAllocatorChargesItsContainersModule) {
    const uint16_t mid = 101, other = 102;
    const uint64_t before = held(mid);
    {
        ap::pmem_allocator<Tracked> alloc(mid);
        pvector<Tracked> v(alloc);
        for (int i = 0; i < 1000; i++)
            v.emplace_back(i);
        std::map<int, pstring, std::less<int>, ap::pmem_allocator<std::pair<const int, pstring>>> m(
            alloc);
        for (int i = 0; i < 200; i++)
            m.emplace(i, pstring(100, 'x', alloc));
        EXPECT_GT(held(mid) - before, 1000 * sizeof(Tracked) + 200 * 100);
        pvector<Tracked> w{ap::pmem_allocator<Tracked>(other)};
        w = std::move(v);
        EXPECT_EQ(w.get_allocator().module_id(), other) << "the module stays with the container";
        EXPECT_EQ(w[999].value, 999);
    }
    EXPECT_EQ(Tracked::live, 0);
    EXPECT_EQ(held(mid), before);
    static_assert(std::allocator_traits<ap::pmem_allocator<int>>::is_always_equal::value);
    EXPECT_EQ(ap::pmem_allocator<double>(ap::pmem_allocator<int>(7)).module_id(), 7);

    ap::pmem_allocator<uint64_t> alloc(mid);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 4), std::bad_array_new_length);
    EXPECT_THROW(alloc.allocate(PMEM_MAX_SIZE / 8 + 1), std::bad_alloc);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(alloc.allocate(100000), std::bad_alloc);
}

// Nested pmr containers escaping to another resource, equality that refuses
// to mix pmem resources (all share pmem_free) or accepts others, over-aligned
// requests served at 16 bytes, and a byte limit that does not throw or
// leaves bytes in the account.
TEST_F(CxxLayer, MemoryResources) {
    const uint16_t mid = 105;
    const uint64_t before = held(mid);
    ap::pmem_resource res(mid), other(mid + 1);
    {
        std::pmr::vector<std::pmr::string> words(&res);
        for (int i = 0; i < 100; i++)
            words.emplace_back(std::string(40 + i, 'w'));
        EXPECT_EQ(words[99].get_allocator().resource(), &res);
        EXPECT_GT(held(mid) - before, 100u * 40);
    }
    EXPECT_EQ(held(mid), before);
    ap::accounted_resource cache("cxx_cache"), same(cache.module_id());
    EXPECT_EQ(reg_module_id("cxx_cache"), cache.module_id());
    EXPECT_TRUE(res.is_equal(other) && cache.is_equal(same));
    EXPECT_FALSE(res.is_equal(cache) || res.is_equal(*std::pmr::new_delete_resource()));
    for (std::pmr::memory_resource *r : {static_cast<std::pmr::memory_resource *>(&res),
                                         static_cast<std::pmr::memory_resource *>(&cache)}) {
        void *p = r->allocate(24, 16);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        r->deallocate(p, 24, 16);
        EXPECT_THROW((void)r->allocate(64, 32), ap::alignment_error);
    }
    set_module_mem_limit(64 * 1024, cache.module_id());
    auto entry = [&] { return mem_statis_table_internal().records[cache.module_id()].pub; };
    {
        std::pmr::vector<Tracked> v(&cache);
        for (int i = 0; i < 100; i++)
            v.emplace_back(i);
        EXPECT_THROW(v.reserve(100000), std::bad_alloc);
        EXPECT_EQ(entry().over_limit_failed, 1u);
    }
    EXPECT_EQ(entry().mem_alloced, 0);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(ap::accounted_resource("cxx_unregistered"), std::bad_alloc);
}

struct alignas(16) Aligned {
    explicit Aligned(int v, bool fail = false) : tracked(v) {
        if (fail) throw std::runtime_error("constructor failed");
    }
    Tracked tracked;
};

// Constructor arguments lost, destructors skipped, misaligned slots, a slot
// lost when the constructor throws, a full pool returning null through
// create, a control block that moves with the handle (the registry points at
// it), and a failed init that throws without cleaning up.
TEST_F(CxxLayer, ObjectPool) {
    const long live = ap_fault::live();
    const auto_plex *ctl;
    {
        ap::object_pool<Aligned> pool("cxx_bounded", 2);
        ctl = &pool.control();
        Aligned *a = pool.create(7);
        EXPECT_EQ(a->tracked.value, 7);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
        EXPECT_THROW(pool.create(8, true), std::runtime_error);
        Aligned *b = pool.try_create(9);
        EXPECT_EQ(pool.try_create(10), nullptr);
        EXPECT_THROW(pool.create(11), std::bad_alloc);
        EXPECT_EQ(pool.control().alloc_failed, 2u);
        ap::object_pool<Aligned> moved(std::move(pool)), second("cxx_second");
        EXPECT_EQ(&moved.control(), ctl);
        second = std::move(moved);
        EXPECT_EQ(&second.control(), ctl);
        EXPECT_EQ(plex_registry.next, &ctl->plex_link) << "the moved-over pool is gone";
        second.destroy(a);
        second.destroy(b);
        second.destroy(nullptr);
        EXPECT_EQ(Tracked::live, 0);
    }
    EXPECT_EQ(plex_registry.next, &pmem_pools[PMEM_POOL_ID_N - 2].pool_plex.plex_link)
        << "destruction unregisters";
    EXPECT_EQ(ap_fault::live(), live);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(ap::object_pool<Tracked>("cxx_no_memory"), std::bad_alloc);
    EXPECT_EQ(ap_fault::live(), live);
}
