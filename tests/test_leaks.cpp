// The leak list against known live objects, its failures, and its exit
// handler in child processes (pmem_init once per process).
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <regex>

#include "ap_monitor.h"
#include "malloc_statis.h"
#include "pmem.h"
#include "private/leaks.h"
#include "testing.h"

namespace {

const std::string kPid = " pid=" + std::to_string(getpid()) + "\n";

// The list written to a fresh file, to stderr too, which must say the same.
std::string leak_list() {
    const std::string path = t::temp_path("leaks");
    EXPECT_EQ(pmem_leak_report(path.c_str()), 0);
    const std::string text = t::read_file(path);
    const int saved = dup(STDERR_FILENO), to = open(path.c_str(), O_WRONLY | O_TRUNC);
    dup2(to, STDERR_FILENO), close(to);
    EXPECT_EQ(pmem_leak_report(nullptr), 0);
    dup2(saved, STDERR_FILENO), close(saved);
    EXPECT_EQ(t::read_file(path), text) << "stderr and the file differ";
    unlink(path.c_str());
    return text;
}

// The exit status of `child`'s result, returned by exit() in a forked child.
template <class Child>
int in_child(Child child) {
    int status = -1, pid = fork();
    if (pid == 0) exit(child());
    return waitpid(pid, &status, 0), WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Modules or pools out of order or merged, a released allocation or an empty
// account listed, a total that is not the sum of the lines, a name that forges
// a line.
TEST(Leaks, ListsWhatIsHeld) {
    t::in_fresh_process([] {
        const int cache = reg_module_id("cache\nleaks: x"), idle = reg_module_id("idle");
        EXPECT_EQ(leak_list(), "leaks: none" + kPid) << "before pmem_init";
        pmem_init();
        void *net[4] = {pmem_malloc(1, 100), pmem_malloc(1, 20), pmem_malloc(1, 120),
                        pmem_malloc(1, 128)};
        void *parser = pmem_malloc(3, 0), *timers = pmem_malloc(4, 9000);
        pmem_free(net[2]), pmem_free(pmem_malloc(2, 50));
        void *held = malloc_with_statis(1000, cache);
        free_with_statis(malloc_with_statis(10, idle), idle);
        const std::string big = std::to_string(pmem_ptr2size(timers)),
                          acc = std::to_string(malloc_usable_size(held));
        EXPECT_EQ(leak_list(),
                  "leaks: allocations=5 bytes=" + std::to_string(288 + pmem_ptr2size(timers)) +
                      " pmem_modules=3 accounted_bytes=" + acc + " accounted_modules=1" + kPid +
                      "leaks: pmem module=net_rx pool=pmem_pool_32 count=1 bytes=32\n"
                      "leaks: pmem module=net_rx pool=pmem_pool_128 count=2 bytes=256\n"
                      "leaks: pmem module=parser pool=pmem_pool_0 count=1 bytes=0\n"
                      "leaks: pmem module=timers pool=pmem_pool_1073741824 count=1 bytes=" +
                      big + "\nleaks: accounted bytes=" + acc + " module=cache?leaks: x\n");
        for (void *p : {net[0], net[1], net[3], parser, timers})
            pmem_free(p);
        free_with_statis(held, cache);
        EXPECT_EQ(leak_list(), "leaks: none" + kPid);
    });
}

// No tally, no walk, no file or a full disk: -1, and neither a block nor a
// part-written list left behind.
TEST(Leaks, FailuresLeaveNothing) {
    t::in_fresh_process([] {
        pmem_init();
        const std::string path = t::temp_path("leaks_oom");
        const long live = ap_fault::live;
        for (long k : {1, 2}) {  // the tally; the walk's bitmap
            ap_fault::FailNth oom(k);
            EXPECT_EQ(pmem_leak_report(path.c_str()), -1) << k;
        }
        EXPECT_EQ(pmem_leak_report("/nonexistent-dir/leaks.txt"), -1);
        EXPECT_TRUE(ap_fault::live == live && access(path.c_str(), F_OK) != 0);
        signal(SIGXFSZ, SIG_IGN), std::ofstream(path) << std::string(90, 'x');
        struct rlimit small = {100, 100};
        setrlimit(RLIMIT_FSIZE, &small);
        EXPECT_TRUE(pmem_leak_report(path.c_str()) == -1 &&
                    t::read_file(path) == std::string(90, 'x'));
        unlink(path.c_str());
    });
}

// The handler missing, registered twice, writing when turned off, or taking
// a relative path from the directory at exit; a path that does not fit.
TEST(Leaks, AtExit) {
    const std::string dir = t::temp_path("leaks_dir"), file = dir + "/leaks.txt";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string too_long(PATH_MAX - dir.size() - 1, 'x');
    EXPECT_FALSE(in_child([&] {
        pmem_init(), pmem_malloc(2, 300);
        return chdir(dir.c_str()) || ap_leak_report_at_exit_internal("leaks.txt") ||
               ap_leak_report_at_exit_internal("stderr") ||
               strcmp(ap_leak_report_where_internal(), "stderr") ||
               ap_leak_report_at_exit_internal("leaks.txt") ||
               ap_leak_report_at_exit_internal(too_long.c_str()) != -22 ||
               ap_leak_report_where_internal() != file || chdir("/");
    }));
    EXPECT_EQ(
        std::regex_replace(t::read_file(file), std::regex(" pid=[0-9]+"), ""),
        "leaks: allocations=1 bytes=320 pmem_modules=1 accounted_bytes=0 accounted_modules=0\n"
        "leaks: pmem module=config pool=pmem_pool_320 count=1 bytes=320\n");
    unlink(file.c_str());
    EXPECT_FALSE(in_child([&] {
        return ap_leak_report_at_exit_internal(file.c_str()) ||
               ap_leak_report_where_internal() != file || ap_leak_report_at_exit_internal("off") ||
               strcmp(ap_leak_report_where_internal(), "off");
    }));
    EXPECT_TRUE(access(file.c_str(), F_OK) == -1 && rmdir(dir.c_str()) == 0) << "written while off";
}
