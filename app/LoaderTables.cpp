#include "app/LoaderTables.h"

#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace sablewick {
namespace {

// True when the object asks the loader to write into its read-only segments while relocating
// (text relocations): those pages are private copies then, not views of the file.
bool HasTextRelocations(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info.dlpi_phdr[i];
    if (ph.p_type != PT_DYNAMIC) continue;
    const auto* dyn = reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + ph.p_vaddr);
    const std::size_t count = ph.p_memsz / sizeof(ElfW(Dyn));
    for (std::size_t k = 0; k < count && dyn[k].d_tag != DT_NULL; ++k) {
      if (dyn[k].d_tag == DT_TEXTREL) return true;
      if (dyn[k].d_tag == DT_FLAGS && (dyn[k].d_un.d_val & DF_TEXTREL) != 0) return true;
    }
  }
  return false;
}

bool Overlaps(uintptr_t begin, uintptr_t end, uintptr_t otherBegin, uintptr_t otherEnd) {
  return begin < otherEnd && otherBegin < end;
}

int CollectObject(dl_phdr_info* info, size_t, void* out) {
  auto& ranges = *static_cast<std::vector<AddressRange>*>(out);
  // (The vDSO's one segment is executable, so it never qualifies.)
  if (info->dlpi_phnum == 0) return 0;
  if (HasTextRelocations(*info)) return 0;
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    // Only the read-only segment that maps the start of the file, fully backed by it.
    if (ph.p_type != PT_LOAD || ph.p_offset != 0 || ph.p_flags != PF_R) continue;
    if (ph.p_filesz != ph.p_memsz) continue;
    const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    // Whole pages only: a page shared with a neighbouring segment stays.
    const uintptr_t begin = (start + page - 1) & ~(page - 1);
    const uintptr_t end = (start + ph.p_memsz) & ~(page - 1);
    if (end <= begin) continue;
    bool clear = true;
    for (int j = 0; j < info->dlpi_phnum && clear; ++j) {
      const ElfW(Phdr)& other = info->dlpi_phdr[j];
      // Anything the loader writes to (relocated data, the dynamic section) is not touched.
      const bool written = (other.p_type == PT_LOAD && (other.p_flags & PF_W) != 0) ||
                           other.p_type == PT_GNU_RELRO || other.p_type == PT_DYNAMIC ||
                           other.p_type == PT_TLS;
      if (!written) continue;
      const uintptr_t otherStart = info->dlpi_addr + other.p_vaddr;
      const uintptr_t otherBegin = otherStart & ~(page - 1);
      const uintptr_t otherEnd = (otherStart + other.p_memsz + page - 1) & ~(page - 1);
      clear = !Overlaps(begin, end, otherBegin, otherEnd);
    }
    if (clear) ranges.push_back({begin, end});
  }
  return 0;
}

}  // namespace

std::vector<AddressRange> LoaderTableRanges() {
  std::vector<AddressRange> ranges;
  ::dl_iterate_phdr(&CollectObject, &ranges);
  return ranges;
}

std::size_t ReleaseLoaderTables() {
  std::size_t total = 0;
  for (const AddressRange& r : LoaderTableRanges()) {
    // The pages are clean views of the file: MADV_DONTNEED drops them, the next read maps them
    // again from the file.
    if (::madvise(reinterpret_cast<void*>(r.begin), r.end - r.begin, MADV_DONTNEED) == 0) {
      total += r.end - r.begin;
    }
  }
  return total;
}

}  // namespace sablewick
