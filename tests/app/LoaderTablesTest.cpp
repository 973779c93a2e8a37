// Releasing the loader's tables must give back only pages that read back as they were: never
// a relocated page (which would come back as the file's unrelocated bytes) or anything
// written since the start.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/LoaderTables.h"

namespace sablewick {
namespace {

struct Mapping {
  uintptr_t begin = 0;
  uintptr_t end = 0;
  std::string perms;
  std::string name;
  long anonymousKb = 0;
};

std::vector<Mapping> Mappings() {
  std::vector<Mapping> out;
  std::ifstream in("/proc/self/smaps");
  for (std::string line; std::getline(in, line);) {
    unsigned long begin = 0, end = 0;
    char perms[8] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %7s", &begin, &end, perms) == 3 &&
        line.find(':') > line.find(' ')) {
      Mapping m{begin, end, perms, "", 0};
      const auto slash = line.find('/');
      if (slash != std::string::npos) m.name = line.substr(slash);
      out.push_back(m);
    } else if (line.rfind("Anonymous:", 0) == 0 && !out.empty()) {
      out.back().anonymousKb = std::stol(line.substr(10));
    }
  }
  return out;
}

TEST(LoaderTables, OnlyUnmodifiedReadOnlyFilePagesAreTaken) {
  // Pages the process wrote to (relocated data, the GOT, the heap) must all lie outside.
  const std::vector<AddressRange> ranges = LoaderTableRanges();
  ASSERT_FALSE(ranges.empty()) << "the program and libc have loader tables of their own";
  const std::vector<Mapping> maps = Mappings();
  for (const AddressRange& r : ranges) {
    ASSERT_LT(r.begin, r.end);
    bool covered = false;
    for (const Mapping& m : maps) {
      if (m.end <= r.begin || r.end <= m.begin) continue;
      SCOPED_TRACE(m.name + " " + m.perms);
      EXPECT_TRUE(m.begin <= r.begin && r.end <= m.end) << "a range crosses mappings";
      EXPECT_EQ(m.perms, "r--p");
      EXPECT_FALSE(m.name.empty()) << "not a view of a file";
      EXPECT_EQ(m.anonymousKb, 0) << "holds pages that were written";
      covered = true;
    }
    EXPECT_TRUE(covered);
  }
}

TEST(LoaderTables, ReleasedPagesReadBackAsTheyWereAndTheProgramGoesOn) {
  const std::vector<AddressRange> ranges = LoaderTableRanges();
  std::vector<std::string> before;
  size_t total = 0;
  for (const AddressRange& r : ranges) {
    before.emplace_back(reinterpret_cast<const char*>(r.begin), r.end - r.begin);
    total += r.end - r.begin;
  }
  EXPECT_EQ(ReleaseLoaderTables(), total);
  for (size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_EQ(std::memcmp(before[i].data(), reinterpret_cast<const void*>(ranges[i].begin),
                          before[i].size()),
              0)
        << "range " << i << " changed";
  }
  // What reads the tables again: symbol lookups, loading a library, unwinding an exception.
  EXPECT_NE(::dlsym(RTLD_DEFAULT, "strlen"), nullptr);
  void* lib = ::dlopen("libz.so.1", RTLD_NOW | RTLD_LOCAL);
  if (lib != nullptr) {
    EXPECT_NE(::dlsym(lib, "zlibVersion"), nullptr);
    ::dlclose(lib);
  }
  std::string caught;
  try {
    throw std::runtime_error("through the unwinder");
  } catch (const std::exception& e) {
    caught = e.what();
  }
  EXPECT_EQ(caught, "through the unwinder");
}

}  // namespace
}  // namespace sablewick
