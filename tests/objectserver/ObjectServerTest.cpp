// The object server in process, driven by client connections on the same loop, by busctl and
// gdbus, by a client of another user, and through a private dbus-daemon.
#include "script/ObjectServer.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/App.h"
#include "engine/Errors.h"
#include "engine/Variant.h"
#include "script/BusValue.h"
#include "tests/TestSupport.h"
#include "tests/objectserver/ServerHarness.h"

namespace sablewick {
namespace {

using testing::Client;
using testing::PathIn;
using testing::PathMapper;
using testing::PathObject;
using testing::Reply;
using testing::RunUntil;
using vbs::Args;
using vbs::InvokeKind;
using vbs::Member;
using vbs::MemberKind;
using vbs::Variant;
using vbs::VarType;

// A small host class with one member of each sort the server must carry.
class Gadget : public vbs::TableObject<Gadget> {
 public:
  static constexpr std::string_view kTypeName = "Gadget";
  static const Member<Gadget> kMembers[];
  explicit Gadget(std::string name, int* alive = nullptr) : name_(std::move(name)), alive_(alive) {
    if (alive_) ++*alive_;
  }
  ~Gadget() override {
    if (alive_) --*alive_;
  }
  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    struct Items : vbs::Enumerator {
      explicit Items(Gadget& g) : g(g) {}
      bool Next(Variant& out) override {
        switch (i++) {
          case 0: out = Variant::String("first"); return true;
          case 1: out = Variant::Long(2); return true;
          case 2: out = Variant::Object(vbs::MakeObject<Gadget>("item", g.alive_)); return true;
          default: return false;
        }
      }
      Gadget& g;
      int i = 0;
    };
    return std::make_unique<Items>(*this);
  }

  std::string name_;
  int* alive_;
};

const Member<Gadget> Gadget::kMembers[] = {
    {"Add", MemberKind::Method, 1, 2,
     [](Gadget&, Args a) {
       return a.size() == 1 ? vbs::Add(*a[0], Variant::Long(1)) : vbs::Add(*a[0], *a[1]);
     }},
    {"Name", MemberKind::Get, 0, 0, [](Gadget& g, Args) { return Variant::String(g.name_); },
     true},
    {"Name", MemberKind::Let, 0, 0,
     [](Gadget& g, Args a) {
       g.name_ = vbs::ToString(*a.back());
       return Variant();
     }},
    {"Child", MemberKind::Method, 0, 0,
     [](Gadget& g, Args) {
       return Variant::Object(vbs::MakeObject<Gadget>(g.name_ + ".child", g.alive_));
     }},
    {"NameOf", MemberKind::Method, 1, 1,
     [](Gadget&, Args a) {
       auto* other = dynamic_cast<Gadget*>(a[0]->Deref().AsObject());
       if (other == nullptr) vbs::Throw(vbs::kTypeMismatch);
       return Variant::String(other->name_);
     }},
    {"Fail", MemberKind::Method, 1, 1,
     [](Gadget&, Args a) -> Variant { vbs::Throw(vbs::ToLong(*a[0]), "gadget says no"); }},
    {"Echo", MemberKind::Method, 0, -1,
     [](Gadget&, Args a) {
       if (a.size() == 1) return a[0]->Deref();
       Variant all = vbs::NewArray({static_cast<int32_t>(a.size())});
       for (size_t i = 0; i < a.size(); ++i) all.AsArray()->data[i] = a[i]->Deref();
       return all;
     }},
    {"Nothing", MemberKind::Method, 0, 0, [](Gadget&, Args) { return Variant::Nothing(); }},
};

class ObjectServerTest : public ::testing::Test {
 protected:
  ObjectServerTest() {
    app.AppPath = dir.Path();
    std::filesystem::create_directories(dir.Path() + "/Data");
  }
  void TearDown() override {
    if (HasFailure()) std::fprintf(stderr, "--- log ---\n%s\n", Log().c_str());
  }
  std::string Log() const { return testing::ReadFile(dir.Path() + "/Data/Sablewick.txt"); }

  // Starts a server on a socket in the test's folder, without a session bus unless given.
  void StartServer(ObjectServer::Options options = {}) {
    if (options.socketPath.empty()) options.socketPath = dir.Path() + "/bus";
    if (options.sessionAddress.empty()) options.useSessionBus = false;
    server = std::make_unique<ObjectServer>(
        app, [this] { return vbs::ObjectPtr<vbs::HostObject>(new Gadget("app", &alive)); },
        options);
    server->RegisterClass<Gadget>();
    ASSERT_TRUE(server->Start());
  }

  testing::TempDir dir;
  App app;
  int alive = 0;  // Gadgets in existence
  std::unique_ptr<ObjectServer> server;
};

TEST_F(ObjectServerTest, MembersAreCalledByNameInAnyCaseThroughInvokeAndTheirOwnMethods) {
  StartServer();
  Client c(server->Address());
  ASSERT_TRUE(c.Ready());
  const std::string app = c.Create();
  ASSERT_EQ(app.rfind(std::string(kObjectsPath) + "/", 0), 0u) << app;
  EXPECT_EQ(server->ObjectCount(), 1u);

  // Generic Invoke: the member table's lookup ignores case.
  for (const char* name : {"Add", "add", "ADD", "aDd"}) {
    Reply r = c.Invoke(app, name, InvokeKind::Get, {Variant::Long(40), Variant::Long(2)});
    ASSERT_TRUE(r.Ok()) << name << ": " << r.errorMessage;
    Variant v = r.Value();
    EXPECT_EQ(v.Type(), VarType::Long);
    EXPECT_EQ(v.AsLong(), 42);
  }
  // Optional arguments: Add takes one or two, so its own method takes av.
  Reply one = c.Call(app, "org.sablewick.Sablewick.Gadget", "Add",
                     [](sd_bus_message* m) { sd_bus_message_append(m, "av", 1, "i", 9); });
  ASSERT_TRUE(one.Ok()) << one.errorMessage;
  EXPECT_EQ(one.Value().AsLong(), 10);

  // A read/write property: Name to read, SetName to write, and Invoke with Let.
  Reply set = c.Call(app, "org.sablewick.Sablewick.Gadget", "SetName",
                     [](sd_bus_message* m) { sd_bus_message_append(m, "v", "s", "lamp"); });
  ASSERT_TRUE(set.Ok()) << set.errorMessage;
  EXPECT_EQ(set.Value().Type(), VarType::Empty);
  Reply get = c.Call(app, "org.sablewick.Sablewick.Gadget", "Name");
  ASSERT_TRUE(get.Ok()) << get.errorMessage;
  EXPECT_EQ(vbs::ToString(get.Value()), "lamp");
  ASSERT_TRUE(c.Invoke(app, "nAmE", InvokeKind::Let, {Variant::String("desk")}).Ok());
  EXPECT_EQ(vbs::ToString(c.Invoke(app, "NAME", InvokeKind::Get, {}).Value()), "desk");
  // The default member answers to the empty name.
  EXPECT_EQ(vbs::ToString(c.Invoke(app, "", InvokeKind::Get, {}).Value()), "desk");

  Reply type = c.Call(app, kObjectInterface, "TypeName");
  ASSERT_TRUE(type.Ok());
  EXPECT_EQ(type.Text(), "Gadget");
}

TEST_F(ObjectServerTest, ValuesKeepTheirTypeBothWays) {
  StartServer();
  Client c(server->Address());
  const std::string app = c.Create();
  ASSERT_FALSE(app.empty());

  Variant matrix = vbs::NewArray({2, 3});
  for (int i = 0; i < 6; ++i) matrix.AsArray()->data[i] = Variant::Long(i * 10);
  matrix.AsArray()->bounds[0].lower = 1;
  Variant jagged = vbs::NewArray({2});
  jagged.AsArray()->data[0] = Variant::String("in");
  jagged.AsArray()->data[1] = matrix;

  const std::string items = std::string("Name\1Lamp") + '\0' + "Level\1" + "50";
  // Also Küche with an emoji, and an unpaired surrogate (ChrW(&HD83D) & "a").
  const Variant cases[] = {
      Variant(), Variant::Null(), Variant::Integer(-7), Variant::Long(123456789),
      Variant::Single(1.5f), Variant::Double(0.1), Variant::Currency(12345678),
      Variant::Date(46000.25), Variant::String("h\xC3\xA9llo"),
      Variant::String(items),            // NUL inside: not a D-Bus string
      Variant::String("\xFF\xFE raw"),  // not UTF-8
      Variant::String(""), Variant::Boolean(true), Variant::Boolean(false), Variant::Byte(200),
      Variant::Error(5), vbs::MissingArgument(), Variant::Nothing(), matrix, jagged,
      Variant::String("K\u00fcche \U0001F4A1"), Variant::Text("\xED\xA0\xBD\x61"),
  };
  for (const Variant& in : cases) {
    SCOPED_TRACE(vbs::TypeNameOf(in));
    Reply r = c.Invoke(app, "Echo", InvokeKind::Get, {in});
    ASSERT_TRUE(r.Ok()) << r.errorMessage;
    Variant out = r.Value();
    ASSERT_EQ(out.Type(), in.Type());
    if (in.IsArray()) {
      const auto& a = *in.AsArray();
      const auto& b = *out.AsArray();
      ASSERT_EQ(a.bounds.size(), b.bounds.size());
      for (size_t d = 0; d < a.bounds.size(); ++d) {
        EXPECT_EQ(a.bounds[d].lower, b.bounds[d].lower);
        EXPECT_EQ(a.bounds[d].count, b.bounds[d].count);
      }
      ASSERT_EQ(a.data.size(), b.data.size());
      for (size_t i = 0; i < a.data.size(); ++i) EXPECT_EQ(a.data[i].Type(), b.data[i].Type());
      if (&in == &cases[19]) {
        EXPECT_EQ(b.data[1].AsArray()->data[5].AsLong(), 50);
      }
    } else if (in.IsString()) {
      EXPECT_EQ(out.AsString(), in.AsString());
    } else if (in.Type() == VarType::Error) {
      EXPECT_EQ(out.AsLong(), in.AsLong());
    } else if (!in.IsObject() && !in.IsEmpty() && !in.IsNull()) {
      EXPECT_EQ(vbs::CompareValues(in, out, false, false, false), 0);
    }
  }
  EXPECT_TRUE(vbs::IsMissing(c.Invoke(app, "Echo", InvokeKind::Get, {vbs::MissingArgument()})
                                 .Value()));

  // Plain D-Bus values, as busctl, gdbus and Python send them.
  struct Plain {
    const char* signature;
    std::function<void(sd_bus_message*)> append;
    VarType type;
    std::string text;
  };
  const Plain plain[] = {
      {"s", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "text"); }, VarType::String,
       "text"},
      {"i", [](sd_bus_message* m) { sd_bus_message_append(m, "i", -5); }, VarType::Long, "-5"},
      {"u", [](sd_bus_message* m) { sd_bus_message_append(m, "u", 7u); }, VarType::Long, "7"},
      {"u", [](sd_bus_message* m) { sd_bus_message_append(m, "u", 4000000000u); },
       VarType::Double, "4000000000"},
      {"x", [](sd_bus_message* m) { sd_bus_message_append(m, "x", int64_t{-3}); }, VarType::Long,
       "-3"},
      {"t", [](sd_bus_message* m) { sd_bus_message_append(m, "t", uint64_t{1} << 40); },
       VarType::Double, "1099511627776"},
      {"n", [](sd_bus_message* m) { sd_bus_message_append(m, "n", int16_t{-2}); },
       VarType::Integer, "-2"},
      {"q", [](sd_bus_message* m) { sd_bus_message_append(m, "q", uint16_t{65535}); },
       VarType::Long, "65535"},
      {"d", [](sd_bus_message* m) { sd_bus_message_append(m, "d", 2.5); }, VarType::Double, "2.5"},
      {"b", [](sd_bus_message* m) { sd_bus_message_append(m, "b", 1); }, VarType::Boolean, "True"},
      {"y", [](sd_bus_message* m) { sd_bus_message_append(m, "y", 9); }, VarType::Byte, "9"},
      {"ay", [](sd_bus_message* m) { sd_bus_message_append_array(m, 'y', "a\0b", 3); },
       VarType::String, std::string("a\0b", 3)},
      {"o", [](sd_bus_message* m) { sd_bus_message_append(m, "o", "/"); }, VarType::Object, ""},
      {"as", [](sd_bus_message* m) { sd_bus_message_append(m, "as", 2, "x", "y"); },
       VarType::Array, ""},
      {"v", [](sd_bus_message* m) { sd_bus_message_append(m, "v", "i", 4); }, VarType::Long, "4"},
  };
  for (const Plain& p : plain) {
    SCOPED_TRACE(p.signature);
    Reply r = c.Call(app, kObjectInterface, "Invoke", [&](sd_bus_message* m) {
      sd_bus_message_append(m, "sy", "echo", 0);
      sd_bus_message_open_container(m, 'a', "v");
      sd_bus_message_open_container(m, 'v', p.signature);
      p.append(m);
      sd_bus_message_close_container(m);
      sd_bus_message_close_container(m);
    });
    ASSERT_TRUE(r.Ok()) << r.errorMessage;
    Variant out = r.Value();
    EXPECT_EQ(out.Type(), p.type);
    if (out.IsArray()) {
      ASSERT_EQ(out.AsArray()->data.size(), 2u);
      EXPECT_EQ(vbs::ToString(out.AsArray()->data[1]), "y");
    } else if (!out.IsObject()) {
      EXPECT_EQ(vbs::ToString(out), p.text);
    }
  }
  // What has no script form is refused with a type mismatch, and the server carries on.
  Reply dict = c.Call(app, kObjectInterface, "Invoke", [](sd_bus_message* m) {
    sd_bus_message_append(m, "sy", "echo", 0);
    sd_bus_message_append(m, "av", 1, "a{ss}", 1, "k", "v");
  });
  EXPECT_EQ(dict.ScriptErrorNumber(), vbs::kTypeMismatch) << dict.errorMessage;
  EXPECT_TRUE(c.Invoke(app, "Add", InvokeKind::Get, {Variant::Long(1)}).Ok());
}

TEST_F(ObjectServerTest, ReturnedObjectsGetPathsAndLiveUntilReleased) {
  StartServer();
  Client c(server->Address());
  const std::string app = c.Create();
  ASSERT_FALSE(app.empty());
  EXPECT_EQ(alive, 1);

  Reply r = c.Invoke(app, "Child", InvokeKind::Get, {});
  ASSERT_TRUE(r.Ok()) << r.errorMessage;
  const std::string child = PathIn(r.Value());
  ASSERT_FALSE(child.empty());
  EXPECT_NE(child, app);
  EXPECT_EQ(server->ObjectCount(), 2u);
  EXPECT_EQ(vbs::ToString(c.Invoke(child, "Name", InvokeKind::Get, {}).Value()), "app.child");
  // Its class's own interface is there too.
  EXPECT_TRUE(c.Call(child, "org.sablewick.Sablewick.Gadget", "Child").Ok());
  EXPECT_EQ(server->ObjectCount(), 3u);

  // An object path given back as an argument is the object itself.
  Reply named = c.Invoke(app, "NameOf", InvokeKind::Get,
                         {Variant::Object(vbs::MakeObject<PathObject>(child))});
  ASSERT_TRUE(named.Ok()) << named.errorMessage;
  EXPECT_EQ(vbs::ToString(named.Value()), "app.child");
  Reply stranger = c.Invoke(app, "NameOf", InvokeKind::Get,
                            {Variant::Object(vbs::MakeObject<PathObject>(
                                std::string(kObjectsPath) + "/999999"))});
  EXPECT_EQ(stranger.ScriptErrorNumber(), vbs::kObjectRequired);

  // Nothing is a null path, not an object.
  EXPECT_TRUE(c.Invoke(app, "Nothing", InvokeKind::Get, {}).Value().IsNothing());
  EXPECT_EQ(server->ObjectCount(), 3u);

  // A collection comes whole; its objects get paths.
  Reply items = c.Call(app, kObjectInterface, "Enumerate");
  ASSERT_TRUE(items.Ok()) << items.errorMessage;
  ASSERT_GE(sd_bus_message_enter_container(items.message, 'a', "(qv)"), 0);
  testing::PathMapper map;
  std::vector<Variant> got;
  while (sd_bus_message_at_end(items.message, false) == 0)
    got.push_back(ReadTagged(items.message, map));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(vbs::ToString(got[0]), "first");
  EXPECT_EQ(got[1].AsLong(), 2);
  EXPECT_FALSE(PathIn(got[2]).empty());
  EXPECT_EQ(server->ObjectCount(), 4u);
  Reply notCollection = c.Call(child, kObjectInterface, "Enumerate");
  EXPECT_TRUE(notCollection.Ok());  // every Gadget enumerates; the count goes up by one
  EXPECT_EQ(server->ObjectCount(), 5u);

  // Release through the object and through the factory; a released path is gone.
  EXPECT_TRUE(c.Call(child, kObjectInterface, "Release").Ok());
  EXPECT_EQ(server->ObjectCount(), 4u);
  EXPECT_FALSE(c.Invoke(child, "Name", InvokeKind::Get, {}).Ok());
  Reply rel = c.Call(kFactoryPath, kFactoryInterface, "Release",
                     [&](sd_bus_message* m) { sd_bus_message_append(m, "o", app.c_str()); });
  EXPECT_TRUE(rel.Ok()) << rel.errorMessage;
  EXPECT_EQ(server->ObjectCount(), 3u);
  Reply again = c.Call(kFactoryPath, kFactoryInterface, "Release",
                       [&](sd_bus_message* m) { sd_bus_message_append(m, "o", app.c_str()); });
  EXPECT_EQ(again.ScriptErrorNumber(), vbs::kObjectRequired);
}

TEST_F(ObjectServerTest, ScriptErrorsCarryTheirNumbers) {
  ObjectServer::Options options;
  options.maxObjectsPerClient = 3;
  StartServer(options);
  Client c(server->Address());
  const std::string app = c.Create();
  ASSERT_FALSE(app.empty());

  struct Case {
    std::string member;
    InvokeKind kind;
    std::vector<Variant> args;
    int32_t number;
  };
  const int32_t userError = static_cast<int32_t>(0x80040000u + 513);  // vbObjectError + 513
  const Case cases[] = {
      {"Fail", InvokeKind::Get, {Variant::Long(11)}, 11},
      {"Fail", InvokeKind::Get, {Variant::Long(userError)}, userError},
      {"NoSuchThing", InvokeKind::Get, {}, vbs::kNoSuchMember},
      {"Add", InvokeKind::Get, {}, vbs::kWrongArgCount},
      {"Add", InvokeKind::Get, {Variant::String("x"), Variant::Long(1)}, vbs::kTypeMismatch},
      {"Name", InvokeKind::Let, {}, vbs::kWrongArgCount},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.member);
    Reply r = c.Invoke(app, k.member, k.kind, k.args);
    ASSERT_FALSE(r.Ok());
    EXPECT_EQ(r.errorName, kScriptErrorName);
    EXPECT_EQ(r.ScriptErrorNumber(), k.number) << r.errorMessage;
  }
  Reply custom = c.Invoke(app, "Fail", InvokeKind::Get, {Variant::Long(1000)});
  EXPECT_EQ(custom.errorMessage, "1000: gadget says no");
  Reply bad = c.Call(app, kObjectInterface, "Invoke", [](sd_bus_message* m) {
    sd_bus_message_append(m, "sy", "Add", 9);
    sd_bus_message_append(m, "av", 0);
  });
  EXPECT_EQ(bad.ScriptErrorNumber(), vbs::kInvalidCall);

  // The per-client limit: the failing call leaves nothing behind.
  ASSERT_FALSE(PathIn(c.Invoke(app, "Child", InvokeKind::Get, {}).Value()).empty());
  ASSERT_FALSE(PathIn(c.Invoke(app, "Child", InvokeKind::Get, {}).Value()).empty());
  EXPECT_EQ(server->ObjectCount(), 3u);
  Reply over = c.Invoke(app, "Child", InvokeKind::Get, {});
  EXPECT_EQ(over.ScriptErrorNumber(), vbs::kOutOfMemory) << over.errorMessage;
  Reply overList = c.Call(app, kObjectInterface, "Enumerate");
  EXPECT_EQ(overList.ScriptErrorNumber(), vbs::kOutOfMemory) << overList.errorMessage;
  EXPECT_EQ(c.Call(kFactoryPath, kFactoryInterface, "Create").ScriptErrorNumber(),
            vbs::kOutOfMemory);
  EXPECT_EQ(server->ObjectCount(), 3u);
  EXPECT_EQ(alive, 3);
  // Another client has a limit of its own.
  Client other(server->Address());
  EXPECT_FALSE(other.Create().empty());
}

TEST_F(ObjectServerTest, ObjectsBelongToTheirClientAndGoWithIt) {
  StartServer();
  Client first(server->Address());
  Client second(server->Address());
  const std::string mine = first.Create();
  ASSERT_FALSE(mine.empty());
  const std::string child = PathIn(first.Invoke(mine, "Child", InvokeKind::Get, {}).Value());
  ASSERT_FALSE(child.empty());
  const std::string kept = first.Create(true);
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(server->ObjectCount(), 3u);

  // The second client sees no object where the first one's are.
  for (const std::string& path : {mine, child}) {
    Reply r = second.Invoke(path, "Name", InvokeKind::Get, {});
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.errorName, "org.freedesktop.DBus.Error.UnknownObject") << path;
    Reply rel = second.Call(kFactoryPath, kFactoryInterface, "Release",
                            [&](sd_bus_message* m) { sd_bus_message_append(m, "o", path.c_str()); });
    EXPECT_FALSE(rel.Ok());
    Reply passed = second.Invoke(kept, "NameOf", InvokeKind::Get,
                                 {Variant::Object(vbs::MakeObject<PathObject>(path))});
    EXPECT_EQ(passed.ScriptErrorNumber(), vbs::kObjectRequired);
  }
  // A kept object is for every client of the user.
  EXPECT_TRUE(second.Invoke(kept, "Name", InvokeKind::Get, {}).Ok());
  EXPECT_EQ(server->ObjectCount(), 3u);

  // The first client goes: its objects go, the kept one stays until released.
  first.Close();
  ASSERT_TRUE(RunUntil([&] { return server->ObjectCount() == 1; }));
  EXPECT_EQ(alive, 1);
  EXPECT_TRUE(RunUntil([&] { return server->ConnectionCount() == 1; }));
  EXPECT_TRUE(second.Call(kept, kObjectInterface, "Release").Ok());
  EXPECT_EQ(server->ObjectCount(), 0u);
  EXPECT_EQ(alive, 0);
}

TEST_F(ObjectServerTest, IntrospectionShowsEveryMember) {
  StartServer();
  Client c(server->Address());
  const std::string app = c.Create();
  ASSERT_FALSE(app.empty());
  Reply r = c.Call(app, "org.freedesktop.DBus.Introspectable", "Introspect");
  ASSERT_TRUE(r.Ok()) << r.errorMessage;
  const std::string xml = r.Text();
  EXPECT_NE(xml.find("<interface name=\"org.sablewick.Sablewick.Gadget\">"), std::string::npos);
  EXPECT_NE(xml.find("<interface name=\"org.sablewick.Sablewick.Object\">"), std::string::npos);
  for (const char* method : {"Add", "Name", "SetName", "Child", "NameOf", "Fail", "Echo",
                             "Nothing", "Invoke", "Enumerate", "Release", "TypeName"})
    EXPECT_NE(xml.find(std::string("<method name=\"") + method + "\">"), std::string::npos)
        << method;
  // Fixed argument counts are one v each; the setter takes the value last.
  EXPECT_NE(xml.find("<arg type=\"v\" name=\"value\" direction=\"in\"/>"), std::string::npos);
  EXPECT_NE(xml.find("<arg type=\"av\" name=\"args\" direction=\"in\"/>"), std::string::npos);

  // The object's subtree lists only the caller's objects.
  Reply tree = c.Call(kObjectsPath, "org.freedesktop.DBus.Introspectable", "Introspect");
  ASSERT_TRUE(tree.Ok());
  const std::string node = app.substr(app.rfind('/') + 1);
  EXPECT_NE(tree.Text().find("<node name=\"" + node + "\"/>"), std::string::npos);
  Client other(server->Address());
  Reply otherTree = other.Call(kObjectsPath, "org.freedesktop.DBus.Introspectable", "Introspect");
  ASSERT_TRUE(otherTree.Ok());
  EXPECT_EQ(otherTree.Text().find("<node name=\"" + node + "\"/>"), std::string::npos);
}

// busctl and gdbus open a connection per call and greet it as a message bus (Hello, AddMatch):
// kept objects are what a shell script uses.
TEST_F(ObjectServerTest, BusctlAndGdbusCallThePrivateSocket) {
  StartServer();
  const std::string address = "--address=" + server->Address();
  auto busctl = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {"busctl", address};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::RunProgram(argv);
  };
  auto created = busctl({"call", kBusName, kFactoryPath, kFactoryInterface, "CreateKept"});
  ASSERT_EQ(created.status, 0) << created.output;
  ASSERT_EQ(created.output.rfind("o \"", 0), 0u) << created.output;
  const std::string path = created.output.substr(3, created.output.find('"', 3) - 3);

  auto set = busctl({"call", kBusName, path, "org.sablewick.Sablewick.Gadget", "SetName", "v", "s",
                     "porch"});
  EXPECT_EQ(set.status, 0) << set.output;
  auto get = busctl({"call", kBusName, path, "org.sablewick.Sablewick.Gadget", "Name"});
  EXPECT_EQ(get.status, 0) << get.output;
  EXPECT_EQ(get.output, "(qv) 8 s \"porch\"\n");
  auto add = busctl({"call", kBusName, path, kObjectInterface, "Invoke", "syav", "ADD", "0", "2",
                     "i", "2", "d", "0.5"});
  EXPECT_EQ(add.output, "(qv) 5 d 2.5\n");
  auto fail = busctl({"call", kBusName, path, kObjectInterface, "Invoke", "syav", "fail", "0", "1",
                      "i", "70"});
  EXPECT_NE(fail.status, 0);
  EXPECT_NE(fail.output.find("70: gadget says no"), std::string::npos) << fail.output;
  auto introspect = busctl({"introspect", kBusName, path});
  EXPECT_EQ(introspect.status, 0) << introspect.output;
  EXPECT_NE(introspect.output.find(".SetName"), std::string::npos) << introspect.output;

  auto gdbus = testing::RunProgram({"gdbus", "call", "--address", server->Address(),
                                    "--dest", kBusName, "--object-path", path, "--method",
                                    "org.sablewick.Sablewick.Gadget.Name"});
  EXPECT_EQ(gdbus.status, 0) << gdbus.output;
  EXPECT_EQ(gdbus.output, "((uint16 8, <'porch'>),)\n");
  auto ginvoke = testing::RunProgram({"gdbus", "call", "--address", server->Address(), "--dest",
                                      kBusName, "--object-path", path, "--method",
                                      std::string(kObjectInterface) + ".Invoke", "name", "0", "[]"});
  EXPECT_EQ(ginvoke.output, "((uint16 8, <'porch'>),)\n");
  auto noArgs = busctl({"call", kBusName, path, kObjectInterface, "Invoke", "syav", "NAME", "0", "0"});
  EXPECT_EQ(noArgs.output, "(qv) 8 s \"porch\"\n");
  auto gcreate = testing::RunProgram({"gdbus", "call", "--address", server->Address(),
                                      "--dest", kBusName, "--object-path", kFactoryPath, "--method",
                                      std::string(kFactoryInterface) + ".Create"});
  EXPECT_EQ(gcreate.status, 0) << gcreate.output;

  // Plain Create objects went with their one-call connections; the kept one stays.
  EXPECT_TRUE(RunUntil([&] { return server->ObjectCount() == 1; }));
  auto release = busctl({"call", kBusName, kFactoryPath, kFactoryInterface, "Release", "o", path});
  EXPECT_EQ(release.status, 0) << release.output;
  EXPECT_EQ(server->ObjectCount(), 0u);
}

// Runs a client as nobody: exit 0 when the call went through, 2 when the connection was
// refused at connect(), 3 when it was accepted and then closed.
testing::ProgramResult CallAsNobody(const std::string& socketPath, const std::string& address) {
  return testing::RunProgram({"true"}, 10000, [&] {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(9);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(2);
    ::close(fd);
    sd_bus* bus = nullptr;
    sd_bus_new(&bus);
    sd_bus_set_address(bus, address.c_str());
    if (sd_bus_start(bus) < 0) ::_exit(3);
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus, nullptr, kFactoryPath, kFactoryInterface, "Create",
                                     nullptr, &reply, "");
    ::_exit(r >= 0 ? 0 : 3);
  });
}

TEST_F(ObjectServerTest, OtherUsersAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  StartServer();
  struct stat st {};
  ASSERT_EQ(::stat(server->SocketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const auto asNobody = [&] { return CallAsNobody(server->SocketPath(), server->Address()); };
  // First the file mode keeps it out...
  EXPECT_EQ(asNobody().status, 2);
  // ...and with the file and folder opened to everybody, the peer check still does.
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(server->SocketPath().c_str(), 0666), 0);
  EXPECT_EQ(asNobody().status, 3);
  EXPECT_NE(Log().find("refused a connection of user 65534"), std::string::npos) << Log();
  EXPECT_EQ(server->ObjectCount(), 0u);
  EXPECT_EQ(server->ConnectionCount(), 0u);
  // The owner still gets in.
  Client c(server->Address());
  EXPECT_FALSE(c.Create().empty());
}

// The usual socket folder ($XDG_RUNTIME_DIR/sablewick, or /tmp/sablewick-<uid>) when it is not
// ours alone: refused, and the server goes to a fresh folder of its own beside it, which it
// removes at the end. Nothing is made in the refused one.
TEST_F(ObjectServerTest, ASocketFolderNotOursAloneIsRefusedForOneOfOurOwn) {
  struct Case {
    const char* what;
    uid_t owner;
    mode_t mode;
    std::string said;
  };
  const uid_t me = ::geteuid();
  const uid_t other = me == 65534 ? 65533 : 65534;
  const Case cases[] = {
      {"open to others", me, 0777, " is open to others (mode 0777)"},
      {"group-writable", me, 0770, " is open to others (mode 0770)"},
      {"another user's", other, 0700,
       " belongs to another user (uid " + std::to_string(other) + ", mode 0700)"},
  };
  const char* before = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = before != nullptr ? before : "";
  int n = 0;
  for (const Case& c : cases) {
    if (c.owner != me && me != 0) {
      std::printf("skipped \"%s\": needs root to give a folder to another user\n", c.what);
      continue;
    }
    const std::string runtime = dir.Path() + "/run" + std::to_string(++n);
    const std::string folder = runtime + "/sablewick";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    if (c.owner != me) ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner), 0);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ObjectServer::Options options;
    options.useSessionBus = false;
    server = std::make_unique<ObjectServer>(
        app, [this] { return vbs::ObjectPtr<vbs::HostObject>(new Gadget("app", &alive)); },
        options);
    server->RegisterClass<Gadget>();
    EXPECT_TRUE(server->Start()) << c.what;

    const std::string path = server->SocketPath();
    const std::string made = path.substr(0, path.rfind('/'));
    EXPECT_EQ(made.rfind(folder + ".", 0), 0u) << c.what << ": " << path;
    EXPECT_EQ(path.substr(path.rfind('/')), "/bus") << c.what;
    struct stat st {};
    ASSERT_EQ(::lstat(made.c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_uid, me) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << c.what;
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << c.what;
    EXPECT_NE(Log().find("the socket folder " + folder + c.said + ": refused"), std::string::npos)
        << c.what << "\n"
        << Log();
    {
      Client client(server->Address());
      EXPECT_FALSE(client.Create().empty()) << c.what;
    }
    server.reset();
    EXPECT_FALSE(std::filesystem::exists(made)) << c.what << ": left behind";
  }
  if (before != nullptr)
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

// Folders that earlier runs made beside a refused one and left behind (a crash) go at the next
// refusal; one a node serves from, one just made, or one not like ours stay.
TEST_F(ObjectServerTest, FoldersLeftBehindBesideARefusedOneAreSwept) {
  const std::string runtime = dir.Path() + "/run";
  const std::string folder = runtime + "/sablewick";
  ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  // A socket file at path; its fd, listening when listen is true (else closed: stale).
  const auto socketAt = [](const std::string& path, bool listen) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    if (listen) {
      EXPECT_EQ(::listen(fd, 4), 0);
      return fd;
    }
    ::close(fd);
    return -1;
  };
  struct Case {
    const char* suffix;
    mode_t mode;
    bool listening;
    bool old;
    bool swept;
  };
  const Case cases[] = {
      {".stale1", 0700, false, true, true},  {".stale2", 0700, false, true, true},
      {".live01", 0700, true, true, false},  {".fresh1", 0700, false, false, false},
      {".open01", 0755, false, true, false}, {".toolong", 0700, false, true, false},
  };
  std::vector<int> held;
  for (const Case& c : cases) {
    const std::string path = folder + c.suffix;
    ASSERT_EQ(::mkdir(path.c_str(), c.mode), 0);
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    const int fd = socketAt(path + "/bus", c.listening);
    if (fd >= 0) held.push_back(fd);
    if (c.old) {
      const timespec anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), anHourAgo, 0), 0);
    }
  }
  const char* before = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  ObjectServer::Options options;
  options.useSessionBus = false;
  server = std::make_unique<ObjectServer>(
      app, [this] { return vbs::ObjectPtr<vbs::HostObject>(new Gadget("app", &alive)); }, options);
  EXPECT_TRUE(server->Start());
  for (const Case& c : cases)
    EXPECT_EQ(std::filesystem::exists(folder + c.suffix), !c.swept) << c.suffix;
  server.reset();
  for (int fd : held) ::close(fd);
  if (before != nullptr)
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

// The tools reach the node only through a unix socket whose server they can ask for its uid;
// a socket nobody serves is simply not there, with nothing refused.
TEST(ConnectToDaemon, OnlyAUnixSocketIsTakenAndAMissingOneIsNoRefusal) {
  struct Case {
    std::string address;
    std::string refusal;  // expected at its start, "" for none
  };
  const testing::TempDir dir;
  const Case cases[] = {
      {"tcp:host=127.0.0.1,port=9", "cannot tell who serves tcp:host=127.0.0.1,port=9"},
      {"unixexec:path=/bin/true", "cannot tell who serves unixexec:path=/bin/true"},
      {"unix:path=" + dir.Path() + "/none", ""},
      {"unix:path=" + dir.Path() + "/none;tcp:host=127.0.0.1,port=9",
       "cannot tell who serves tcp:"},
      {"unix:path=%zz", "cannot tell who serves unix:path=%zz"},
  };
  for (const Case& c : cases) {
    std::string tried, refusal;
    bool session = true;
    EXPECT_EQ(ConnectToDaemon(c.address, tried, session, refusal), nullptr) << c.address;
    EXPECT_FALSE(session) << c.address;
    if (c.refusal.empty())
      EXPECT_EQ(refusal, "") << c.address;
    else
      EXPECT_EQ(refusal.rfind(c.refusal, 0), 0u) << c.address << ": " << refusal;
  }
}

TEST_F(ObjectServerTest, ConnectionsAreLimited) {
  ObjectServer::Options options;
  options.maxConnections = 2;
  StartServer(options);
  Client a(server->Address()), b(server->Address());
  EXPECT_FALSE(a.Create().empty());
  EXPECT_FALSE(b.Create().empty());
  Client third(server->Address());
  EXPECT_TRUE(third.Create().empty());
  EXPECT_EQ(server->ConnectionCount(), 2u);
  EXPECT_NE(Log().find("refused a connection: 2 connections are open"), std::string::npos);
  a.Close();
  ASSERT_TRUE(RunUntil([&] { return server->ConnectionCount() == 1; }));
  Client fourth(server->Address());
  EXPECT_FALSE(fourth.Create().empty());
}

// Kept objects are reclaimed when the script that made them ends (its process group is
// named) and, whoever made them, after a time unused; one in use stays.
TEST_F(ObjectServerTest, KeptObjectsGoWithTheirScriptOrWhenUnused) {
  ObjectServer::Options options;
  options.keptIdleSeconds = 2;
  StartServer(options);
  Client c(server->Address());
  const std::string mine = c.Create(true);
  ASSERT_FALSE(mine.empty());
  server->ReleaseKeptOf(::getpgrp() + 1);  // another group's script ended
  EXPECT_EQ(server->ObjectCount(), 1u);
  server->ReleaseKeptOf(::getpgrp());
  EXPECT_EQ(server->ObjectCount(), 0u);
  EXPECT_FALSE(c.Invoke(mine, "Name", InvokeKind::Get, {}).Ok());

  const std::string idle = c.Create(true);
  const std::string used = c.Create(true);
  ASSERT_TRUE(RunUntil([&] {
    EXPECT_TRUE(c.Invoke(used, "Name", InvokeKind::Get, {}).Ok());
    return server->ObjectCount() == 1;
  }, 10000));
  EXPECT_FALSE(c.Invoke(idle, "Name", InvokeKind::Get, {}).Ok());
  EXPECT_TRUE(c.Invoke(used, "Name", InvokeKind::Get, {}).Ok());
}

// A client that keeps calling and never reads the replies is disconnected once what waits for
// it passes the limit; one that reads the same replies stays, and the others go on.
TEST_F(ObjectServerTest, AClientThatDoesNotReadItsRepliesIsDisconnected) {
  ObjectServer::Options options;
  options.maxUnreadBytes = 4u << 20;
  options.peerSendBuffer = 256u << 10;  // the replies below do not fit in it
  StartServer(options);
  Client c(server->Address());
  const std::string path = c.Create(true);  // kept: the other connection may call it
  const std::string big(1 << 20, 'n');
  ASSERT_TRUE(c.Invoke(path, "Name", InvokeKind::Let, {Variant::String(big)}).Ok());
  for (int i = 0; i < 40; ++i) {
    Reply r = c.Invoke(path, "Name", InvokeKind::Get, {});
    ASSERT_TRUE(r.Ok());
    ASSERT_EQ(vbs::ToString(r.Value()).size(), big.size());
  }
  EXPECT_EQ(Log().find("disconnected a client"), std::string::npos) << Log();

  const std::string address = server->Address();
  const pid_t child = ::fork();
  if (child == 0) {  // sends 40 calls, then reads nothing
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
        sd_bus_start(bus) < 0)
      ::_exit(2);
    for (int i = 0; i < 40; ++i) {
      sd_bus_message* m = nullptr;
      if (sd_bus_message_new_method_call(bus, &m, nullptr, path.c_str(), kObjectInterface,
                                         "Invoke") < 0 ||
          sd_bus_message_append(m, "sy", "Name", static_cast<uint8_t>(InvokeKind::Get)) < 0)
        ::_exit(3);
      PathMapper map;
      AppendArguments(m, {}, map);
      uint64_t cookie = 0;  // kept, or sd-bus asks for no reply
      if (sd_bus_send(bus, m, &cookie) < 0) ::_exit(4);
      sd_bus_message_unref(m);
    }
    sd_bus_flush(bus);
    ::sleep(20);
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  const bool cut = RunUntil(
      [&] { return Log().find("disconnected a client that left ") != std::string::npos; },
      10000);
  const bool gone = RunUntil([&] { return server->ConnectionCount() == 1; }, 5000);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(cut) << Log();
  EXPECT_TRUE(gone);
  EXPECT_TRUE(c.Invoke(path, "Add", InvokeKind::Call, {Variant::Long(1)}).Ok());
}

// Many small replies cost as much as a few large ones: a client that sends small calls and
// reads nothing is disconnected by the number of replies waiting, long before their bytes
// count.
TEST_F(ObjectServerTest, AClientThatLeavesManySmallRepliesUnreadIsDisconnected) {
  StartServer();  // the default limits
  Client c(server->Address());
  const std::string path = c.Create(true);
  const std::string address = server->Address();
  const pid_t child = ::fork();
  if (child == 0) {  // 30,000 small calls, then reads nothing
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
        sd_bus_start(bus) < 0)
      ::_exit(2);
    for (int i = 0; i < 30000; ++i) {
      sd_bus_message* m = nullptr;
      if (sd_bus_message_new_method_call(bus, &m, nullptr, path.c_str(), kObjectInterface,
                                         "Invoke") < 0 ||
          sd_bus_message_append(m, "sy", "Name", static_cast<uint8_t>(InvokeKind::Get)) < 0)
        ::_exit(3);
      PathMapper map;
      AppendArguments(m, {}, map);
      uint64_t cookie = 0;
      if (sd_bus_send(bus, m, &cookie) < 0) ::_exit(4);
      sd_bus_message_unref(m);
    }
    sd_bus_flush(bus);
    ::sleep(30);
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  const bool cut = RunUntil(
      [&] { return Log().find("disconnected a client that left ") != std::string::npos; },
      20000);
  const bool gone = RunUntil([&] { return server->ConnectionCount() == 1; }, 5000);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(cut) << Log();
  EXPECT_NE(Log().find(" replies ("), std::string::npos) << Log();
  EXPECT_TRUE(gone);
  EXPECT_TRUE(c.Invoke(path, "Add", InvokeKind::Call, {Variant::Long(1)}).Ok());
}

// A flood of connections past the limit uses up its own log lines, not those of other users.
TEST_F(ObjectServerTest, AnotherUserIsLoggedAfterAFloodPastTheLimit) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  ObjectServer::Options options;
  options.maxConnections = 1;
  StartServer(options);
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(server->SocketPath().c_str(), 0666), 0);
  Client held(server->Address());
  ASSERT_FALSE(held.Create().empty());
  for (int i = 0; i < 30; ++i) {
    Client refused(server->Address());
    EXPECT_TRUE(refused.Create().empty());
  }
  EXPECT_EQ(CallAsNobody(server->SocketPath(), server->Address()).status, 3);
  EXPECT_NE(Log().find("refused a connection of user 65534"), std::string::npos) << Log();
}

TEST_F(ObjectServerTest, ShutdownRemovesTheSocketAndAnUnusableFolderFailsStart) {
  StartServer();
  const std::string path = server->SocketPath();
  Client c(server->Address());
  ASSERT_FALSE(c.Create().empty());
  EXPECT_TRUE(std::filesystem::exists(path));
  server.reset();
  EXPECT_EQ(alive, 0);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(RunUntil([&] { return c.Lost(); }));

  ObjectServer::Options options;
  options.socketPath = dir.Path() + "/missing/folder/bus";
  options.useSessionBus = false;
  ObjectServer broken(app, [] { return vbs::ObjectPtr<vbs::HostObject>(); }, options);
  EXPECT_FALSE(broken.Start());
  EXPECT_NE(Log().find("ObjectServer: no private socket"), std::string::npos) << Log();
  EXPECT_NE(Log().find("this node runs without its scripting object"), std::string::npos) << Log();
}

// A dbus-daemon of the test's own: the name, objects per unique name, and losing the bus.
TEST_F(ObjectServerTest, SessionBusNameServesAndFollowsClients) {
  testing::PrivateBus bus;
  ASSERT_FALSE(bus.Address().empty()) << "dbus-daemon did not start";
  ObjectServer::Options options;
  options.sessionAddress = bus.Address();
  StartServer(options);
  ASSERT_TRUE(RunUntil([&] { return server->OwnsBusName(); })) << Log();

  Client first(bus.Address(), true), second(bus.Address(), true);
  ASSERT_TRUE(first.Ready());
  Reply created = first.Call(kFactoryPath, kFactoryInterface, "Create", {}, kBusName);
  ASSERT_TRUE(created.Ok()) << created.errorName << " " << created.errorMessage;
  const std::string app = created.Path();
  Reply sum = first.Call(app, "org.sablewick.Sablewick.Gadget", "Add",
                         [](sd_bus_message* m) { sd_bus_message_append(m, "av", 1, "i", 1); },
                         kBusName);
  ASSERT_TRUE(sum.Ok()) << sum.errorMessage;
  EXPECT_EQ(sum.Value().AsLong(), 2);
  Reply foreign = second.Call(app, "org.sablewick.Sablewick.Gadget", "Name", {}, kBusName);
  EXPECT_EQ(foreign.errorName, "org.freedesktop.DBus.Error.UnknownObject");
  EXPECT_EQ(server->ObjectCount(), 1u);

  // The creator's unique name disappears: its objects go.
  first.Close();
  EXPECT_TRUE(RunUntil([&] { return server->ObjectCount() == 0; }));

  // The runner finds the name when no address is given.
  const std::string script = dir.Path() + "/bus.vbs";
  testing::WriteFile(script, "Set app = CreateObject(\"Sablewick.Application\")\n"
                             "WScript.Echo app.Child.Name\n");
  const std::string busAddress = bus.Address();
  auto run = testing::RunProgram({SABLEWICK_SCRIPT, script}, 30000, [&] {
    ::unsetenv(kAddressVariable);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
  });
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "app.child\n");
  EXPECT_TRUE(RunUntil([&] { return server->ObjectCount() == 0 && alive == 0; }));

  // The bus goes away: logged, and the private socket serves on.
  bus.Stop();
  EXPECT_TRUE(RunUntil([&] { return !server->OwnsBusName(); }));
  EXPECT_TRUE(RunUntil([&] { return Log().find("lost the session bus") != std::string::npos; }))
      << Log();
  Client peer(server->Address());
  EXPECT_FALSE(peer.Create().empty());
}

// The runner's proxy against this server: the script sees the members as if in process.
TEST_F(ObjectServerTest, RunnerProxyCallsTheServerAsIfInProcess) {
  ObjectServer::Options options;
  options.maxObjectsPerClient = 6;  // the loop below needs the proxy's releases to get through
  StartServer(options);
  const std::string script = dir.Path() + "/proxy.vbs";
  testing::WriteFile(script, R"(Set app = CreateObject("Sablewick.Application")
WScript.Echo TypeName(app), app.add(40, 2), app.ADD(1)
app.name = "porch"
WScript.Echo app.NAME, app
Set c = app.Child
WScript.Echo TypeName(c), c.Name, app.NameOf(c)
For i = 1 To 50
  Set c = app.Child
Next
WScript.Echo app.Echo("a" & Chr(0) & "b", Null, 2.5, CByte(7))(0) = "a" & Chr(0) & "b"
WScript.Echo app.Nothing Is Nothing
For Each x In app
  WScript.Echo "item", TypeName(x)
Next
On Error Resume Next
app.Fail 1234
WScript.Echo Err.Number, Err.Description
Err.Clear
app.Nope 1
WScript.Echo Err.Number
Err.Clear
app.Fail vbObjectError + 7
WScript.Echo Err.Number - vbObjectError
On Error GoTo 0
Set g = GetObject("", "Sablewick.Application")
WScript.Echo g.Name
)");
  const std::string address = server->Address();
  auto run = testing::RunProgram({SABLEWICK_SCRIPT, script}, 30000, [&] {
    ::setenv(kAddressVariable, address.c_str(), 1);
  });
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output,
            "Gadget 42 2\n"
            "porch porch\n"
            "Gadget porch.child porch.child\n"
            "True\n"
            "True\n"
            "item String\n"
            "item Long\n"
            "item Gadget\n"
            "1234 gadget says no\n"
            "438\n"
            "7\n"
            "app\n");
  // The runner's connection closed: nothing is left behind.
  EXPECT_TRUE(RunUntil([&] { return server->ObjectCount() == 0 && alive == 0; }));

  // No daemon anywhere: CreateObject fails with 429 and says where it looked.
  testing::WriteFile(script, "Set app = CreateObject(\"Sablewick.Application\")\n");
  const std::string empty = dir.Path() + "/runtime";
  std::filesystem::create_directories(empty);
  auto none = testing::RunProgram({SABLEWICK_SCRIPT, script}, 30000, [&] {
    ::setenv(kAddressVariable, ("unix:path=" + empty + "/none").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", empty.c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + empty + "/bus").c_str(), 1);
  });
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.output.find("error 429"), std::string::npos) << none.output;
  EXPECT_NE(none.output.find(empty + "/sablewick/bus"), std::string::npos) << none.output;
}

}  // namespace
}  // namespace sablewick
