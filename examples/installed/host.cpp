// A C++17 host built against the installed package with
// find_package(auto_plex CONFIG): standard containers charged to pmem
// modules, a byte limit that throws, and a typed pool.  Exits non-zero if
// any of them misbehaves.
#include <cstdio>
#include <memory_resource>
#include <string>
#include <vector>

#include "libauto_plex.hpp"

struct session {
    explicit session(std::string u) : user(std::move(u)) {}
    std::string user;
};

int main() {
    pmem_init();
    bool ok = true;
    {
        std::vector<int, ap::pmem_allocator<int>> packets(100, 7, ap::pmem_allocator<int>(1));
        ok = ok && pmem_module_stats[1].alloc_size >= 400;
    }
    ok = ok && pmem_module_stats[1].alloc_size == pmem_module_stats[1].free_size;

    ap::pmem_resource parser(3);
    std::pmr::vector<std::pmr::string> words(&parser);
    words.emplace_back("one long string that surely lives on the heap, not inline");
    ok = ok && pmem_module_stats[3].alloc_size > 0;

    ap::accounted_resource cache("cache");
    set_module_mem_limit(1 << 16, cache.module_id());
    std::pmr::vector<char> blob(&cache);
    try {
        blob.resize(1 << 20);
        ok = false;
    } catch (const std::bad_alloc &) {  // the limit
    }

    ap::object_pool<session> sessions("sessions", 2);
    session *alice = sessions.create("alice"), *bob = sessions.try_create("bob");
    ok = ok && bob && !sessions.try_create("carol") && sessions.control().using_num == 2;
    sessions.destroy(alice);
    sessions.destroy(bob);

    std::printf("C++ host (find_package): %s\n", ok ? "ok" : "FAILED");
    return !ok;
}
