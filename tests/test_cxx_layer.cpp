// The C++ face's contracts beyond what examples/installed/host.cpp shows: who
// pays for a container after assignment, which resources compare equal,
// refusals as exceptions, and what an object_pool keeps across moves and
// failures.  Module ids of its own, so it holds in any order.
#include <map>
#include <stdexcept>

#include "libauto_plex.hpp"
#include "testing.h"

struct alignas(16) Obj {
    explicit Obj(int v, bool fail = false) : value(v), label(std::to_string(v) + " on the heap") {
        if (fail) throw std::runtime_error("constructor failed");
    }
    int value;
    std::string label;
};

TEST(CxxLayer, AllocatorsAndResources) {
    if (!pmem_inited) pmem_init();
    const module_statis &mod = pmem_module_stats[101];
    {
        std::map<int, Obj, std::less<int>, ap::pmem_allocator<std::pair<const int, Obj>>> m(
            ap::pmem_allocator<Obj>(101)),
            n(ap::pmem_allocator<Obj>(102));
        for (int i = 0; i < 200; i++)
            m.emplace(i, i);
        EXPECT_GT(mod.alloc_size - mod.free_size, 200 * sizeof(Obj));
        n = std::move(m);
        EXPECT_EQ(n.get_allocator().module_id(), 102) << "the module stays with the container";
    }
    EXPECT_EQ(mod.alloc_size, mod.free_size);
    ap::pmem_allocator<uint64_t> alloc(101);
    EXPECT_THROW(alloc.allocate(SIZE_MAX / 4), std::bad_array_new_length);
    EXPECT_THROW(alloc.allocate(PMEM_MAX_SIZE / 8 + 1), std::bad_alloc);
    ap::pmem_resource res(105), other(106);
    ap::accounted_resource cache("cxx_cache"), same(cache.module_id());
    EXPECT_TRUE(res.is_equal(other) && cache.is_equal(same) &&
                reg_module_id("cxx_cache") == cache.module_id());
    EXPECT_FALSE(res.is_equal(cache) || res.is_equal(*std::pmr::new_delete_resource()));
    EXPECT_THROW((void)res.allocate(64, 32), ap::alignment_error);
    EXPECT_THROW((void)cache.allocate(64, 32), ap::alignment_error);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(alloc.allocate(100000), std::bad_alloc);
}

TEST(CxxLayer, ObjectPoolKeepsItsControlBlockAndGivesSlotsBack) {
    const long live = ap_fault::live;
    const auto_plex_link *head = plex_registry.next;
    {
        ap::object_pool<Obj> pool("cxx_bounded", 2);
        const auto_plex *ctl = &pool.control();
        Obj *a = pool.create(7);
        EXPECT_THROW(pool.create(8, true), std::runtime_error);
        Obj *b = pool.try_create(9);  // the slot the failed constructor gave back
        EXPECT_TRUE(!pool.try_create(10) && a->value == 7 &&
                    reinterpret_cast<uintptr_t>(b) % 16 == 0);
        EXPECT_THROW(pool.create(11), std::bad_alloc);
        ap::object_pool<Obj> moved(std::move(pool)), second("cxx_second");
        second = std::move(moved);
        EXPECT_TRUE(&second.control() == ctl && plex_registry.next == &ctl->plex_link &&
                    ctl->alloc_failed == 2);
        second.destroy(a), second.destroy(b);
    }
    EXPECT_EQ(plex_registry.next, head);
    ap_fault::FailNth fail(1);
    EXPECT_THROW(ap::object_pool<Obj>("cxx_no_memory"), std::bad_alloc);
    EXPECT_EQ(ap_fault::live, live);
}
