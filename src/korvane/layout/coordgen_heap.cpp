// The ordered region behind CoordgenHeapScope, and the redirection of the coordinate
// generator's operator new and delete into it: the library's entries for them in its
// global offset table are pointed at the functions here, which take memory from the
// region inside a scope on this thread and from the usual allocator otherwise, and
// which give every pointer back to where it came from.
#include "korvane/layout/coordgen_heap.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>
#define KORVANE_COORDGEN_HEAP 1
#endif

namespace korvane::layout {
namespace {

// Whether this thread is inside a scope.
thread_local bool t_in_scope = false;

#ifdef KORVANE_COORDGEN_HEAP

using NewFn = void* (*)(std::size_t);
using NothrowNewFn = void* (*)(std::size_t, const std::nothrow_t&);
using DeleteFn = void (*)(void*);
using SizedDeleteFn = void (*)(void*, std::size_t);

NewFn g_real_new = nullptr;
NewFn g_real_new_array = nullptr;
NothrowNewFn g_real_nothrow_new = nullptr;
NothrowNewFn g_real_nothrow_new_array = nullptr;
DeleteFn g_real_delete = nullptr;
DeleteFn g_real_delete_array = nullptr;
SizedDeleteFn g_real_sized_delete = nullptr;
SizedDeleteFn g_real_sized_delete_array = nullptr;

// Memory kept mapped after a scope gives its memory back, so that the next one does not
// fault its pages in again; what a large molecule took beyond it is returned.
constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

// One reserved range of address space. Within a scope, a block freed in that scope is
// reused for the next request of its size (last freed, first reused), and new blocks
// are cut upwards from the range; so every address follows from the scope's own
// requests and frees alone. A scope starts where the previous one started when all that
// one allocated has been given back, and above the previous one's memory otherwise
// (objects the generator keeps, such as its ring templates); the range starts over once
// nothing in it is live. Each block is preceded by a 16-byte header holding its size.
class OrderedRegion {
 public:
  bool reserve() {
    for (std::size_t size = std::size_t{1} << 36; size >= (std::size_t{1} << 28); size >>= 1) {
      void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (p != MAP_FAILED) {
        base_ = static_cast<char*>(p);
        capacity_ = size;
        return true;
      }
    }
    return false;
  }

  void begin_scope() {
    std::lock_guard<std::mutex> lock(mutex_);
    forget_free_blocks();
    if (live_scope_ == 0) {
      top_ = scope_start_;
    } else {
      live_older_ += live_scope_;
      live_scope_ = 0;
      scope_start_ = top_;
    }
    if (live_older_ == 0) top_ = scope_start_ = 0;
    open_ = true;
  }

  void end_scope() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    forget_free_blocks();
    const std::size_t end = (live_scope_ == 0 ? scope_start_ : top_) + kKeptBytes;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t from = (end + page - 1) / page * page;
    if (high_water_ > from) {
      madvise(base_ + from, high_water_ - from, MADV_DONTNEED);
      high_water_ = from;
    }
  }

  // Null when the range is full (the caller then takes the usual allocator).
  void* allocate(std::size_t n) {
    if (n > capacity_) return nullptr;
    const std::size_t size = n == 0 ? kHeader : (n + kHeader - 1) / kHeader * kHeader;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<char*>& reusable = free_blocks(size);
    char* block = nullptr;
    if (!reusable.empty()) {
      block = reusable.back();
      reusable.pop_back();
    } else {
      if (size + kHeader > capacity_ - top_) return nullptr;
      block = base_ + top_ + kHeader;
      top_ += size + kHeader;
      if (top_ > high_water_) high_water_ = top_;
      *reinterpret_cast<std::size_t*>(block - kHeader) = size;
    }
    ++live_scope_;
    return block;
  }

  // False for a pointer from elsewhere.
  bool release(void* p) {
    auto* c = static_cast<char*>(p);
    if (base_ == nullptr || c < base_ || c >= base_ + capacity_) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<std::size_t>(c - base_) >= scope_start_) {
      --live_scope_;
      if (open_) free_blocks(*reinterpret_cast<const std::size_t*>(c - kHeader)).push_back(c);
    } else {
      --live_older_;
    }
    return true;
  }

 private:
  static constexpr std::size_t kHeader = 16;  // also the blocks' alignment
  static constexpr std::size_t kSmallSizes = 256;  // sizes up to 4 KiB have a list each

  std::vector<char*>& free_blocks(std::size_t size) {
    if (size <= kSmallSizes * kHeader) return small_free_[size / kHeader - 1];
    return large_free_[size];
  }

  void forget_free_blocks() {
    for (auto& list : small_free_) list.clear();
    large_free_.clear();
  }

  std::mutex mutex_;
  char* base_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t top_ = 0;          // offset of the next new block's header
  std::size_t scope_start_ = 0;  // offset of the current (or last) scope's first block
  std::size_t high_water_ = 0;   // offset below which pages may be mapped in
  std::size_t live_scope_ = 0;   // live blocks at or above scope_start_
  std::size_t live_older_ = 0;   // live blocks below it
  bool open_ = false;            // a scope is under way: its freed blocks are reused
  // The lists and the map allocate from the usual allocator (this library's new is not
  // redirected), never from the range.
  std::vector<char*> small_free_[kSmallSizes];
  std::map<std::size_t, std::vector<char*>> large_free_;
};

OrderedRegion g_region;

void* region_or_null(std::size_t n) { return t_in_scope ? g_region.allocate(n) : nullptr; }

void* scoped_new(std::size_t n) {
  if (void* p = region_or_null(n)) return p;
  return g_real_new(n);
}
void* scoped_new_array(std::size_t n) {
  if (void* p = region_or_null(n)) return p;
  return g_real_new_array(n);
}
void* scoped_nothrow_new(std::size_t n, const std::nothrow_t& tag) noexcept {
  if (void* p = region_or_null(n)) return p;
  return g_real_nothrow_new(n, tag);
}
void* scoped_nothrow_new_array(std::size_t n, const std::nothrow_t& tag) noexcept {
  if (void* p = region_or_null(n)) return p;
  return g_real_nothrow_new_array(n, tag);
}
void scoped_delete(void* p) noexcept {
  if (!g_region.release(p)) g_real_delete(p);
}
void scoped_delete_array(void* p) noexcept {
  if (!g_region.release(p)) g_real_delete_array(p);
}
void scoped_sized_delete(void* p, std::size_t n) noexcept {
  if (!g_region.release(p)) g_real_sized_delete(p, n);
}
void scoped_sized_delete_array(void* p, std::size_t n) noexcept {
  if (!g_region.release(p)) g_real_sized_delete_array(p, n);
}

struct Replacement {
  const char* symbol;
  void* ours;
  void** real;  // where the C++ library's own function is kept
};

const Replacement kReplacements[] = {
    {"_Znwm", reinterpret_cast<void*>(&scoped_new), reinterpret_cast<void**>(&g_real_new)},
    {"_Znam", reinterpret_cast<void*>(&scoped_new_array),
     reinterpret_cast<void**>(&g_real_new_array)},
    {"_ZnwmRKSt9nothrow_t", reinterpret_cast<void*>(&scoped_nothrow_new),
     reinterpret_cast<void**>(&g_real_nothrow_new)},
    {"_ZnamRKSt9nothrow_t", reinterpret_cast<void*>(&scoped_nothrow_new_array),
     reinterpret_cast<void**>(&g_real_nothrow_new_array)},
    {"_ZdlPv", reinterpret_cast<void*>(&scoped_delete), reinterpret_cast<void**>(&g_real_delete)},
    {"_ZdaPv", reinterpret_cast<void*>(&scoped_delete_array),
     reinterpret_cast<void**>(&g_real_delete_array)},
    {"_ZdlPvm", reinterpret_cast<void*>(&scoped_sized_delete),
     reinterpret_cast<void**>(&g_real_sized_delete)},
    {"_ZdaPvm", reinterpret_cast<void*>(&scoped_sized_delete_array),
     reinterpret_cast<void**>(&g_real_sized_delete_array)},
};

const Replacement* replacement_for(const char* name) {
  for (const Replacement& r : kReplacements)
    if (std::strcmp(r.symbol, name) == 0) return &r;
  return nullptr;
}

// An allocation function of the C++ library (operator new or delete in any form).
bool is_allocation_symbol(const char* name) {
  return std::strncmp(name, "_Znw", 4) == 0 || std::strncmp(name, "_Zna", 4) == 0 ||
         std::strncmp(name, "_Zdl", 4) == 0 || std::strncmp(name, "_Zda", 4) == 0;
}

#if defined(__x86_64__)
constexpr std::uint32_t kJumpSlot = R_X86_64_JUMP_SLOT, kGlobDat = R_X86_64_GLOB_DAT;
#else
constexpr std::uint32_t kJumpSlot = R_AARCH64_JUMP_SLOT, kGlobDat = R_AARCH64_GLOB_DAT;
#endif

struct Slot {
  void** address;
  const Replacement* replacement;
  ElfW(Addr) relro_begin, relro_end;  // the object's read-only-after-relocation part
};

bool is_delete(const Replacement& r) { return std::strncmp(r.symbol, "_Zd", 3) == 0; }

// An object's table entries for the forms of operator new and delete replaced here: all
// of them in the generator (`generator`), where false means it imports a form that is
// not replaced (its memory could then reach a delete that does not know the region);
// only the deletes elsewhere, as other libraries' copies of the standard containers'
// functions, to which the generator's calls may be bound, free its memory too.
bool find_slots(const dl_phdr_info* info, bool generator, std::vector<Slot>& slots) {
  const ElfW(Dyn)* dynamic = nullptr;
  ElfW(Addr) relro_begin = 0, relro_end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + ph.p_vaddr);
    if (ph.p_type == PT_GNU_RELRO) {
      relro_begin = info->dlpi_addr + ph.p_vaddr;
      relro_end = relro_begin + ph.p_memsz;
    }
  }
  if (dynamic == nullptr) return !generator;
  // The loader has already added the load address to these entries on this platform;
  // an entry below it has not been relocated.
  const auto absolute = [&](ElfW(Addr) a) {
    return a < info->dlpi_addr ? a + info->dlpi_addr : a;
  };
  const ElfW(Sym)* symbols = nullptr;
  const char* names = nullptr;
  const ElfW(Rela)* tables[2] = {nullptr, nullptr};
  std::size_t sizes[2] = {0, 0};
  bool rela_plt = true;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym)*>(absolute(d->d_un.d_ptr)); break;
      case DT_STRTAB: names = reinterpret_cast<const char*>(absolute(d->d_un.d_ptr)); break;
      case DT_JMPREL: tables[0] = reinterpret_cast<const ElfW(Rela)*>(absolute(d->d_un.d_ptr)); break;
      case DT_PLTRELSZ: sizes[0] = d->d_un.d_val; break;
      case DT_RELA: tables[1] = reinterpret_cast<const ElfW(Rela)*>(absolute(d->d_un.d_ptr)); break;
      case DT_RELASZ: sizes[1] = d->d_un.d_val; break;
      case DT_PLTREL: rela_plt = d->d_un.d_val == DT_RELA; break;
      default: break;
    }
  }
  if (symbols == nullptr || names == nullptr || !rela_plt) return !generator;
  for (int t = 0; t < 2; ++t) {
    if (tables[t] == nullptr) continue;
    for (std::size_t k = 0; k < sizes[t] / sizeof(ElfW(Rela)); ++k) {
      const ElfW(Rela)& r = tables[t][k];
      const auto type = static_cast<std::uint32_t>(ELF64_R_TYPE(r.r_info));
      if (type != kJumpSlot && type != kGlobDat) continue;
      const char* name = names + symbols[ELF64_R_SYM(r.r_info)].st_name;
      if (!is_allocation_symbol(name)) continue;
      const Replacement* rep = replacement_for(name);
      if (rep == nullptr) {
        if (generator) return false;
        continue;
      }
      if (!generator && !is_delete(*rep)) continue;
      slots.push_back({reinterpret_cast<void**>(info->dlpi_addr + r.r_offset), rep, relro_begin,
                       relro_end});
    }
  }
  return true;
}

bool write_slot(const Slot& s) {
  const auto page = static_cast<ElfW(Addr)>(sysconf(_SC_PAGESIZE));
  const ElfW(Addr) at = reinterpret_cast<ElfW(Addr)>(s.address) / page * page;
  if (mprotect(reinterpret_cast<void*>(at), page, PROT_READ | PROT_WRITE) != 0) return false;
  __atomic_store_n(s.address, s.replacement->ours, __ATOMIC_SEQ_CST);
  // The loader made the whole pages of the read-only-after-relocation part read-only.
  if (at >= s.relro_begin && at + page <= s.relro_end)
    mprotect(reinterpret_cast<void*>(at), page, PROT_READ);
  return true;
}

struct Scan {
  bool generator_found = false, generator_supported = true;
  std::vector<Slot> generator_slots, other_slots;
};

int scan_object(dl_phdr_info* info, std::size_t, void* data) {
  auto& scan = *static_cast<Scan*>(data);
  const bool generator =
      info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "libcoordgen.so") != nullptr;
  if (generator) scan.generator_found = true;
  if (!find_slots(info, generator, generator ? scan.generator_slots : scan.other_slots))
    scan.generator_supported = false;
  return 0;
}

int note_program_base(dl_phdr_info* info, std::size_t, void* data) {
  // The first object listed is the program itself; its base is its lowest loaded segment.
  ElfW(Addr) lowest = ~ElfW(Addr){0};
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
      lowest = info->dlpi_phdr[i].p_vaddr;
  *static_cast<ElfW(Addr)*>(data) = info->dlpi_addr + lowest;
  return 1;
}

// Whether operator delete is defined in the program itself (a statically linked sanitizer
// runtime or allocator): the program's own calls then reach it directly, past every table
// this file can rewrite, so memory of the region could be handed to the real delete.
bool program_defines_delete() {
  void* del = dlsym(RTLD_DEFAULT, "_ZdlPv");
  Dl_info where{};
  if (del == nullptr || dladdr(del, &where) == 0) return true;
  ElfW(Addr) program = 0;
  dl_iterate_phdr(&note_program_base, &program);
  return reinterpret_cast<ElfW(Addr)>(where.dli_fbase) == program;
}

bool patch_generator() {
  if (program_defines_delete()) return false;
  Scan scan;
  dl_iterate_phdr(&scan_object, &scan);
  if (!scan.generator_found || !scan.generator_supported || scan.generator_slots.empty())
    return false;
  for (const Replacement& r : kReplacements) *r.real = dlsym(RTLD_DEFAULT, r.symbol);
  for (const Slot& s : scan.generator_slots)
    if (*s.replacement->real == nullptr) return false;
  for (const Slot& s : scan.other_slots)
    if (*s.replacement->real == nullptr) return false;
  if (!g_region.reserve()) return false;
  // Every delete first: they know both kinds of memory, so a new left as it was (when a
  // page cannot be written) never hands them a pointer they do not know.
  for (const Slot& s : scan.other_slots)
    if (!write_slot(s)) return false;
  for (const bool deletes : {true, false})
    for (const Slot& s : scan.generator_slots)
      if (is_delete(*s.replacement) == deletes && !write_slot(s)) return false;
  return true;
}

bool install() {
  static const bool installed = patch_generator();
  return installed;
}

#else

bool install() { return false; }

#endif

}  // namespace

CoordgenHeapScope::CoordgenHeapScope() {
  if (!install()) return;
#ifdef KORVANE_COORDGEN_HEAP
  g_region.begin_scope();
#endif
  t_in_scope = true;
  active_ = true;
}

CoordgenHeapScope::~CoordgenHeapScope() {
  if (!active_) return;
  t_in_scope = false;
#ifdef KORVANE_COORDGEN_HEAP
  g_region.end_scope();
#endif
}

bool coordgen_heap_installed() { return install(); }

}  // namespace korvane::layout
