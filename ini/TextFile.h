// Whole-file reads and crash-safe whole-file replacement for the INI store and the script
// files it edits. Bytes pass through unchanged.
#pragma once

#include <string>
#include <string_view>

namespace sablewick {

// Failures of files that are not what they should be (a folder, a FIFO): "Path/File access error".
inline constexpr int kPathFileAccessError = 75;

// Reads the whole file. Throws Failure when it cannot be opened or read, or is not a regular
// file (a FIFO never holds the caller: it is refused, not opened for a read that blocks).
std::string ReadTextFile(const std::string& path);

// Replaces the file with `text` so that readers only ever see the old or the new content: the
// text goes to a temporary file in the same folder, is flushed to disk, and is renamed over
// the target. A symbolic link is followed and its target replaced; an existing file keeps its
// permission bits, a new one is made 0600 whatever the umask. On failure the old file is
// untouched, the temporary file is removed, and a Failure is thrown.
void ReplaceTextFile(const std::string& path, std::string_view text);

// Creates the file with `text` unless something already stands at `path`: false then, and
// nothing there is touched. Readers see no file or the whole text, never a part of it (written
// beside and renamed into place without replacing).
bool CreateTextFile(const std::string& path, std::string_view text);

// Removes the temporary files of replacements that were killed before their rename
// (".NAME.tmpPID-N" in folder) whose process is gone: those of the file named base, or of
// every file when base is empty. ReplaceTextFile does it for its own file; start-up for the
// folders the program writes to.
void RemoveStaleTempFiles(const std::string& folder, std::string_view base = {});

}  // namespace sablewick
