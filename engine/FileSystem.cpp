// "Scripting.FileSystemObject" with its File, Folder, Files, Folders and TextStream
// objects, on std::filesystem. Backslashes that scripts write are read as "/", and either
// separator ends a name in the pure text functions (GetFileName, ...). File names are UTF-8
// on disk (a name that is not reads with U+DC00 + byte for each stray byte and finds the
// same file again). Text files are UTF-8 (a byte order mark is skipped when read), or
// UTF-16LE with a byte order mark when opened with the Unicode format (TristateTrue, -1);
// lines end in "\n" when written and in "\n" or "\r\n" when read.
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "engine/Library.h"

namespace vbs {

using namespace lib;
namespace fs = std::filesystem;

namespace {

constexpr int32_t kBadFileMode = 54;
constexpr int32_t kFileExists = 58;
constexpr int32_t kInputPastEnd = 62;
enum IoMode : int32_t { kForReading = 1, kForWriting = 2, kForAppending = 8 };

// A file name argument as the bytes of the name on disk.
std::string PathArg(Args a, size_t i) {
  return EncodeExternal(Text(a, i));
}

std::string ScriptPath(std::string p) {
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

bool IsSep(char c) {
  return c == '/' || c == '\\';
}

// The name without trailing separators ("a/b/" -> "a/b"), a lone root kept.
std::string_view StripTrailing(std::string_view p) {
  while (p.size() > 1 && IsSep(p.back())) p.remove_suffix(1);
  return p;
}

std::string_view LastName(std::string_view p) {
  p = StripTrailing(p);
  if (p.size() == 1 && IsSep(p[0])) return {};
  size_t at = p.find_last_of("/\\");
  return at == std::string_view::npos ? p : p.substr(at + 1);
}

std::string Absolute(const std::string& p) {
  std::error_code ec;
  fs::path abs = fs::absolute(ScriptPath(p).empty() ? "." : ScriptPath(p), ec);
  std::string s = abs.lexically_normal().string();
  if (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

double FileTime(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) Throw(kFileNotFound);
  std::tm tm{};
  localtime_r(&st.st_mtime, &tm);
  return DateSerial(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         TimeSerial(tm.tm_hour, tm.tm_min, tm.tm_sec);
}

Variant SizeValue(uintmax_t n) {
  if (n <= static_cast<uintmax_t>(INT32_MAX)) return Variant::Long(static_cast<int32_t>(n));
  return Variant::Double(static_cast<double>(n));
}

[[noreturn]] void ThrowFor(const std::error_code& ec, int32_t missing) {
  if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted ||
      ec == std::errc::read_only_file_system || ec == std::errc::directory_not_empty)
    Throw(kAccessDenied);
  if (ec == std::errc::file_exists) Throw(kFileExists);
  Throw(missing);
}

bool HasWildcard(std::string_view name) {
  return name.find_first_of("*?") != std::string_view::npos;
}

// The paths a name stands for: itself, or the entries of its folder that match the
// wildcards of its last part (CopyFile "logs/*.txt", ...).
std::vector<std::string> Expand(const std::string& pattern, bool wantDirs) {
  std::string p = ScriptPath(pattern);
  std::string name(LastName(p));
  if (!HasWildcard(name)) return {p};
  std::string dir = p.substr(0, p.size() - name.size());
  if (dir.empty()) dir.assign(1, '.');
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_directory(ec) != wantDirs) continue;
    std::string n = e.path().filename().string();
    if (::fnmatch(name.c_str(), n.c_str(), FNM_PERIOD) == 0) out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// ---- TextStream

// A file's text: UTF-8 without its byte order mark (stray bytes kept as U+DC00 + byte), or
// UTF-16LE without its mark (an odd last byte is dropped).
std::string DecodeUtf8File(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return DecodeExternal(bytes);
}
std::string DecodeUtf16Le(std::string_view bytes) {
  if (bytes.substr(0, 2) == "\xFF\xFE") bytes.remove_prefix(2);
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                   static_cast<uint8_t>(bytes[i + 1]) << 8);
  return FromUnits(units);
}

class TextStream : public TableObject<TextStream> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const Member<TextStream> kMembers[];

  // Read mode holds the whole file: scripts read small text files, and it keeps Line,
  // AtEndOfLine and ReadAll simple and exact.
  static ObjectPtr<TextStream> Open(const std::string& path, int32_t mode, bool create,
                                    bool utf16 = false) {
    Require(mode == kForReading || mode == kForWriting || mode == kForAppending);
    auto ts = MakeObject<TextStream>();
    ts->mode_ = mode;
    ts->utf16_ = utf16;
    std::error_code ec;
    if (fs::is_directory(path, ec)) Throw(kAccessDenied);
    bool exists = fs::exists(path, ec);
    if (mode == kForReading) {
      if (!exists) Throw(kFileNotFound);
      std::ifstream in(path, std::ios::binary);
      if (!in) Throw(kAccessDenied);
      std::ostringstream buf;
      buf << in.rdbuf();
      std::string bytes = std::move(buf).str();
      CheckStringSize(bytes.size());
      ts->data_ = utf16 ? DecodeUtf16Le(bytes) : DecodeUtf8File(bytes);
      CheckStringSize(ts->data_.size());
      return ts;
    }
    if (!exists && !create) Throw(kFileNotFound);
    ts->file_ = std::fopen(path.c_str(), mode == kForWriting ? "wb" : "ab");
    if (!ts->file_) {
      if (errno == ENOENT) Throw(kPathNotFound);
      Throw(kAccessDenied);
    }
    if (utf16 && std::ftell(ts->file_) == 0 && std::fwrite("\xFF\xFE", 1, 2, ts->file_) != 2)
      Throw(61);
    return ts;
  }

  ~TextStream() override {
    if (file_) std::fclose(file_);
  }

  void NeedRead() {
    if (mode_ != kForReading || closed_) Throw(kBadFileMode);
  }
  void NeedWrite() {
    if (mode_ == kForReading || closed_) Throw(kBadFileMode);
  }
  bool AtEnd() const { return pos_ >= data_.size(); }

  // Moves over n characters (code units) of input, keeping Line and Column.
  std::string Take(size_t n) {
    size_t end = pos_;
    for (size_t units = 0; units < n && end < data_.size();) {
      auto c = static_cast<unsigned char>(data_[end]);
      size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      if (len == 4 && units + 1 == n) break;  // half a pair cannot be taken from engine text
      units += len == 4 ? 2 : 1;
      end = std::min(end + len, data_.size());
    }
    std::string out = data_.substr(pos_, end - pos_);
    Count(out);
    pos_ = end;
    return out;
  }
  void Count(std::string_view s) {
    for (char c : s) {
      if (c == '\n') {
        ++line_;
        column_ = 1;
      } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        ++column_;
      }
    }
  }
  std::string ReadLine() {
    NeedRead();
    if (AtEnd()) Throw(kInputPastEnd);
    size_t nl = data_.find('\n', pos_);
    std::string line = Take(nl == std::string::npos ? data_.size() - pos_ : nl - pos_ + 1);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  void Write(const std::string& s) {
    NeedWrite();
    std::string bytes = utf16_ ? EncodeUtf16Le(s) : EncodeExternal(s);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Throw(61);
    Count(s);
  }
  void Close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    closed_ = true;
    data_.clear();
    pos_ = 0;
  }

  int32_t mode_ = kForReading;
  std::string data_;
  size_t pos_ = 0;
  int32_t line_ = 1, column_ = 1;
  FILE* file_ = nullptr;
  bool closed_ = false;
  bool utf16_ = false;
};

const Member<TextStream> TextStream::kMembers[] = {
    {"ReadLine", MemberKind::Method, 0, 0,
     [](TextStream& t, Args) { return Variant::String(t.ReadLine()); }},
    {"ReadAll", MemberKind::Method, 0, 0,
     [](TextStream& t, Args) {
       t.NeedRead();
       if (t.AtEnd()) Throw(kInputPastEnd);
       return Variant::String(t.Take(t.data_.size()));
     }},
    {"Read", MemberKind::Method, 1, 1,
     [](TextStream& t, Args a) {
       t.NeedRead();
       int32_t n = Long(a, 0);
       Require(n >= 0);
       if (t.AtEnd() && n > 0) Throw(kInputPastEnd);
       return Variant::String(t.Take(static_cast<size_t>(n)));
     }},
    {"Skip", MemberKind::Method, 1, 1,
     [](TextStream& t, Args a) {
       t.NeedRead();
       int32_t n = Long(a, 0);
       Require(n >= 0);
       t.Take(static_cast<size_t>(n));
       return Variant();
     }},
    {"SkipLine", MemberKind::Method, 0, 0,
     [](TextStream& t, Args) {
       t.ReadLine();
       return Variant();
     }},
    {"AtEndOfStream", MemberKind::Get, 0, 0,
     [](TextStream& t, Args) {
       t.NeedRead();
       return Variant::Boolean(t.AtEnd());
     }},
    {"AtEndOfLine", MemberKind::Get, 0, 0,
     [](TextStream& t, Args) {
       t.NeedRead();
       return Variant::Boolean(t.AtEnd() || t.data_[t.pos_] == '\n' ||
                               (t.data_[t.pos_] == '\r' && t.pos_ + 1 < t.data_.size() &&
                                t.data_[t.pos_ + 1] == '\n'));
     }},
    {"Line", MemberKind::Get, 0, 0, [](TextStream& t, Args) { return Variant::Long(t.line_); }},
    {"Column", MemberKind::Get, 0, 0,
     [](TextStream& t, Args) { return Variant::Long(t.column_); }},
    {"Write", MemberKind::Method, 1, 1,
     [](TextStream& t, Args a) {
       t.Write(Text(a, 0));
       return Variant();
     }},
    {"WriteLine", MemberKind::Method, 0, 1,
     [](TextStream& t, Args a) {
       t.Write((Given(a, 0) ? Text(a, 0) : std::string()) + "\n");
       return Variant();
     }},
    {"WriteBlankLines", MemberKind::Method, 1, 1,
     [](TextStream& t, Args a) {
       int32_t n = Long(a, 0);
       Require(n >= 0);
       CheckStringSize(static_cast<size_t>(n));
       t.Write(std::string(static_cast<size_t>(n), '\n'));
       return Variant();
     }},
    {"Close", MemberKind::Method, 0, 0,
     [](TextStream& t, Args) {
       t.Close();
       return Variant();
     }},
};

// ---- File, Folder and their collections

Variant MakeFile(const std::string& path);
Variant MakeFolder(const std::string& path);

class Entries : public TableObject<Entries> {
 public:
  static constexpr std::string_view kTypeName = "Files";
  static const Member<Entries> kMembers[];
  Entries(std::string dir, bool folders) : dir_(std::move(dir)), folders_(folders) {}
  std::vector<std::string> List() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_, ec)) {
      std::error_code ec2;
      if (e.is_directory(ec2) == folders_) out.push_back(e.path().string());
      if (out.size() >= kMaxArrayElements) break;
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::unique_ptr<Enumerator> Enumerate() override {
    struct Items : Enumerator {
      std::vector<std::string> paths;
      bool folders = false;
      size_t i = 0;
      bool Next(Variant& out) override {
        if (i >= paths.size()) return false;
        out = folders ? MakeFolder(paths[i]) : MakeFile(paths[i]);
        ++i;
        return true;
      }
    };
    auto en = std::make_unique<Items>();
    en->paths = List();
    en->folders = folders_;
    return en;
  }
  std::string dir_;
  bool folders_;
};

const Member<Entries> Entries::kMembers[] = {
    {"Count", MemberKind::Get, 0, 0,
     [](Entries& e, Args) { return Variant::Long(static_cast<int32_t>(e.List().size())); }},
    {"Item", MemberKind::Get, 1, 1,
     [](Entries& e, Args a) {
       std::string path = (fs::path(e.dir_) / ScriptPath(PathArg(a, 0))).string();
       std::error_code ec;
       if (fs::is_directory(path, ec) != e.folders_ || !fs::exists(path, ec))
         Throw(e.folders_ ? kPathNotFound : kFileNotFound);
       return e.folders_ ? MakeFolder(path) : MakeFile(path);
     },
     true},
};

void CopyOne(const std::string& from, const std::string& to, bool overwrite, bool move) {
  std::error_code ec;
  std::string target = to;
  if (fs::is_directory(target, ec) || (!target.empty() && target.back() == '/'))
    target = (fs::path(target) / fs::path(from).filename()).string();
  if (fs::exists(target, ec) && !overwrite) Throw(kFileExists);
  if (move) {
    if (fs::exists(target, ec)) Throw(kFileExists);
    fs::rename(from, target, ec);
    if (ec == std::errc::cross_device_link) {
      ec.clear();
      fs::copy(from, target, fs::copy_options::recursive, ec);
      if (!ec) fs::remove_all(from, ec);
    }
  } else if (fs::is_directory(from, ec)) {
    fs::copy(from, target,
             fs::copy_options::recursive |
                 (overwrite ? fs::copy_options::overwrite_existing : fs::copy_options::none),
             ec);
  } else {
    fs::copy_file(from, target, fs::copy_options::overwrite_existing, ec);
  }
  if (ec) ThrowFor(ec, kPathNotFound);
}

void CopyMany(Args a, bool folders, bool move) {
  auto sources = Expand(PathArg(a, 0), folders);
  std::string to = ScriptPath(PathArg(a, 1));
  bool overwrite = move ? false : BoolOr(a, 2, true);
  if (sources.empty()) Throw(folders ? kPathNotFound : kFileNotFound);
  for (const auto& s : sources) {
    std::error_code ec;
    bool isDir = fs::is_directory(s, ec);
    if (!fs::exists(s, ec) || isDir != folders) Throw(folders ? kPathNotFound : kFileNotFound);
    CopyOne(s, to, overwrite, move);
  }
}

void DeleteMany(const std::string& pattern, bool folders) {
  auto targets = Expand(pattern, folders);
  if (targets.empty()) Throw(folders ? kPathNotFound : kFileNotFound);
  for (const auto& t : targets) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(t, ec)) || fs::is_directory(t, ec) != folders)
      Throw(folders ? kPathNotFound : kFileNotFound);
    if (folders)
      fs::remove_all(t, ec);
    else
      fs::remove(t, ec);
    if (ec) ThrowFor(ec, folders ? kPathNotFound : kFileNotFound);
  }
}

class FileObject : public TableObject<FileObject> {
 public:
  static constexpr std::string_view kTypeName = "File";
  static const Member<FileObject> kMembers[];
  explicit FileObject(std::string p) : path_(std::move(p)) {}
  std::string path_;
};

class FolderObject : public TableObject<FolderObject> {
 public:
  static constexpr std::string_view kTypeName = "Folder";
  static const Member<FolderObject> kMembers[];
  explicit FolderObject(std::string p) : path_(std::move(p)) {}
  std::string path_;
};

Variant MakeFile(const std::string& path) {
  return Variant::Object(MakeObject<FileObject>(Absolute(path)));
}
Variant MakeFolder(const std::string& path) {
  return Variant::Object(MakeObject<FolderObject>(Absolute(path)));
}

template <class T>
Variant Rename(T& self, Args a) {
  std::string name = ScriptPath(PathArg(a, 0));
  Require(!name.empty() && name.find('/') == std::string::npos);
  fs::path to = fs::path(self.path_).parent_path() / name;
  std::error_code ec;
  if (fs::exists(to, ec)) Throw(kFileExists);
  fs::rename(self.path_, to, ec);
  if (ec) ThrowFor(ec, kFileNotFound);
  self.path_ = to.string();
  return Variant();
}

template <class T>
Variant Parent(T& self, Args) {
  std::string parent = fs::path(self.path_).parent_path().string();
  if (parent.empty() || self.path_ == "/") return Variant::Nothing();
  return MakeFolder(parent);
}

const Member<FileObject> FileObject::kMembers[] = {
    {"Path", MemberKind::Get, 0, 0, [](FileObject& f, Args) { return Variant::String(f.path_); },
     true},
    {"Name", MemberKind::Get, 0, 0,
     [](FileObject& f, Args) { return Variant::String(std::string(LastName(f.path_))); }},
    {"Name", MemberKind::Let, 0, 0, Rename<FileObject>},
    {"Size", MemberKind::Get, 0, 0,
     [](FileObject& f, Args) {
       std::error_code ec;
       auto n = fs::file_size(f.path_, ec);
       if (ec) Throw(kFileNotFound);
       return SizeValue(n);
     }},
    {"DateLastModified", MemberKind::Get, 0, 0,
     [](FileObject& f, Args) { return Variant::Date(FileTime(f.path_)); }},
    {"ParentFolder", MemberKind::Get, 0, 0, Parent<FileObject>},
    {"Type", MemberKind::Get, 0, 0,
     [](FileObject& f, Args) {
       std::string ext(fs::path(f.path_).extension().string());
       return Variant::String(ext.empty() ? "File" : ext.substr(1) + " File");
     }},
    {"Delete", MemberKind::Method, 0, 1,
     [](FileObject& f, Args) {
       DeleteMany(f.path_, false);
       return Variant();
     }},
    {"Copy", MemberKind::Method, 1, 2,
     [](FileObject& f, Args a) {
       CopyOne(f.path_, ScriptPath(PathArg(a, 0)), BoolOr(a, 1, true), false);
       return Variant();
     }},
    {"Move", MemberKind::Method, 1, 1,
     [](FileObject& f, Args a) {
       std::string to = ScriptPath(PathArg(a, 0));
       CopyOne(f.path_, to, false, true);
       std::error_code ec;
       f.path_ = fs::is_directory(to, ec) ? (fs::path(to) / fs::path(f.path_).filename()).string()
                                          : Absolute(to);
       return Variant();
     }},
    {"OpenAsTextStream", MemberKind::Method, 0, 2,
     [](FileObject& f, Args a) {
       return Variant::Object(TextStream::Open(f.path_, LongOr(a, 0, kForReading), false));
     }},
};

uintmax_t FolderSize(const std::string& path) {
  uintmax_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied,
                                           ec),
       end;
       !ec && it != end; it.increment(ec)) {
    std::error_code ec2;
    if (it->is_regular_file(ec2)) total += it->file_size(ec2);
  }
  return total;
}

const Member<FolderObject> FolderObject::kMembers[] = {
    {"Path", MemberKind::Get, 0, 0, [](FolderObject& f, Args) { return Variant::String(f.path_); },
     true},
    {"Name", MemberKind::Get, 0, 0,
     [](FolderObject& f, Args) { return Variant::String(std::string(LastName(f.path_))); }},
    {"Name", MemberKind::Let, 0, 0, Rename<FolderObject>},
    {"Size", MemberKind::Get, 0, 0,
     [](FolderObject& f, Args) { return SizeValue(FolderSize(f.path_)); }},
    {"DateLastModified", MemberKind::Get, 0, 0,
     [](FolderObject& f, Args) { return Variant::Date(FileTime(f.path_)); }},
    {"Files", MemberKind::Get, 0, 0,
     [](FolderObject& f, Args) { return Variant::Object(MakeObject<Entries>(f.path_, false)); }},
    {"SubFolders", MemberKind::Get, 0, 0,
     [](FolderObject& f, Args) { return Variant::Object(MakeObject<Entries>(f.path_, true)); }},
    {"ParentFolder", MemberKind::Get, 0, 0, Parent<FolderObject>},
    {"IsRootFolder", MemberKind::Get, 0, 0,
     [](FolderObject& f, Args) { return Variant::Boolean(f.path_ == "/"); }},
    {"Delete", MemberKind::Method, 0, 1,
     [](FolderObject& f, Args) {
       DeleteMany(f.path_, true);
       return Variant();
     }},
    {"CreateTextFile", MemberKind::Method, 1, 3,
     [](FolderObject& f, Args a) {
       std::string path = (fs::path(f.path_) / ScriptPath(PathArg(a, 0))).string();
       std::error_code ec;
       if (!BoolOr(a, 1, true) && fs::exists(path, ec)) Throw(kFileExists);
       return Variant::Object(TextStream::Open(path, kForWriting, true));
     }},
};

// ---- the FileSystemObject

class FileSystemObject : public TableObject<FileSystemObject> {
 public:
  static constexpr std::string_view kTypeName = "FileSystemObject";
  static const Member<FileSystemObject> kMembers[];
};

Variant StrResult(std::string_view s) {
  return Variant::String(std::string(s));
}

bool IsFile(const std::string& p) {
  std::error_code ec;
  return fs::is_regular_file(ScriptPath(p), ec) || (fs::exists(ScriptPath(p), ec) &&
                                                    !fs::is_directory(ScriptPath(p), ec));
}
bool IsFolder(const std::string& p) {
  std::error_code ec;
  return fs::is_directory(ScriptPath(p), ec);
}

const Member<FileSystemObject> FileSystemObject::kMembers[] = {
    {"FileExists", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) { return Variant::Boolean(IsFile(PathArg(a, 0))); }},
    {"FolderExists", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) { return Variant::Boolean(IsFolder(PathArg(a, 0))); }},
    {"GetFile", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       if (!IsFile(PathArg(a, 0))) Throw(kFileNotFound);
       return MakeFile(ScriptPath(PathArg(a, 0)));
     }},
    {"GetFolder", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       if (!IsFolder(PathArg(a, 0))) Throw(kPathNotFound);
       return MakeFolder(ScriptPath(PathArg(a, 0)));
     }},
    {"GetFileName", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) { return StrResult(LastName(PathArg(a, 0))); }},
    {"GetBaseName", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       std::string name(LastName(PathArg(a, 0)));
       size_t dot = name.rfind('.');
       return StrResult(dot == std::string::npos ? name : name.substr(0, dot));
     }},
    {"GetExtensionName", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       std::string name(LastName(PathArg(a, 0)));
       size_t dot = name.rfind('.');
       return StrResult(dot == std::string::npos ? std::string() : name.substr(dot + 1));
     }},
    {"GetParentFolderName", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       std::string p = PathArg(a, 0);
       std::string_view s = StripTrailing(p);
       size_t at = s.find_last_of("/\\");
       if (at == std::string_view::npos || s.size() == 1) return StrResult("");
       std::string_view parent = s.substr(0, at);
       if (parent.empty()) return StrResult(s.substr(0, 1));  // "/x" -> "/"
       return StrResult(StripTrailing(parent));
     }},
    {"GetAbsolutePathName", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) { return StrResult(Absolute(PathArg(a, 0))); }},
    {"BuildPath", MemberKind::Method, 2, 2,
     [](FileSystemObject&, Args a) {
       std::string p = PathArg(a, 0), name = PathArg(a, 1);
       if (p.empty()) return StrResult(name);
       if (!IsSep(p.back()) && (name.empty() || !IsSep(name.front()))) p += '/';
       if (!name.empty() && IsSep(name.front()) && IsSep(p.back())) name.erase(0, 1);
       return StrResult(p + name);
     }},
    {"GetTempName", MemberKind::Method, 0, 0,
     [](FileSystemObject&, Args) {
       static thread_local std::mt19937 gen{std::random_device{}()};
       char buf[16];
       std::snprintf(buf, sizeof buf, "rad%05X.tmp", static_cast<unsigned>(gen() & 0xFFFFF));
       return StrResult(buf);
     }},
    {"GetSpecialFolder", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       int32_t which = Long(a, 0);
       Require(which >= 0 && which <= 2);
       std::error_code ec;
       return MakeFolder(which == 2 ? fs::temp_directory_path(ec).string() : "/");
     }},
    {"CreateFolder", MemberKind::Method, 1, 1,
     [](FileSystemObject&, Args a) {
       std::string p = ScriptPath(PathArg(a, 0));
       std::error_code ec;
       if (fs::exists(p, ec)) Throw(kFileExists);
       if (!fs::create_directory(p, ec)) ThrowFor(ec, kPathNotFound);
       return MakeFolder(p);
     }},
    {"DeleteFile", MemberKind::Method, 1, 2,
     [](FileSystemObject&, Args a) {
       DeleteMany(PathArg(a, 0), false);
       return Variant();
     }},
    {"DeleteFolder", MemberKind::Method, 1, 2,
     [](FileSystemObject&, Args a) {
       DeleteMany(PathArg(a, 0), true);
       return Variant();
     }},
    {"CopyFile", MemberKind::Method, 2, 3,
     [](FileSystemObject&, Args a) {
       CopyMany(a, false, false);
       return Variant();
     }},
    {"MoveFile", MemberKind::Method, 2, 2,
     [](FileSystemObject&, Args a) {
       CopyMany(a, false, true);
       return Variant();
     }},
    {"CopyFolder", MemberKind::Method, 2, 3,
     [](FileSystemObject&, Args a) {
       CopyMany(a, true, false);
       return Variant();
     }},
    {"MoveFolder", MemberKind::Method, 2, 2,
     [](FileSystemObject&, Args a) {
       CopyMany(a, true, true);
       return Variant();
     }},
    {"OpenTextFile", MemberKind::Method, 1, 4,
     [](FileSystemObject&, Args a) {
       // The format: TristateTrue (-1) UTF-16LE; TristateFalse (0) and the default (-2) UTF-8.
       return Variant::Object(TextStream::Open(ScriptPath(PathArg(a, 0)), LongOr(a, 1, kForReading),
                                               BoolOr(a, 2, false), LongOr(a, 3, 0) == -1));
     }},
    {"CreateTextFile", MemberKind::Method, 1, 3,
     [](FileSystemObject&, Args a) {
       std::string p = ScriptPath(PathArg(a, 0));
       std::error_code ec;
       if (!BoolOr(a, 1, true) && fs::exists(p, ec)) Throw(kFileExists);
       return Variant::Object(TextStream::Open(p, kForWriting, true, BoolOr(a, 2, false)));
     }},
};

}  // namespace

ObjectPtr<HostObject> MakeFileSystemObject() {
  return ObjectPtr<HostObject>(new FileSystemObject);
}

}  // namespace vbs
