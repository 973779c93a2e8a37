// The member tables of every program class that scripts see. Each table serves both the
// in-process engine and the object server.
#include "script/ScriptObjects.h"

#include <sys/stat.h>

#include <cstdio>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "engine/Errors.h"
#include "engine/Variant.h"
#include "script/Application.h"
#include "script/ObjectServer.h"
#include "script/Process.h"

namespace sablewick {
namespace {

using vbs::Args;
using vbs::MemberKind;
using vbs::Variant;

const Variant& Arg(Args a, size_t i) { return a[i]->Deref(); }
// Text from a script leaves the engine as the bytes the program stores and sends (UTF-8,
// U+DC80..U+DCFF back to the bytes they stand for); Str reads bytes back the same way, so
// a datagram that is not UTF-8 survives a round trip through a script unchanged.
std::string Text(Args a, size_t i) {
  return vbs::ToExternal(Arg(a, i));
}
Variant Str(std::string s) { return Variant::String(std::move(s)); }

// The program reports its own failures as Failure; a script sees them as script errors with
// the same number.
template <class F>
Variant Guard(F&& f) {
  try {
    return f();
  } catch (const Failure& e) {
    throw vbs::ScriptError(e.Number(), e.what());
  }
}

Variant StringArray(const std::vector<std::string>& items) {
  Variant array = vbs::NewArray({static_cast<int32_t>(items.size())});
  for (size_t i = 0; i < items.size(); ++i) {
    const int32_t index = static_cast<int32_t>(i);
    vbs::ArrayElement(*array.AsArray(), &index, 1) = Variant::String(items[i]);
  }
  return array;
}

}  // namespace

// ---- Application ---------------------------------------------------------------------------

const vbs::Member<Application> Application::kMemberTable[] = {
    {"SendUDPMessage", MemberKind::Method, 1, 1,
     [](Application& s, Args a) { return Guard([&] { s.SendUDPMessage(Text(a, 0)); return Variant(); }); }},
    {"SendXapMessage", MemberKind::Method, 7, 7,
     [](Application& s, Args a) {
       return Guard([&] {
         s.SendXapMessage(Text(a, 0), Text(a, 1), Text(a, 2), Text(a, 3), Text(a, 4), Text(a, 5),
                          Text(a, 6));
         return Variant();
       });
     }},
    {"SelectXapMessage", MemberKind::Method, 5, 5,
     [](Application& s, Args a) {
       s.SelectXapMessage(Text(a, 0), Text(a, 1), Text(a, 2), Text(a, 3), Text(a, 4));
       return Variant();
     }},
    {"GetXapMessage", MemberKind::Method, 1, 1,
     [](Application& s, Args a) {
       std::shared_ptr<XapMessage> msg;
       try {
         msg = s.GetXapMessage(Text(a, 0));
       } catch (...) {
       }
       return MessageVariant(msg);
     }},
    {"DeSelectXapMessage", MemberKind::Method, 5, 5,
     [](Application& s, Args a) {
       s.DeSelectXapMessage(Text(a, 0), Text(a, 1), Text(a, 2), Text(a, 3), Text(a, 4));
       return Variant();
     }},
    {"WriteLog", MemberKind::Method, 2, 2,
     [](Application& s, Args a) { s.WriteLog(Text(a, 0), Text(a, 1)); return Variant(); }},
    {"GetIniSetting", MemberKind::Method, 4, 4,
     [](Application& s, Args a) {
       return Guard([&] { return Str(s.GetIniSetting(Text(a, 0), Text(a, 1), Text(a, 2), Text(a, 3))); });
     }},
    {"SaveIniSetting", MemberKind::Method, 4, 4,
     [](Application& s, Args a) {
       return Guard([&] {
         s.SaveIniSetting(Text(a, 0), Text(a, 1), Text(a, 2), Text(a, 3));
         return Variant();
       });
     }},
    {"GetINISection", MemberKind::Method, 2, 2,
     [](Application& s, Args a) {
       return Guard([&] { return Str(s.GetINISection(Text(a, 0), Text(a, 1))); });
     }},
    {"GetAppPath", MemberKind::Get, 0, 0,
     [](Application& s, Args) { return Str(s.GetAppPath()); }},
    {"Spawn", MemberKind::Method, 3, 3,
     [](Application& s, Args a) {
       return Guard([&] { return s.Spawn(Text(a, 0), Text(a, 1), Text(a, 2)); });
     }},
    {"Run", MemberKind::Method, 1, 1,
     [](Application& s, Args a) { return Guard([&] { s.Run(Text(a, 0)); return Variant(); }); }},
    {"Runex", MemberKind::Method, 3, 3,
     [](Application& s, Args a) {
       return Guard([&] { return s.Runex(Text(a, 0), Text(a, 1), Text(a, 2)); });
     }},
    {"SendTCP", MemberKind::Method, 3, 3,
     [](Application& s, Args a) {
       return Guard([&] {
         s.SendTCP(Text(a, 0), vbs::ToLong(Arg(a, 1)), Text(a, 2));
         return Variant();
       });
     }},
    {"WaitMilliseconds", MemberKind::Method, 1, 1,
     [](Application& s, Args a) {
       return Guard([&] { s.WaitMilliseconds(Text(a, 0)); return Variant(); });
     }},
};
const std::span<const vbs::Member<Application>> Application::kMembers = kMemberTable;

Application::Application(App& app) : app_(app), logFile_(LogFilePath(app)) {
  CreateFolders(app_, logFile_);
  AppendToLog(app_, {});  // makes the file (0600) when it is not there
  InitScriptControl();
}

vbs::Variant Application::Spawn(std::string_view sScriptName, std::string_view sProcedure,
                                std::string_view sScriptParm) {
  // The job file goes beside the script, so its name must not climb out of Scripts/ either.
  JoinInside(app_.AppPath + "/Scripts", sScriptName);
  const std::string job = WrapWSF(sScriptName, sProcedure, sScriptParm);
  const std::vector<std::string> argv = {RunnerPath(app_),
                                         JoinInside(app_.AppPath + "/Scripts", job)};
  return Variant::Object(vbs::MakeObject<ProcessObject>(app_, argv));
}

// ---- xAP messages ------------------------------------------------------------------------------

vbs::Variant MessageVariant(const std::shared_ptr<XapMessage>& msg) {
  if (!msg) return Variant::Nothing();
  return Variant::Object(vbs::MakeObject<XapMessageObject>(msg));
}

namespace {

// A header field, readable and writable under its own name.
#define XAP_FIELD(NAME)                                                                   \
  {#NAME, MemberKind::Get, 0, 0,                                                          \
   [](XapMessageObject& m, Args) { return Str(m.Msg().NAME); }},                          \
  {                                                                                       \
    #NAME, MemberKind::Let, 0, 0, [](XapMessageObject& m, Args a) {                       \
      m.Msg().NAME = Text(a, a.size() - 1);                                               \
      return Variant();                                                                   \
    }                                                                                     \
  }

}  // namespace

const vbs::Member<XapMessageObject> XapMessageObject::kMemberTable[] = {
    {"AddHeader", MemberKind::Method, 0, 0,
     [](XapMessageObject& m, Args) { return Variant::Integer(m.Msg().AddHeader()); }},
    {"AddItem", MemberKind::Method, 3, 3,
     [](XapMessageObject& m, Args a) {
       return Variant::Integer(m.Msg().AddItem(Text(a, 0), Text(a, 1), Text(a, 2)));
     }},
    {"AddSection", MemberKind::Method, 1, 1,
     [](XapMessageObject& m, Args a) { return Variant::Integer(m.Msg().AddSection(Text(a, 0))); }},
    {"CompareAddress", MemberKind::Method, 2, 2,
     [](XapMessageObject&, Args a) {
       return Variant::Boolean(XapMessage::CompareAddress(Text(a, 0), Text(a, 1)));
     }},
    {"CompareClass", MemberKind::Method, 1, 1,
     [](XapMessageObject& m, Args a) { return Variant::Boolean(m.Msg().CompareClass(Text(a, 0))); }},
    {"CompareSource", MemberKind::Method, 1, 1,
     [](XapMessageObject& m, Args a) { return Variant::Boolean(m.Msg().CompareSource(Text(a, 0))); }},
    {"CompareTarget", MemberKind::Method, 1, 1,
     [](XapMessageObject& m, Args a) { return Variant::Boolean(m.Msg().CompareTarget(Text(a, 0))); }},
    {"FromXap", MemberKind::Method, 1, 1,
     [](XapMessageObject& m, Args a) { return Variant::Integer(m.Msg().FromXap(Text(a, 0))); }},
    {"CompareSection", MemberKind::Method, 1, 1,
     [](XapMessageObject& m, Args a) {
       return Variant::Boolean(m.Msg().CompareSection(Text(a, 0)));
     }},
    {"GetItem", MemberKind::Method, 2, 2,
     [](XapMessageObject& m, Args a) { return Str(m.Msg().GetItem(Text(a, 0), Text(a, 1))); }},
    {"Init", MemberKind::Method, 0, 1,
     [](XapMessageObject& m, Args) { return Variant::Integer(m.Msg().Init()); }},
    XAP_FIELD(Handle),
    XAP_FIELD(MsgClass),
    XAP_FIELD(MsgTarget),
    XAP_FIELD(msgSource),
    XAP_FIELD(MsgUID),
    {"Timestamp", MemberKind::Get, 0, 0,
     [](XapMessageObject& m, Args) { return Variant::Date(m.Msg().Timestamp); }},
    {"Timestamp", MemberKind::Let, 0, 0,
     [](XapMessageObject& m, Args a) {
       m.Msg().Timestamp = vbs::ToDate(Arg(a, a.size() - 1));
       return Variant();
     }},
    {"MsgSection", MemberKind::Get, 0, 0,
     [](XapMessageObject& m, Args) { return StringArray(m.Msg().MsgSection()); }},
    {"msgCollection", MemberKind::Get, 1, 1,
     [](XapMessageObject& m, Args a) {
       // A bad number gives no object; the fault is not reported.
       int32_t index = -1;
       try {
         index = vbs::ToInteger(Arg(a, 0));
       } catch (...) {
       }
       if (!m.Msg().msgCollection(index)) return Variant::Nothing();
       return Variant::Object(vbs::MakeObject<ItemCollectionObject>(m.Shared(), index));
     }},
    {"Reset", MemberKind::Method, 0, 0, [](XapMessageObject&, Args) { return Variant(); }},
    {"ToXap", MemberKind::Method, 0, 0,
     [](XapMessageObject& m, Args) { return Str(m.Msg().ToXap()); }},
};
const std::span<const vbs::Member<XapMessageObject>> XapMessageObject::kMembers = kMemberTable;

#undef XAP_FIELD

XapMessageObject::XapMessageObject(std::shared_ptr<XapMessage> msg) : msg_(std::move(msg)) {}

ItemCollectionObject::ItemCollectionObject(std::shared_ptr<XapMessage> msg, int section)
    : msg_(std::move(msg)), section_(section) {}

const vbs::Member<ItemCollectionObject> ItemCollectionObject::kMemberTable[] = {
    {"Item", MemberKind::Get, 1, 1,
     [](ItemCollectionObject& c, Args a) {
       const Variant& key = Arg(a, 0);
       const ItemCollection items = c.Items();
       std::optional<std::string_view> line = key.IsString()
                                                  ? items.Item(vbs::EncodeExternal(key.AsString()))
                                                  : items.Item(vbs::ToLong(key));
       if (!line) vbs::Throw(vbs::kInvalidCall);
       return Str(std::string(*line));
     },
     /*isDefault=*/true},
    {"Count", MemberKind::Get, 0, 0,
     [](ItemCollectionObject& c, Args) { return Variant::Long(c.Items().Count()); }},
};
const std::span<const vbs::Member<ItemCollectionObject>> ItemCollectionObject::kMembers = kMemberTable;

std::unique_ptr<vbs::Enumerator> ItemCollectionObject::Enumerate() {
  class Lines : public vbs::Enumerator {
   public:
    explicit Lines(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    bool Next(Variant& out) override {
      if (next_ >= lines_.size()) return false;
      out = Variant::String(lines_[next_++]);
      return true;
    }

   private:
    std::vector<std::string> lines_;
    size_t next_ = 0;
  };
  return std::make_unique<Lines>(Items().Lines());
}

void RegisterScriptClasses(ObjectServer& server) {
  server.RegisterClass<Application>();
  server.RegisterClass<XapMessageObject>();
  server.RegisterClass<ItemCollectionObject>();
  RegisterProcessClasses(server);
}

}  // namespace sablewick
