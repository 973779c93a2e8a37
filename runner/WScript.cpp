#include "runner/WScript.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "engine/Errors.h"

namespace runner {
namespace {

using vbs::Args;
using vbs::Member;
using vbs::MemberKind;
using vbs::Variant;

std::string Text(Args a, size_t i) {
  return vbs::ToString(a[i]->Deref());
}

// Standard output or error as a TextStream written forwards. What a script writes reaches
// the file or pipe at once: a script ended by a time limit or a signal keeps its output.
// Line and Column say where the next character goes.
class TextOut : public vbs::TableObject<TextOut> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const Member<TextOut> kMembers[];
  explicit TextOut(FILE* f) : file_(f) {}
  // s is engine text; it leaves as UTF-8.
  void Write(const std::string& s) {
    std::fflush(file_ == stdout ? stderr : stdout);
    std::string bytes = vbs::EncodeExternal(s);
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
    for (char c : s) {
      if (c == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        column += static_cast<unsigned char>(c) >= 0xF0 ? 2 : 1;
      }
    }
  }
  int32_t line = 1, column = 1;

 private:
  FILE* file_;
};

const Member<TextOut> TextOut::kMembers[] = {
    {"Write", MemberKind::Method, 1, 1,
     [](TextOut& s, Args a) {
       s.Write(Text(a, 0));
       return Variant();
     }},
    {"WriteLine", MemberKind::Method, 0, 1,
     [](TextOut& s, Args a) {
       s.Write((a.empty() ? std::string() : Text(a, 0)) + "\n");
       return Variant();
     }},
    {"WriteBlankLines", MemberKind::Method, 1, 1,
     [](TextOut& s, Args a) {
       int32_t n = vbs::ToLong(*a[0]);
       if (n < 0) vbs::Throw(vbs::kInvalidCall);
       s.Write(std::string(static_cast<size_t>(n), '\n'));
       return Variant();
     }},
    {"Line", MemberKind::Get, 0, 0, [](TextOut& s, Args) { return Variant::Long(s.line); }},
    {"Column", MemberKind::Get, 0, 0, [](TextOut& s, Args) { return Variant::Long(s.column); }},
    {"Close", MemberKind::Method, 0, 0, [](TextOut&, Args) { return Variant(); }},
};

// Standard input as a TextStream read forwards: lines end at LF (a CR before it is
// dropped); Line and Column say where the next read starts.
class TextIn : public vbs::TableObject<TextIn> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const Member<TextIn> kMembers[];
  int Peek() {
    int c = std::fgetc(stdin);
    if (c != EOF) std::ungetc(c, stdin);
    return c;
  }
  bool AtEnd() { return Peek() == EOF; }
  int Get() {
    int c = std::fgetc(stdin);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if (c != EOF && (c & 0xC0) != 0x80) {
      ++column;
    }
    return c;
  }
  // Up to `count` characters (UTF-8 sequences), or to the end of the line (its end read,
  // not kept). Bytes, as read; the caller makes them engine text.
  std::string Take(size_t count, bool toLineEnd) {
    std::string out;
    size_t chars = 0;
    int c;
    while ((c = Peek()) != EOF) {
      bool continuation = (c & 0xC0) == 0x80;
      if (chars >= count && !continuation) break;
      Get();
      if (toLineEnd && c == '\n') break;
      out += static_cast<char>(c);
      if (!continuation) ++chars;
      if ((out.size() & 0xFFFF) == 0) vbs::CheckStringSize(out.size());
    }
    if (toLineEnd && !out.empty() && out.back() == '\r') out.pop_back();
    return out;
  }
  int32_t line = 1, column = 1;
};

int32_t CountArg(Args a) {
  int32_t n = vbs::ToLong(*a[0]);
  if (n < 0) vbs::Throw(vbs::kInvalidCall);
  return n;
}

const Member<TextIn> TextIn::kMembers[] = {
    {"ReadLine", MemberKind::Method, 0, 0,
     [](TextIn& s, Args) {
       if (s.AtEnd()) vbs::Throw(62);
       return Variant::String(s.Take(std::string::npos, true));
     }},
    {"Read", MemberKind::Method, 1, 1,
     [](TextIn& s, Args a) {
       size_t n = static_cast<size_t>(CountArg(a));
       if (n > 0 && s.AtEnd()) vbs::Throw(62);
       return Variant::String(s.Take(n, false));
     }},
    {"ReadAll", MemberKind::Method, 0, 0,
     [](TextIn& s, Args) { return Variant::String(s.Take(std::string::npos, false)); }},
    {"Skip", MemberKind::Method, 1, 1,
     [](TextIn& s, Args a) {
       s.Take(static_cast<size_t>(CountArg(a)), false);
       return Variant();
     }},
    {"SkipLine", MemberKind::Method, 0, 0,
     [](TextIn& s, Args) {
       if (s.AtEnd()) vbs::Throw(62);
       s.Take(std::string::npos, true);
       return Variant();
     }},
    {"AtEndOfStream", MemberKind::Get, 0, 0,
     [](TextIn& s, Args) { return Variant::Boolean(s.AtEnd()); }},
    {"AtEndOfLine", MemberKind::Get, 0, 0,
     [](TextIn& s, Args) {
       int c = s.Peek();
       return Variant::Boolean(c == EOF || c == '\n' || c == '\r');
     }},
    {"Line", MemberKind::Get, 0, 0, [](TextIn& s, Args) { return Variant::Long(s.line); }},
    {"Column", MemberKind::Get, 0, 0, [](TextIn& s, Args) { return Variant::Long(s.column); }},
    {"Close", MemberKind::Method, 0, 0, [](TextIn&, Args) { return Variant(); }},
};

// Walks a list of values (the strings of the arguments, the names of the named ones).
class ListEnum : public vbs::Enumerator {
 public:
  explicit ListEnum(std::vector<Variant> items) : items_(std::move(items)) {}
  bool Next(Variant& out) override {
    if (i_ >= items_.size()) return false;
    out = items_[i_++];
    return true;
  }

 private:
  std::vector<Variant> items_;
  size_t i_ = 0;
};

// A list of argument strings by position: WScript.Arguments and Arguments.Unnamed.
class ArgumentList : public vbs::TableObject<ArgumentList> {
 public:
  static constexpr std::string_view kTypeName = "IArguments2";
  static const Member<ArgumentList> kMembers[];
  explicit ArgumentList(std::vector<std::string> args) : args_(std::move(args)) {}
  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    std::vector<Variant> items;
    for (const auto& a : args_) items.push_back(Variant::String(a));
    return std::make_unique<ListEnum>(std::move(items));
  }
  Variant Item(Args a) {
    int32_t i = vbs::ToLong(*a[0]);
    if (i < 0 || static_cast<size_t>(i) >= args_.size()) vbs::Throw(vbs::kSubscriptOutOfRange);
    return Variant::String(args_[i]);
  }
  Variant Count() const { return Variant::Long(static_cast<int32_t>(args_.size())); }

  vbs::ObjectPtr<vbs::HostObject> named;    // set on WScript.Arguments only
  vbs::ObjectPtr<vbs::HostObject> unnamed;  // set on WScript.Arguments only

 private:
  std::vector<std::string> args_;
};

Variant Part(const vbs::ObjectPtr<vbs::HostObject>& part) {
  if (!part) vbs::Throw(vbs::kNoSuchMember);
  return Variant::Object(part.Get());
}

const Member<ArgumentList> ArgumentList::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1, [](ArgumentList& s, Args a) { return s.Item(a); }, true},
    {"Count", MemberKind::Method, 0, 0, [](ArgumentList& s, Args) { return s.Count(); }},
    {"Length", MemberKind::Get, 0, 0, [](ArgumentList& s, Args) { return s.Count(); }},
    {"Named", MemberKind::Get, 0, 0, [](ArgumentList& s, Args) { return Part(s.named); }},
    {"Unnamed", MemberKind::Get, 0, 0, [](ArgumentList& s, Args) { return Part(s.unnamed); }},
};

// Arguments.Named: "/name:value" arguments by name (any case); a name given twice keeps
// the last value. For Each walks the names.
class NamedArguments : public vbs::TableObject<NamedArguments> {
 public:
  static constexpr std::string_view kTypeName = "IWshNamed";
  static const Member<NamedArguments> kMembers[];
  void Set(const std::string& name, Variant value) {
    for (auto& e : entries_) {
      if (vbs::NameEquals(e.first, name)) {
        e.second = std::move(value);
        return;
      }
    }
    entries_.emplace_back(name, std::move(value));
  }
  const Variant* Find(const std::string& name) const {
    for (const auto& e : entries_)
      if (vbs::NameEquals(e.first, name)) return &e.second;
    return nullptr;
  }
  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    std::vector<Variant> names;
    for (const auto& e : entries_) names.push_back(Variant::String(e.first));
    return std::make_unique<ListEnum>(std::move(names));
  }
  Variant Count() const { return Variant::Long(static_cast<int32_t>(entries_.size())); }

 private:
  std::vector<std::pair<std::string, Variant>> entries_;
};

const Member<NamedArguments> NamedArguments::kMembers[] = {
    // An absent name reads as Empty, as the original's does.
    {"Item", MemberKind::Get, 1, 1,
     [](NamedArguments& s, Args a) {
       const Variant* v = s.Find(Text(a, 0));
       return v ? *v : Variant();
     },
     true},
    {"Exists", MemberKind::Method, 1, 1,
     [](NamedArguments& s, Args a) { return Variant::Boolean(s.Find(Text(a, 0)) != nullptr); }},
    {"Count", MemberKind::Method, 0, 0, [](NamedArguments& s, Args) { return s.Count(); }},
    {"Length", MemberKind::Get, 0, 0, [](NamedArguments& s, Args) { return s.Count(); }},
};

vbs::ObjectPtr<ArgumentList> MakeArguments(const std::vector<std::string>& all) {
  auto named = vbs::MakeObject<NamedArguments>();
  std::vector<std::string> unnamed;
  for (const auto& a : all) {
    NamedArgument n = ParseNamedArgument(a);
    if (n.named)
      named->Set(n.name, std::move(n.value));
    else
      unnamed.push_back(a);
  }
  auto list = vbs::MakeObject<ArgumentList>(all);
  list->named = named;
  list->unnamed = vbs::MakeObject<ArgumentList>(std::move(unnamed));
  return list;
}

class WScript : public vbs::TableObject<WScript> {
 public:
  static constexpr std::string_view kTypeName = "Object";
  static const Member<WScript> kMembers[];
  WScript(vbs::Engine& engine, ScriptInfo info)
      : engine_(engine),
        info_(std::move(info)),
        arguments_(MakeArguments(info_.arguments)),
        stdout_(vbs::MakeObject<TextOut>(stdout)),
        stderr_(vbs::MakeObject<TextOut>(stderr)),
        stdin_(vbs::MakeObject<TextIn>()) {}

  vbs::Engine& engine_;
  ScriptInfo info_;
  vbs::ObjectPtr<ArgumentList> arguments_;
  vbs::ObjectPtr<TextOut> stdout_;
  vbs::ObjectPtr<TextOut> stderr_;
  vbs::ObjectPtr<TextIn> stdin_;
  bool interactive_ = false;
  int32_t timeoutSeconds_ = 0;  // 0: no limit
};

Variant Echo(WScript& s, Args a) {
  std::string line;
  for (size_t i = 0; i < a.size(); ++i) {
    if (i) line += ' ';
    const Variant& v = a[i]->Deref();
    if (v.IsNull())
      line += "Null";
    else if (!vbs::IsMissing(v))
      line += vbs::ToString(v);
  }
  line += '\n';
  s.stdout_->Write(line);
  return Variant();
}

Variant Sleep(WScript&, Args a) {
  int32_t ms = vbs::ToLong(*a[0]);
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return Variant();
}

Variant Quit(WScript&, Args a) {
  int code = a.empty() || vbs::IsMissing(a[0]->Deref()) ? 0 : vbs::ToLong(*a[0]);
  throw vbs::ScriptQuit{code};
}

// CreateObject(progId[, eventPrefix]): objects here raise no events, so the prefix that
// would connect them is accepted and has nothing to connect.
Variant CreateObj(WScript& s, Args a) {
  return s.engine_.CreateObject(Text(a, 0));
}

// GetObject(path[, progId]): there are no stored objects to open by path, so a ProgID
// makes a new object and a path alone cannot be served (429).
Variant GetObj(WScript& s, Args a) {
  if (a.size() > 1 && !vbs::IsMissing(a[1]->Deref())) return s.engine_.CreateObject(Text(a, 1));
  vbs::Throw(vbs::kCannotCreateObject);
}

// Timeout: seconds the whole script may run (0: no limit), counted from its start.
Variant SetTimeout(WScript& s, Args a) {
  int32_t seconds = vbs::ToLong(*a[0]);
  if (seconds < 0) vbs::Throw(vbs::kInvalidCall);
  s.timeoutSeconds_ = seconds;
  s.engine_.SetTimeout(seconds == 0 ? -1 : static_cast<int>(std::min(seconds, 2000000)) * 1000);
  return Variant();
}

std::string FolderOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

const Member<WScript> WScript::kMembers[] = {
    {"Echo", MemberKind::Method, 0, -1, Echo},
    {"Arguments", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::Object(s.arguments_); }},
    {"StdOut", MemberKind::Get, 0, 0, [](WScript& s, Args) { return Variant::Object(s.stdout_); }},
    {"StdErr", MemberKind::Get, 0, 0, [](WScript& s, Args) { return Variant::Object(s.stderr_); }},
    {"StdIn", MemberKind::Get, 0, 0, [](WScript& s, Args) { return Variant::Object(s.stdin_); }},
    {"Sleep", MemberKind::Method, 1, 1, Sleep},
    {"Quit", MemberKind::Method, 0, 1, Quit},
    {"ScriptName", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::String(s.info_.name); }},
    {"ScriptFullName", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::String(s.info_.fullName); }},
    {"FullName", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::String(s.info_.hostFullName); }},
    {"Path", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::String(FolderOf(s.info_.hostFullName)); }},
    // The name and version scripts test for: those of the host whose object model this is.
    {"Name", MemberKind::Get, 0, 0,
     [](WScript&, Args) { return Variant::String("Windows Script Host"); }, true},
    {"Version", MemberKind::Get, 0, 0, [](WScript&, Args) { return Variant::String("5.8"); }},
    {"BuildVersion", MemberKind::Get, 0, 0, [](WScript&, Args) { return Variant::Long(16384); }},
    {"Interactive", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::Boolean(s.interactive_); }},
    {"Interactive", MemberKind::Let, 0, 0,
     [](WScript& s, Args a) {
       s.interactive_ = vbs::ToBoolean(*a[0]);
       return Variant();
     }},
    {"Timeout", MemberKind::Get, 0, 0,
     [](WScript& s, Args) { return Variant::Long(s.timeoutSeconds_); }},
    {"Timeout", MemberKind::Let, 0, 0, SetTimeout},
    {"CreateObject", MemberKind::Method, 1, 2, CreateObj},
    {"GetObject", MemberKind::Method, 1, 3, GetObj},
    // Without events there is nothing to connect or disconnect.
    {"ConnectObject", MemberKind::Method, 2, 2, [](WScript&, Args) { return Variant(); }},
    {"DisconnectObject", MemberKind::Method, 1, 1, [](WScript&, Args) { return Variant(); }},
};

}  // namespace

NamedArgument ParseNamedArgument(const std::string& arg) {
  NamedArgument r;
  if (arg.size() < 2 || arg[0] != '/') return r;
  size_t colon = arg.find(':');
  std::string name = arg.substr(1, colon == std::string::npos ? std::string::npos : colon - 1);
  Variant value;
  if (colon != std::string::npos) {
    value = Variant::String(arg.substr(colon + 1));
  } else if (name.size() > 1 && (name.back() == '+' || name.back() == '-')) {
    value = Variant::Boolean(name.back() == '+');
    name.pop_back();
  }
  if (name.empty() || name.find('/') != std::string::npos) return r;
  r.named = true;
  r.name = std::move(name);
  r.value = std::move(value);
  return r;
}

vbs::ObjectPtr<vbs::HostObject> MakeWScript(vbs::Engine& engine, ScriptInfo info) {
  return vbs::MakeObject<WScript>(engine, std::move(info));
}

}  // namespace runner
