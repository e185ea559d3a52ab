// Reference model of one pool, written to be obviously right rather than
// fast: ordered containers, linear scans, no shared code with the library.
//
// The model cannot know where the system allocator puts memory, so it learns
// each new block's and record's address from the library the moment they
// appear, and predicts everything else: which slot each allocation returns,
// when a block is created or released, which record is reused, every
// counter and first_free_block.
#ifndef AUTO_PLEX_TESTS_PLEX_MODEL_H
#define AUTO_PLEX_TESTS_PLEX_MODEL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <sstream>
#include <vector>

#include "auto_plex.h"
#include "checkers.h"

namespace model {

class PlexModel {
  public:
    struct Block {
        uintptr_t record = 0;
        uintptr_t start = 0;
        uint64_t slots = 0;
        uint64_t slot_size = 0;
        uint64_t fresh = 0;            // slots never handed out start here
        std::vector<uintptr_t> freed;  // back() is the most recently freed
        uint64_t used = 0;
        uintptr_t end() const { return start + slots * slot_size; }
        bool full() const { return used == slots; }
    };

    // Takes the sizing and the idle records of a freshly initialised plex.
    explicit PlexModel(const auto_plex &p)
        : item_size_(p.item_size), step_(p.step_alloc_num), max_(p.max_num) {
        for (const auto_plex_link *l = p.idle_blocks.next; l != &p.idle_blocks; l = l->next)
            idle_.push_back(record_of_link(l));
        slot_size_ = item_size_ < 8 ? 8 : item_size_;
    }

    // Predicts auto_plex_alloc when the fail_at-th system allocation of the
    // call fails (0: none), and checks the library's answer `got`.
    ::testing::AssertionResult alloc(const auto_plex &p, void *got, int fail_at) {
        Block *b = lowest_with_room();
        if (!b) {
            b = grow(p, got, fail_at);
            if (!b) {
                if (got) return ::testing::AssertionFailure() << "expected null, got " << got;
                return ::testing::AssertionSuccess();
            }
        }
        uintptr_t want;
        if (!b->freed.empty()) {
            want = b->freed.back();
            b->freed.pop_back();
        } else {
            want = b->start + b->fresh * b->slot_size;
            b->fresh++;
        }
        b->used++;
        using_++;
        if (reinterpret_cast<uintptr_t>(got) != want)
            return ::testing::AssertionFailure()
                   << "slot " << got << ", model expected 0x" << std::hex << want;
        return ::testing::AssertionSuccess();
    }

    void free(void *ptr) {
        auto it = blocks_.upper_bound(reinterpret_cast<uintptr_t>(ptr));
        Block &b = std::prev(it)->second;
        b.freed.push_back(reinterpret_cast<uintptr_t>(ptr));
        b.used--;
        using_--;
        if (b.used == 0 && alloc_ - using_ > step_ * 3 / 2) {
            idle_.push_front(b.record);
            alloc_ -= b.slots;
            count_clear_++;
            blocks_.erase(std::prev(it));
        }
    }

    // Every observable of the library against the model.  With full false
    // only the counters and first_free_block are compared, which is enough
    // while no block came or went: the harness asks for the full walk when
    // count_expand or count_clear moved, and at the end of every input.
    ::testing::AssertionResult matches(const auto_plex &p, bool full = true) const {
        std::ostringstream err;
        auto cmp = [&err](const char *what, uint64_t lib, uint64_t mod) {
            if (lib != mod) err << what << ": library " << lib << ", model " << mod << "; ";
        };
        cmp("alloc_num", p.alloc_num, alloc_);
        cmp("using_num", p.using_num, using_);
        cmp("count_expand", p.count_expand, count_expand_);
        cmp("count_clear", p.count_clear, count_clear_);
        cmp("expand_failed", p.expand_failed, expand_failed_);
        cmp("alloc_failed", p.alloc_failed, alloc_failed_);

        if (!full) {
            const Block *lowest = const_cast<PlexModel *>(this)->lowest_with_room();
            if (reinterpret_cast<uintptr_t>(p.first_free_block) != (lowest ? lowest->record : 0))
                err << "first_free_block differs; ";
            if (!err.str().empty()) return ::testing::AssertionFailure() << err.str();
            return ::testing::AssertionSuccess();
        }

        std::vector<std::tuple<uintptr_t, uintptr_t, uint64_t, uint64_t>> lib_blocks, mod_blocks;
        for (avl_node *n = avl_tree_first_in_order(p.using_tree); n;
             n = avl_tree_next_in_order(n)) {
            const auto_plex_block *b = checkers::block_of(n);
            lib_blocks.emplace_back(reinterpret_cast<uintptr_t>(b), checkers::start_of(b),
                                    checkers::head_of(b)->alloc_num,
                                    checkers::head_of(b)->using_num);
        }
        for (const auto &[start, b] : blocks_)
            mod_blocks.emplace_back(b.record, start, b.slots, b.used);
        if (lib_blocks != mod_blocks) err << "blocks differ; ";

        std::deque<uintptr_t> lib_idle;
        for (const auto_plex_link *l = p.idle_blocks.next; l != &p.idle_blocks; l = l->next)
            lib_idle.push_back(record_of_link(l));
        if (lib_idle != idle_) err << "idle records differ; ";

        const Block *lowest = const_cast<PlexModel *>(this)->lowest_with_room();
        uintptr_t want_first = lowest ? lowest->record : 0;
        if (reinterpret_cast<uintptr_t>(p.first_free_block) != want_first)
            err << "first_free_block differs; ";

        auto valid = checkers::plex_valid(&p);
        if (!valid) err << valid.message();
        if (!err.str().empty()) return ::testing::AssertionFailure() << err.str();
        return ::testing::AssertionSuccess();
    }

    uint64_t using_num() const { return using_; }
    // Blocks created plus blocks released: moves whenever the tree changes.
    uint64_t structure_events() const { return count_expand_ + count_clear_; }
    // System blocks the plex holds: its records and the memory of live blocks.
    size_t system_blocks() const { return idle_.size() + 2 * blocks_.size(); }

  private:
    static uintptr_t record_of_link(const auto_plex_link *l) {
        return reinterpret_cast<uintptr_t>(l) - offsetof(auto_plex_block, idle_link);
    }

    Block *lowest_with_room() {
        for (auto &[start, b] : blocks_)
            if (!b.full()) return &b;
        return nullptr;
    }

    // The growth step.  System calls in order: a new record (only when an
    // unbounded plex has no idle one), then the block memory.
    Block *grow(const auto_plex &p, void *got, int fail_at) {
        uint64_t n;
        bool new_record = false;
        if (max_ != 0) {
            if (using_ >= max_ || idle_.empty()) {
                alloc_failed_++;
                return nullptr;
            }
            n = std::min(max_ - using_, step_);
        } else {
            n = step_;
            new_record = idle_.empty();
        }
        int block_call = new_record ? 2 : 1;
        if (fail_at == 1 || fail_at == block_call) {
            expand_failed_++;
            alloc_failed_++;
            return nullptr;
        }
        if (!got) return nullptr;  // the library failed where the model did not; alloc() reports it

        // Learn the new block from the library: the one whose first slot is `got`.
        Block b;
        for (avl_node *node = avl_tree_first_in_order(p.using_tree); node;
             node = avl_tree_next_in_order(node)) {
            const auto_plex_block *lb = checkers::block_of(node);
            if (checkers::start_of(lb) == reinterpret_cast<uintptr_t>(got)) {
                b.record = reinterpret_cast<uintptr_t>(lb);
                b.start = checkers::start_of(lb);
            }
        }
        if (!new_record) {
            // Must be the head idle record; if the library used another, the
            // block comparison in matches() will show it.
            if (b.record == idle_.front()) idle_.pop_front();
        }
        if (!b.start) b.start = reinterpret_cast<uintptr_t>(got);  // unknown block: mismatch later
        b.slots = n;
        b.slot_size = slot_size_;
        alloc_ += n;
        count_expand_++;
        return &blocks_.emplace(b.start, b).first->second;
    }

    uint64_t item_size_, step_, max_, slot_size_;
    uint64_t alloc_ = 0, using_ = 0, count_expand_ = 0, count_clear_ = 0;
    uint64_t expand_failed_ = 0, alloc_failed_ = 0;
    std::map<uintptr_t, Block> blocks_;  // by start address
    std::deque<uintptr_t> idle_;         // front is the list head
};

}  // namespace model

#endif
