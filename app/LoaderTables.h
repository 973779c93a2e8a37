// The dynamic loader's tables of the loaded objects (symbol and string tables, hash tables,
// relocations), which it reads through once while loading and binding and rarely again: each
// object keeps them in the read-only segment that starts with its ELF header. On an idle node
// those pages make up a good part of the resident memory (with libmosquitto's TLS libraries
// alone about 900 KB, nearly all of it libcrypto's relocations). ReleaseLoaderTables hands the
// pages of those segments back to the kernel; as they are read-only and unmodified views of
// the files, the next read (a symbol lookup, an exception's unwinding) brings a page back from
// the file as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sablewick {

struct AddressRange {
  uintptr_t begin;
  uintptr_t end;
};

// The whole pages of those tables in every loaded object: the read-only segment at the start
// of each file, leaving out any page the loader writes to (relocated data, the dynamic
// section) and objects that relocate their read-only segments.
std::vector<AddressRange> LoaderTableRanges();

// Releases the resident pages of the loader's tables of every loaded object; the bytes given
// back to the kernel's page cache (counted by the range released, not by what was resident).
std::size_t ReleaseLoaderTables();

}  // namespace sablewick
