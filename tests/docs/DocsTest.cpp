// The documents a user reads against the tables the program is made of: every setting the node
// reads has its entry, with its default, in sablewick(1); every sablewick-ctl command in
// sablewick-ctl(1); every member of the classes scripts see in docs/scripting.md and in
// sablewick-scripting(7). A key, command or member added without its text fails here.
#include <gtest/gtest.h>
#include <stdio.h>

#include <regex>
#include <string>
#include <vector>

#include "ini/KnownSettings.h"
#include "script/Application.h"
#include "script/Process.h"
#include "script/ScriptObjects.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

using testing::ReadFile;

std::string Page(const std::string& path) {
  const std::string text = ReadFile(std::string(SABLEWICK_SOURCE_DIR) + "/" + path);
  EXPECT_FALSE(text.empty()) << path << " is missing";
  return text;
}

TEST(Docs, EverySettingTheNodeReadsHasItsEntryAndDefaultInTheManPage) {
  const std::string page = Page("docs/man/sablewick.1.md");
  for (const KnownSetting& k : kKnownSettings) {
    const std::string entry =
        "**[" + std::string(k.section) + "] " + std::string(k.key) + "** (default ";
    const size_t at = page.find(entry);
    ASSERT_NE(at, std::string::npos)
        << k.file << " [" << k.section << "] " << k.key << " has no entry in sablewick.1.md";
    const std::string rest = page.substr(at + entry.size(), 60);
    if (k.defaultValue.empty()) {
      EXPECT_TRUE(rest.starts_with("empty")) << k.key << ": " << rest;
    } else if (k.defaultValue.find('<') == std::string_view::npos) {
      EXPECT_TRUE(rest.starts_with("**" + std::string(k.defaultValue) + "**"))
          << k.key << " defaults to " << k.defaultValue << ", the page says: " << rest;
    }
    EXPECT_NE(page.find("*Config/" + std::string(k.file) + "*"), std::string::npos) << k.file;
  }
}

TEST(Docs, EveryCtlCommandHasItsEntryInTheManPage) {
  const std::string page = Page("docs/man/sablewick-ctl.1.md");
  // The commands as the tool lists them: "  NAME ARGUMENTS   help" lines after "commands:".
  FILE* help = ::popen(SABLEWICK_CTL " --help", "r");
  ASSERT_NE(help, nullptr);
  std::string usage;
  char buffer[4096];
  for (size_t n; (n = ::fread(buffer, 1, sizeof buffer, help)) > 0;) usage.append(buffer, n);
  EXPECT_EQ(::pclose(help), 0);
  const size_t start = usage.find("commands:\n");
  ASSERT_NE(start, std::string::npos) << usage;
  const std::string list = usage.substr(start, usage.find("\n\n", start) - start);
  const std::regex line("\n  ([a-z-]+)");
  std::vector<std::string> commands;
  for (auto it = std::sregex_iterator(list.begin(), list.end(), line); it != std::sregex_iterator();
       ++it) {
    commands.push_back((*it)[1]);
  }
  EXPECT_GE(commands.size(), 9u) << list;
  for (const std::string& c : commands) {
    EXPECT_NE(page.find("\n**" + c + "**"), std::string::npos)
        << "sablewick-ctl " << c << " has no entry in sablewick-ctl.1.md";
  }
}

template <class T>
std::vector<std::string> MemberNames() {
  std::vector<std::string> names;
  for (const auto& m : T::kMembers) names.emplace_back(m.name);
  return names;
}

TEST(Docs, EveryMemberScriptsSeeIsInTheGuideAndTheManPage) {
  const std::string guide = Page("docs/scripting.md");
  const std::string man = Page("docs/man/sablewick-scripting.7.md");
  const std::pair<std::string, std::vector<std::string>> classes[] = {
      {"Application", MemberNames<Application>()},
      {"XapMessage", MemberNames<XapMessageObject>()},
      {"Collection", MemberNames<ItemCollectionObject>()},
      {"WshScriptExec", MemberNames<ProcessObject>()},
  };
  for (const auto& [type, members] : classes) {
    ASSERT_FALSE(members.empty()) << type;
    for (const std::string& name : members) {
      EXPECT_TRUE(std::regex_search(guide, std::regex("[`#(, ]" + name + "[`( ,\\n]")))
          << type << "." << name << " is not in docs/scripting.md";
      EXPECT_NE(man.find("**" + name + "**"), std::string::npos)
          << type << "." << name << " is not in sablewick-scripting.7.md";
    }
  }
}

}  // namespace
}  // namespace sablewick
