// One INI file kept in memory as a flat, insertion-ordered table keyed by upper-case section
// and key names, and written back as the file it was: only the lines of the keys that were set
// or removed change. Made fresh for every settings access: Load, then reads and writes, then
// Save. The same class installs INI values into the text of a script file as constants,
// assignments and Array(...) initialisations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/App.h"

namespace sablewick {

// A settings file at fPath: true when it was missing and is now created with initialText
// (with its folders; never half written), false when a regular file stands there, which is
// left as it is. Throws Failure, saying what stands there, for anything else (a folder, a
// FIFO, a link to nowhere) or when it cannot be created.
bool EnsureSettingsFile(App& app, const std::string& fPath, std::string_view initialText = {});

class IniTool {
 public:
  explicit IniTool(App& app);

  // The installation operations rewrite the script file `filename` in place (atomically) and
  // add a line to the install log beside the INI file. They need a loaded store whose file
  // still exists, and throw on every failure; a failure leaves the script file as it was.
  // Section and key names go into the patterns as they are, without escaping.

  // Every key of the section becomes the value of a matching "Const" or line-start assignment.
  void InstallKeys(const std::string& filename, const std::string& headerName);
  // One name and value, installed the way InstallKeys installs a key. An empty name does
  // nothing but the log line.
  void InstallConstant(const std::string& filename, const std::string& keyName,
                       const std::string& keyValue);
  // On every line that starts with a key name, the rest of the line after the name is
  // replaced by the key's value.
  void InstallStrings(const std::string& filename, const std::string& headerName);
  // The section's key names become the Array(...) of array1Name, its values (cut before a "'"
  // comment) the Array(...) of array2Name.
  void InstallArray(const std::string& filename, const std::string& headerName,
                    const std::string& array1Name, const std::string& array2Name);

  // Reads the file; a missing file is created empty (with its folders). A file that exists but
  // cannot be read throws.
  void Load(const std::string& fPath);
  void DumpHashTable() {}
  // The stored value, or defaultValue when the key is missing or its value is empty.
  std::string Read(std::string_view header, std::string_view key,
                   std::string_view defaultValue) const;
  // Sets a key: in the file, the line that Read takes it from gets the new value (the text up
  // to its "=" stays as written); a key the file lacks gets a line at the end of its section
  // (of the section's last part, when its header appears more than once), a section the file
  // lacks comes at the end of the file. Names are written as given here.
  void WriteKey(std::string_view header, std::string_view key, std::string_view newValue);
  // Removes a key: in the file, every line of it in its section (repeats too, which would
  // otherwise come back on the next Load). Its section header stays.
  void Remove(std::string_view header, std::string_view key);
  // Section names as first written, in insertion order; empty when there are none.
  std::vector<std::string> Headers() const;
  // Upper-case key names of a section (the header is a case-insensitive pattern); always at
  // least one element, the empty text when the section has no keys. A header that is not a
  // valid pattern matches nothing and is reported.
  std::vector<std::string> Keys(std::string_view header) const;
  // The same, but a header that is no valid pattern (reported as always) is also thrown to the
  // caller as a Failure.
  std::vector<std::string> KeysOrThrow(std::string_view header) const;
  // Forgets the table and the loaded text: a Save then writes only what is written after it.
  void Clear();
  // Writes the file atomically after copying the old one to FilePath + "_bck": the loaded text
  // with the changes made since, in the line ending the file uses (its first line's; LF for a
  // file without one). Comments, blank lines, and the case, order and spacing of everything
  // not set are kept byte for byte. Failures are reported, never thrown; the old file stays
  // intact. A name or value that would not read back as written (a line break in it, a key
  // name holding "=" or starting like a comment) fails before the file is touched.
  void Save();
  // The same, and then the failure reaches the caller as well. When the file was created empty
  // by Load, a failed save removes it again (and the empty backup it made of it).
  void SaveOrThrow();

  const std::string& FilePath() const { return filePath_; }

 private:
  std::vector<std::string> Keys(std::string_view header, bool orThrow) const;
  // Appends the run to the install log (when the INI path has a "." to cut at) and returns
  // the marker comment that ends every rewritten line.
  std::string LogInstall(const std::string& filename, const std::string& name);

  // Section entries (key = upper-case name, value = name as first written) and item entries
  // (key = upper-case section, "~", upper-case key name; value = the value text). The kind and
  // the length of an item's section part are kept explicitly: no value can pass for a section,
  // and a section name holding "~" still tells where its key name starts.
  struct Entry {
    std::string key;
    std::string value;
    uint32_t sectionLength = 0;  // items only
    bool isSection = false;
    bool removed = false;
  };

  const Entry* Find(const std::string& key) const;
  // Adds the entry unless the key exists; returns false when it did.
  bool AddSection(std::string_view name);
  bool AddItem(std::string_view header, std::string_view key, std::string_view value);
  bool Add(Entry entry);
  void Erase(const std::string& key);
  void SaveFile() const;
  // The loaded text with the changes made since.
  std::string SavedText() const;
  bool createdByLoad_ = false;

  App& app_;
  std::string filePath_;
  // Insertion order lives in entries_; index_ maps a key to its slot. Removed entries stay as
  // tombstones until they outnumber the live ones.
  std::vector<Entry> entries_;
  std::unordered_map<std::string, uint32_t> index_;
  size_t removedCount_ = 0;

  // The file as Load read it; Save writes it back with the changes.
  std::string text_;
  // Item keys removed since Load (and not written again): their lines go.
  std::unordered_set<std::string> removedKeys_;
  // Section and key names of the items WriteKey added, as the caller spelled them: the table
  // keeps upper case only, and the file holds no line for them yet.
  struct Spelling {
    std::string header, key;
  };
  std::unordered_map<std::string, Spelling> addedNames_;
};

}  // namespace sablewick
