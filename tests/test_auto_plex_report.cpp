// Pool reports, compared as whole texts: a single changed blank fails.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "auto_plex.h"
#include "checkers.h"
#include "log_capture.h"

namespace {

using log_capture::calls;
using log_capture::pids;

const std::string kHeader =
    "module_name          using_num    alloc_num    count_expand count_clear  max_num      "
    "item_size    expand_failed step_alloc_num\n";
const std::string kBegin =
    "------------------------------BEGIN----------------------------------\n";

std::string pid_line() {
    return "=============" + pids() + "=================\n";
}

std::string file_report(const std::string &path) {
    remove(path.c_str());
    auto_plex_debug(path.c_str());
    std::string text = log_capture::read_file(path);
    remove(path.c_str());
    return log_capture::mask_time(text);
}

char buf[64];
std::string addr(const void *p) {
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

// The two plexes of the documented totals example: an unbounded plex of 144
// bytes with 10 of its 1024 slots in use, and a full 32 x 1000 bounded plex.
struct TwoPlexes {
    auto_plex big, small;
    std::vector<void *> big_out, small_out;
    TwoPlexes() {
        EXPECT_EQ(auto_plex_init(&big, 144, 0, "sessions"), 0);
        EXPECT_EQ(auto_plex_init(&small, 32, 1000, "timers"), 0);
        for (int i = 0; i < 10; i++)
            big_out.push_back(auto_plex_alloc(&big));
        for (int i = 0; i < 1000; i++)
            small_out.push_back(auto_plex_alloc(&small));
    }
    ~TwoPlexes() {
        for (void *p : big_out)
            auto_plex_free(&big, p);
        for (void *p : small_out)
            auto_plex_free(&small, p);
        auto_plex_clear(&small);
        auto_plex_clear(&big);
    }
};

}  // namespace

// Catches drift in any literal, width or field order of the file report.
TEST(PlexFileReport, EmptyRegistryAndTwoPlexesByteForByte) {
    std::string path = log_capture::temp_path("plex_file");
    EXPECT_EQ(file_report(path),
              "\n<time>\n" + pid_line() + kHeader +
                  "[summary]---total_max_mem:0 allocated_mem:0 used_mem:0----\n");

    TwoPlexes t;
    EXPECT_EQ(file_report(path),
              "\n<time>\n" + pid_line() + kHeader +
                  // newest first; rows end in the padding of the last field
                  "timers               1000         1000         1            0            "
                  "1000         32           0            1024        \n"
                  "sessions             10           1024         1            0            "
                  "0            144          0            1024        \n"
                  "[summary]---total_max_mem:32000 allocated_mem:179456 used_mem:33440----\n");
}

// Catches a long name being cut or padding being applied after it.
TEST(PlexFileReport, LongNamePushesTheRowRight) {
    auto_plex p;
    ASSERT_EQ(auto_plex_init(&p, 4, 0, "a_module_name_longer_than_20"), 0);
    std::string text = file_report(log_capture::temp_path("plex_long"));
    EXPECT_NE(
        text.find("\na_module_name_longer_than_20 0            0            0            0    "
                  "        0            4            0            32768       \n"),
        std::string::npos)
        << text;
    auto_plex_clear(&p);
}

// Catches a report that truncates the file or writes for bad paths.
TEST(PlexFileReport, AppendsAndIgnoresNullOrUnopenablePaths) {
    std::string path = log_capture::temp_path("plex_append");
    remove(path.c_str());
    auto_plex_debug(path.c_str());
    auto_plex_debug(path.c_str());
    std::string one = "\n<time>\n" + pid_line() + kHeader +
                      "[summary]---total_max_mem:0 allocated_mem:0 used_mem:0----\n";
    EXPECT_EQ(log_capture::mask_time(log_capture::read_file(path)), one + one);
    remove(path.c_str());

    auto_plex_debug(nullptr);
    auto_plex_debug("/nonexistent-dir/report.txt");
    EXPECT_NE(access("/nonexistent-dir/report.txt", F_OK), 0);
}

// Catches wrong routine names, line numbers, call counts or texts.
TEST(PlexCallbackReport, EmptyRegistryIsThreeCalls) {
    calls().clear();
    auto_plex_debug_rt(log_capture::record);
    ASSERT_EQ(calls().size(), 3u);
    EXPECT_EQ(calls()[0].routine, "auto_plex_debug_rt");
    EXPECT_EQ(calls()[0].line, 78);
    EXPECT_EQ(calls()[0].text, kBegin);
    EXPECT_EQ(calls()[1].line, 79);
    EXPECT_EQ(calls()[1].text, pid_line());
    EXPECT_EQ(calls()[2].routine, "auto_plex_debug_rt");
    EXPECT_EQ(calls()[2].line, 87);
    EXPECT_EQ(calls()[2].text, "[summary]---total_max_mem:0 allocated_mem:0 used_mem:0----\n");

    calls().clear();
    auto_plex_debug_rt(nullptr);
    EXPECT_TRUE(calls().empty());
}

// Catches plex lines in the wrong order, block lines out of address order,
// and the record (not the memory) address not being the one shown.
TEST(PlexCallbackReport, ListsPlexesNewestFirstAndBlocksByAddress) {
    TwoPlexes t;
    // A third plex with three blocks, the middle one partly used.
    auto_plex multi;
    ASSERT_EQ(auto_plex_init(&multi, 1024, 0, "multi"), 0);
    std::vector<void *> out;
    for (int i = 0; i < 3 * 256; i++)
        out.push_back(auto_plex_alloc(&multi));
    std::vector<const auto_plex_block *> blocks;
    for (avl_node *n = avl_tree_first_in_order(multi.using_tree); n; n = avl_tree_next_in_order(n))
        blocks.push_back(checkers::block_of(n));
    ASSERT_EQ(blocks.size(), 3u);
    int freed = 0;
    for (void *&p : out) {
        auto a = reinterpret_cast<uintptr_t>(p);
        if (freed < 6 && a >= checkers::start_of(blocks[1]) && a < checkers::end_of(blocks[1])) {
            auto_plex_free(&multi, p);
            p = nullptr;
            freed++;
        }
    }

    calls().clear();
    auto_plex_debug_rt(log_capture::record);
    ASSERT_EQ(calls().size(), 3u + (1 + 3) + (1 + 1) + (1 + 1));
    std::vector<std::string> texts;
    for (size_t i = 2; i + 1 < calls().size(); i++) {
        EXPECT_EQ(calls()[i].routine, "show_auto_plex_stat_rt");
        EXPECT_EQ(calls()[i].line, calls()[i].text.rfind("    block:", 0) == 0 ? 66 : 58);
        texts.push_back(calls()[i].text);
    }
    auto block_line = [](const auto_plex_block *b, unsigned n, unsigned used) {
        return "    block:" + addr(b) + " alloc_num:" + std::to_string(n) +
               " using_num:" + std::to_string(used) + " \n";
    };
    std::vector<std::string> expected = {
        "module_name:multi using_num:762 step_alloc_num:256 alloc_num:768 max_num:0 item_size:1024"
        "  count_expand:3 count_clear:0 expand_failed:0 ",
        block_line(blocks[0], 256, 256),
        block_line(blocks[1], 256, 250),
        block_line(blocks[2], 256, 256),
        "module_name:timers using_num:1000 step_alloc_num:1024 alloc_num:1000 max_num:1000 "
        "item_size:32  count_expand:1 count_clear:0 expand_failed:0 ",
        block_line(t.small.first_free_block ? t.small.first_free_block
                                            : checkers::block_of(t.small.using_tree),
                   1000, 1000),
        "module_name:sessions using_num:10 step_alloc_num:1024 alloc_num:1024 max_num:0 "
        "item_size:144  count_expand:1 count_clear:0 expand_failed:0 ",
        block_line(checkers::block_of(t.big.using_tree), 1024, 10),
    };
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(calls().back().text,
              "[summary]---total_max_mem:32000 allocated_mem:"
              "965888 used_mem:813728----\n");  // 179456 + 1024 x 768, 33440 + 1024 x 762

    for (void *p : out)
        if (p) auto_plex_free(&multi, p);
    auto_plex_clear(&multi);
}
