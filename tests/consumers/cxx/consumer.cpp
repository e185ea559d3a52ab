// An out-of-tree C++17 host built against the installed package with
// find_package(auto_plex CONFIG): the header-only C++ layer over the library.
#include <cstdio>
#include <map>
#include <memory_resource>
#include <string>
#include <vector>

#include "auto_plex.hpp"

namespace {

int failures;

void expect(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "consumer.cpp: %s\n", what);
        failures++;
    }
}

struct session {
    explicit session(std::string u) : user(std::move(u)) {}
    std::string user;
};

}  // namespace

int main() {
    pmem_init();

    using text = std::basic_string<char, std::char_traits<char>, ap::pmem_allocator<char>>;
    {
        ap::pmem_allocator<int> net(1);
        std::vector<int, ap::pmem_allocator<int>> packets(100, 7, net);
        std::map<int, text, std::less<int>, ap::pmem_allocator<std::pair<const int, text>>> names(
            net);
        names.emplace(1, text("a name too long for the small-string buffer", net));
        expect(packets.get_allocator().module_id() == 1, "allocator keeps its module id");
        expect(pmem_module_stats[1].alloc_size > 400, "vector and map charged to module 1");
    }
    expect(pmem_module_stats[1].alloc_size == pmem_module_stats[1].free_size,
           "everything given back");

    ap::pmem_resource parser(3);
    std::pmr::vector<std::pmr::string> words(&parser);
    words.emplace_back("one long string that surely lives on the heap, not inline");
    expect(pmem_module_stats[3].alloc_size > 0, "pmr containers charged to module 3");

    ap::accounted_resource cache("cache");
    set_module_mem_limit(1 << 16, cache.module_id());
    std::pmr::vector<char> blob(&cache);
    bool refused = false;
    try {
        blob.resize(1 << 20);
    } catch (const std::bad_alloc &) {
        refused = true;
    }
    expect(refused, "the byte limit refuses with std::bad_alloc");

    ap::object_pool<session> sessions("sessions", 2);
    session *alice = sessions.create("alice");
    session *bob = sessions.try_create("bob");
    expect(bob && !sessions.try_create("carol"), "pool bounded at 2");
    expect(sessions.control().using_num == 2, "control block counts live objects");
    sessions.destroy(alice);
    sessions.destroy(bob);

    if (failures) return 1;
    std::printf("C++ consumer (find_package): ok\n");
    return 0;
}
