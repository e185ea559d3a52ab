// The C++ face of libauto_plex: header-only, on top of the C API.
//
//   ap::pmem_resource         std::pmr::memory_resource over pmem, one module id
//   ap::accounted_resource    std::pmr::memory_resource over the accounted
//                             wrappers of one registered module (its byte limit
//                             makes allocations throw std::bad_alloc)
//   ap::pmem_allocator<T>     standard allocator over pmem carrying a module id
//   ap::object_pool<T>        typed, owning handle of an auto_plex
//
// Everything here throws where the C API returns null: std::bad_alloc, or
// ap::alignment_error (a std::bad_alloc) for alignments above 16 bytes, which
// none of the three allocators can honour.  The C contract checks still hold
// (a pmem module id must be below PMEM_MID_N, a mem_statis id registered) and
// still stop the process.  This layer adds no state and no locks of its own:
// it is as safe from any thread as the C API beneath it.
//
// pmem_init is the host's business, once, at start-up: before it pmem passes
// every call to the system allocator, and memory must be released on the same
// side of pmem_init that it was obtained on.
#ifndef LIBAUTO_PLEX_LIBAUTO_PLEX_HPP
#define LIBAUTO_PLEX_LIBAUTO_PLEX_HPP

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <memory_resource>
#include <new>
#include <type_traits>
#include <utility>

#include "auto_plex.h"
#include "malloc_statis.h"
#include "pmem.h"

namespace ap {

// The alignment every allocation of pmem, of the system allocator and of an
// object_pool slot is guaranteed to have.
inline constexpr std::size_t max_alignment = 16;

class alignment_error : public std::bad_alloc {
  public:
    const char *what() const noexcept override {
        return "libauto_plex: alignment above 16 bytes requested";
    }
};

namespace detail {

inline void check_alignment(std::size_t alignment) {
    if (alignment > max_alignment) throw alignment_error();
}

inline void *or_throw(void *p) {
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace detail

// ---- memory resources ------------------------------------------------------

// Requires: mid < PMEM_MID_N.  Any two pmem_resources are interchangeable: a
// release needs no module id (the header names the module charged), so they
// compare equal whatever their ids.
class pmem_resource final : public std::pmr::memory_resource {
  public:
    explicit pmem_resource(std::uint16_t mid = 0) noexcept : mid_(mid) {}
    std::uint16_t module_id() const noexcept { return mid_; }

  private:
    void *do_allocate(std::size_t bytes, std::size_t alignment) override {
        detail::check_alignment(alignment);
        return detail::or_throw(pmem_malloc(mid_, bytes));
    }
    void do_deallocate(void *p, std::size_t, std::size_t) override { pmem_free(p); }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
#if defined(__cpp_rtti) || defined(__GXX_RTTI)
        return dynamic_cast<const pmem_resource *>(&other) != nullptr;
#else
        return this == &other;
#endif
    }

    std::uint16_t mid_;
};

// Allocations are accounted to one mem_statis module and refused past its
// limit (set_module_mem_limit) with std::bad_alloc.  Releases take the bytes
// out of that module's account, so two resources are equal only when they
// account to the same module.
class accounted_resource final : public std::pmr::memory_resource {
  public:
    // Requires: a registered module id.
    explicit accounted_resource(int module_id) noexcept : id_(module_id) {}
    // Registers `name` (or finds it); throws std::bad_alloc when that fails.
    explicit accounted_resource(const char *name) : id_(reg_module_id(name)) {
        if (id_ < 0) throw std::bad_alloc();
    }
    int module_id() const noexcept { return id_; }

  private:
    void *do_allocate(std::size_t bytes, std::size_t alignment) override {
        detail::check_alignment(alignment);
        return detail::or_throw(malloc_with_statis(bytes, id_));
    }
    void do_deallocate(void *p, std::size_t, std::size_t) override { free_with_statis(p, id_); }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
#if defined(__cpp_rtti) || defined(__GXX_RTTI)
        const auto *o = dynamic_cast<const accounted_resource *>(&other);
        return o && o->id_ == id_;
#else
        return this == &other;
#endif
    }

    int id_;
};

// ---- allocator ---------------------------------------------------------------

// A standard allocator charging pmem module `mid` (default 0, "default").
//
// Equality: storage from any pmem_allocator can be released by any other
// (pmem_free reads the module from the header), so all compare equal and
// containers may always steal each other's buffers.  The module id is who
// pays for the container's future allocations and stays with the container:
// assignment and swap do not carry it over, while a copy-constructed container
// charges the module of its source.
template <class T>
class pmem_allocator {
  public:
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::false_type;
    using propagate_on_container_swap = std::false_type;
    using is_always_equal = std::true_type;

    constexpr pmem_allocator() noexcept = default;
    constexpr explicit pmem_allocator(std::uint16_t mid) noexcept : mid_(mid) {}
    template <class U>
    constexpr pmem_allocator(const pmem_allocator<U> &other) noexcept : mid_(other.module_id()) {}

    constexpr std::uint16_t module_id() const noexcept { return mid_; }

    T *allocate(std::size_t n) {
        static_assert(alignof(T) <= max_alignment,
                      "pmem_allocator: pmem aligns allocations to 16 bytes only");
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T *>(detail::or_throw(pmem_malloc(mid_, n * sizeof(T))));
    }
    void deallocate(T *p, std::size_t) noexcept { pmem_free(p); }

  private:
    std::uint16_t mid_ = 0;
};

template <class T, class U>
constexpr bool operator==(const pmem_allocator<T> &, const pmem_allocator<U> &) noexcept {
    return true;
}

// ---- object pool -------------------------------------------------------------

// An auto_plex holding objects of type T.  The control block lives on the
// heap: the plex registry and the block list link to it by address, so moving
// the pool moves only the handle.  Reports show the pool under its name.
//
// The destructor releases every block without running the destructors of
// objects still live; destroy() them first unless T is trivially
// destructible.  A moved-from pool may only be destroyed or assigned to.
template <class T>
class object_pool {
    // Slots lie at a 16-byte-aligned base plus multiples of the item size,
    // sizeof(T), which alignof(T) divides: every slot is aligned for T as long
    // as alignof(T) divides 16.
    static_assert(alignof(T) <= max_alignment,
                  "object_pool: auto_plex slots are aligned to 16 bytes only");
    static_assert(std::is_object_v<T> && !std::is_array_v<T> && !std::is_const_v<T>);

    struct clear_and_delete {
        void operator()(auto_plex *ctl) const noexcept {
            auto_plex_clear(ctl);  // safe on the zero-filled block of a failed init
            delete ctl;
        }
    };

  public:
    // At most max_num objects at once (0: unbounded).  Throws std::bad_alloc
    // when memory runs out.  Requires: name not null.
    explicit object_pool(const char *name, std::uint64_t max_num = 0) : ctl_(new auto_plex()) {
        if (auto_plex_init(ctl_.get(), sizeof(T), max_num, name) != 0) throw std::bad_alloc();
    }

    object_pool(object_pool &&) noexcept = default;
    object_pool &operator=(object_pool &&) noexcept = default;

    // A new T(args...) in a free slot.  Throws std::bad_alloc when the pool
    // is full or memory runs out; if T's constructor throws, the slot goes back.
    template <class... Args>
    T *create(Args &&...args) {
        return static_cast<T *>(detail::or_throw(try_create(std::forward<Args>(args)...)));
    }

    // As create, but null when the pool is full or memory runs out.
    template <class... Args>
    T *try_create(Args &&...args) {
        void *slot = auto_plex_alloc(ctl_.get());
        if (!slot) return nullptr;
        if constexpr (std::is_nothrow_constructible_v<T, Args...>) {
            return ::new (slot) T(std::forward<Args>(args)...);
        } else {
            try {
                return ::new (slot) T(std::forward<Args>(args)...);
            } catch (...) {
                auto_plex_free(ctl_.get(), slot);
                throw;
            }
        }
    }

    // Destroys *p and gives its slot back; null does nothing.  Requires: p
    // from create/try_create of this pool, not yet destroyed.
    void destroy(T *p) noexcept {
        if (!p) return;
        p->~T();
        auto_plex_free(ctl_.get(), p);
    }

    // The control block: counters (using_num, alloc_num, ...) and the record
    // the reports list.
    const auto_plex &control() const noexcept { return *ctl_; }

  private:
    std::unique_ptr<auto_plex, clear_and_delete> ctl_;
};

}  // namespace ap

#endif
