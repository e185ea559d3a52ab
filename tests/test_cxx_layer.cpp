// The C++ face (libauto_plex.hpp) with standard containers.  Each test uses
// module ids of its own and compares counter changes, so the tests hold in
// any order and in one process.
#include <map>
#include <memory_resource>
#include <stdexcept>

#include "libauto_plex.hpp"
#include "private/malloc_statis_private.h"
#include "testing.h"

namespace {

uint64_t held(uint16_t mid) {
    if (!pmem_inited) pmem_init();
    return pmem_module_stats[mid].alloc_size - pmem_module_stats[mid].free_size;
}

struct alignas(16) Obj {
    explicit Obj(int v, bool fail = false)
        : value(v), label(std::to_string(v) + " owns heap memory here") {
        if (fail) throw std::runtime_error("constructor failed");
    }
    int value;
    std::string label;
};

}  // namespace

// Allocations charged to the wrong module or not given back, a module id
// carried from one container to another on assignment, and refusals that
// leak out as null pointers; for the pmr resources, equality that refuses to
// mix pmem resources (all share pmem_free) or accepts others, over-aligned
// requests served at 16 bytes, and a byte limit that does not throw.
TEST(CxxLayer, AllocatorsAndResources) {
    const uint64_t before = held(101);
    {
        using Map =
            std::map<int, Obj, std::less<int>, ap::pmem_allocator<std::pair<const int, Obj>>>;
        Map m(ap::pmem_allocator<Obj>(101)), n(ap::pmem_allocator<Obj>(102));
        for (int i = 0; i < 200; i++)
            m.emplace(i, i);
        EXPECT_GT(held(101) - before, 200 * sizeof(Obj));
        n = std::move(m);
        EXPECT_EQ(n.get_allocator().module_id(), 102) << "the module stays with the container";
    }
    EXPECT_EQ(held(101), before);
    ap::pmem_allocator<uint64_t> alloc(101);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 4), std::bad_array_new_length);
    EXPECT_THROW(alloc.allocate(PMEM_MAX_SIZE / 8 + 1), std::bad_alloc);

    ap::pmem_resource res(105), other(106);
    ap::accounted_resource cache("cxx_cache"), same(cache.module_id());
    EXPECT_EQ(reg_module_id("cxx_cache"), cache.module_id());
    EXPECT_TRUE(res.is_equal(other) && cache.is_equal(same));
    EXPECT_FALSE(res.is_equal(cache) || res.is_equal(*std::pmr::new_delete_resource()));
    for (std::pmr::memory_resource *r : {static_cast<std::pmr::memory_resource *>(&res),
                                         static_cast<std::pmr::memory_resource *>(&cache)}) {
        std::pmr::vector<std::pmr::string> words(r);
        words.emplace_back(std::string(100, 'w'));
        EXPECT_EQ(words[0].get_allocator().resource(), r);
        EXPECT_THROW((void)r->allocate(64, 32), ap::alignment_error);
    }
    set_module_mem_limit(64 * 1024, cache.module_id());
    std::pmr::vector<char> blob(&cache);
    EXPECT_THROW(blob.resize(1 << 20), std::bad_alloc);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(alloc.allocate(100000), std::bad_alloc);
}

// Constructor arguments lost, misaligned slots, a slot lost when the
// constructor throws, a full pool returning null through create, a control
// block that moves with the handle (the registry points at it), a pool left
// registered, and a failed init that throws without cleaning up.
TEST(CxxLayer, ObjectPool) {
    const long live = ap_fault::live();
    const auto_plex_link *head = plex_registry.next;
    {
        ap::object_pool<Obj> pool("cxx_bounded", 2);
        const auto_plex *ctl = &pool.control();
        Obj *a = pool.create(7);
        EXPECT_TRUE(a->value == 7 && reinterpret_cast<uintptr_t>(a) % 16 == 0);
        EXPECT_THROW(pool.create(8, true), std::runtime_error);
        Obj *b = pool.try_create(9);
        EXPECT_EQ(pool.try_create(10), nullptr);
        EXPECT_THROW(pool.create(11), std::bad_alloc);
        ap::object_pool<Obj> moved(std::move(pool)), second("cxx_second");
        second = std::move(moved);
        EXPECT_TRUE(&second.control() == ctl && plex_registry.next == &ctl->plex_link &&
                    ctl->alloc_failed == 2);
        second.destroy(a);
        second.destroy(b);
    }
    EXPECT_EQ(plex_registry.next, head);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(ap::object_pool<Obj>("cxx_no_memory"), std::bad_alloc);
    EXPECT_EQ(ap_fault::live(), live);
}
