#include "runner/WScript.h"

#include <chrono>
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

class TextOut : public vbs::TableObject<TextOut> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const Member<TextOut> kMembers[];
  explicit TextOut(FILE* f) : file_(f) {}
  void Write(const std::string& s) {
    std::fflush(file_ == stdout ? stderr : stdout);
    std::fwrite(s.data(), 1, s.size(), file_);
    if (file_ == stderr) std::fflush(file_);
  }

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
    {"Close", MemberKind::Method, 0, 0, [](TextOut&, Args) { return Variant(); }},
};

class TextIn : public vbs::TableObject<TextIn> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const Member<TextIn> kMembers[];
  bool AtEnd() {
    int c = std::fgetc(stdin);
    if (c == EOF) return true;
    std::ungetc(c, stdin);
    return false;
  }
};

const Member<TextIn> TextIn::kMembers[] = {
    {"ReadLine", MemberKind::Method, 0, 0,
     [](TextIn& s, Args) {
       if (s.AtEnd()) vbs::Throw(62);
       std::string line;
       int c;
       while ((c = std::fgetc(stdin)) != EOF && c != '\n') line += static_cast<char>(c);
       if (!line.empty() && line.back() == '\r') line.pop_back();
       return Variant::String(std::move(line));
     }},
    {"ReadAll", MemberKind::Method, 0, 0,
     [](TextIn&, Args) {
       std::string all;
       int c;
       while ((c = std::fgetc(stdin)) != EOF) all += static_cast<char>(c);
       return Variant::String(std::move(all));
     }},
    {"AtEndOfStream", MemberKind::Get, 0, 0,
     [](TextIn& s, Args) { return Variant::Boolean(s.AtEnd()); }},
    {"Close", MemberKind::Method, 0, 0, [](TextIn&, Args) { return Variant(); }},
};

class ArgumentsEnum : public vbs::Enumerator {
 public:
  explicit ArgumentsEnum(const std::vector<std::string>& args) : args_(args) {}
  bool Next(Variant& out) override {
    if (i_ >= args_.size()) return false;
    out = Variant::String(args_[i_++]);
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t i_ = 0;
};

class Arguments : public vbs::TableObject<Arguments> {
 public:
  static constexpr std::string_view kTypeName = "IArguments2";
  static const Member<Arguments> kMembers[];
  explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    return std::make_unique<ArgumentsEnum>(args_);
  }
  Variant Item(Args a) {
    int32_t i = vbs::ToLong(*a[0]);
    if (i < 0 || static_cast<size_t>(i) >= args_.size()) vbs::Throw(vbs::kSubscriptOutOfRange);
    return Variant::String(args_[i]);
  }
  Variant Count() const { return Variant::Long(static_cast<int32_t>(args_.size())); }

 private:
  std::vector<std::string> args_;
};

const Member<Arguments> Arguments::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1, [](Arguments& s, Args a) { return s.Item(a); }, true},
    {"Count", MemberKind::Method, 0, 0, [](Arguments& s, Args) { return s.Count(); }},
    {"Length", MemberKind::Get, 0, 0, [](Arguments& s, Args) { return s.Count(); }},
    {"Unnamed", MemberKind::Get, 0, 0,
     [](Arguments& s, Args) { return Variant::Object(static_cast<vbs::HostObject*>(&s)); }},
};

class WScript : public vbs::TableObject<WScript> {
 public:
  static constexpr std::string_view kTypeName = "Object";
  static const Member<WScript> kMembers[];
  WScript(vbs::Engine& engine, ScriptInfo info)
      : engine_(engine),
        info_(std::move(info)),
        arguments_(vbs::MakeObject<Arguments>(info_.arguments)),
        stdout_(vbs::MakeObject<TextOut>(stdout)),
        stderr_(vbs::MakeObject<TextOut>(stderr)),
        stdin_(vbs::MakeObject<TextIn>()) {}

  vbs::Engine& engine_;
  ScriptInfo info_;
  vbs::ObjectPtr<Arguments> arguments_;
  vbs::ObjectPtr<TextOut> stdout_;
  vbs::ObjectPtr<TextOut> stderr_;
  vbs::ObjectPtr<TextIn> stdin_;
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

Variant CreateObj(WScript& s, Args a) {
  return s.engine_.CreateObject(Text(a, 0));
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
    {"Name", MemberKind::Get, 0, 0,
     [](WScript&, Args) { return Variant::String("Windows Script Host"); }, true},
    {"Version", MemberKind::Get, 0, 0, [](WScript&, Args) { return Variant::String("5.8"); }},
    {"Interactive", MemberKind::Get, 0, 0, [](WScript&, Args) { return Variant::Boolean(false); }},
    {"CreateObject", MemberKind::Method, 1, 2, CreateObj},
};

}  // namespace

vbs::ObjectPtr<vbs::HostObject> MakeWScript(vbs::Engine& engine, ScriptInfo info) {
  return vbs::MakeObject<WScript>(engine, std::move(info));
}

}  // namespace runner
