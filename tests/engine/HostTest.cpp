// The host interface as the daemon uses it: objects, time-out, modules, procedures, run,
// errors. Script-level behaviour is tested by the .vbs files beside this one.
#include <gtest/gtest.h>

#include <chrono>

#include "engine/Engine.h"

namespace {

using vbs::Args;
using vbs::Member;
using vbs::MemberKind;
using vbs::Variant;

// A host class described once by its member table, as the program's classes are.
class Counter : public vbs::TableObject<Counter> {
 public:
  static constexpr std::string_view kTypeName = "Counter";
  static const Member<Counter> kMembers[];
  int value = 0;
  std::string label = "none";
  std::vector<std::string> items{"a", "b", "c"};

  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    struct It : vbs::Enumerator {
      const std::vector<std::string>& v;
      size_t i = 0;
      explicit It(const std::vector<std::string>& v) : v(v) {}
      bool Next(Variant& out) override {
        if (i >= v.size()) return false;
        out = Variant::String(v[i++]);
        return true;
      }
    };
    return std::make_unique<It>(items);
  }
};

const Member<Counter> Counter::kMembers[] = {
    {"Value", MemberKind::Get, 0, 0, [](Counter& c, Args) { return Variant::Long(c.value); }, true},
    {"Value", MemberKind::Let, 0, 0,
     [](Counter& c, Args a) {
       c.value = vbs::ToLong(*a[0]);
       return Variant();
     }},
    {"Label", MemberKind::Get, 0, 0, [](Counter& c, Args) { return Variant::String(c.label); }},
    {"Label", MemberKind::Let, 0, 0,
     [](Counter& c, Args a) {
       c.label = vbs::ToString(*a[0]);
       return Variant();
     }},
    {"Add", MemberKind::Method, 1, 2,
     [](Counter& c, Args a) {
       c.value += vbs::ToLong(*a[0]) * (a.size() > 1 ? vbs::ToLong(*a[1]) : 1);
       return Variant::Long(c.value);
     }},
    // Writes through its by-reference argument.
    {"Fill", MemberKind::Method, 1, 1,
     [](Counter&, Args a) {
       *a[0] = Variant::String("filled");
       return Variant();
     }},
    {"Child", MemberKind::Get, 0, 0,
     [](Counter&, Args) { return Variant::Object(vbs::MakeObject<Counter>()); }},
    {"Fail", MemberKind::Method, 0, 0,
     [](Counter&, Args) -> Variant { throw vbs::ScriptError(5, "counter refused"); }},
};

// Runs script code again from inside a call, as the program's own Run does; an error of the
// inner run is raised again in the caller.
class Reentry : public vbs::TableObject<Reentry> {
 public:
  static constexpr std::string_view kTypeName = "Reentry";
  static const Member<Reentry> kMembers[];
  explicit Reentry(vbs::Engine& e) : engine(e) {}
  vbs::Engine& engine;

  Variant Passed(Variant result) {
    vbs::ErrorInfo e = engine.Error();
    engine.Error().Clear();
    if (e.Number != 0) throw vbs::ScriptError(e.Number, e.Description);
    return result;
  }
};

const Member<Reentry> Reentry::kMembers[] = {
    {"AddCode", MemberKind::Method, 1, 1,
     [](Reentry& r, Args a) {
       r.engine.AddCode(vbs::ToString(*a[0]));
       return r.Passed(Variant());
     }},
    {"Run", MemberKind::Method, 1, 1,
     [](Reentry& r, Args a) {
       return r.Passed(r.engine.GlobalModule().Run(vbs::ToString(*a[0])));
     }},
    {"Eval", MemberKind::Method, 1, 1,
     [](Reentry& r, Args a) { return r.Passed(r.engine.Eval(vbs::ToString(*a[0]))); }},
};

class HostTest : public ::testing::Test {
 protected:
  vbs::Engine engine;
  vbs::ObjectPtr<Counter> counter = vbs::MakeObject<Counter>();

  std::string EvalText(std::string_view expr) {
    Variant v = engine.Eval(expr);
    EXPECT_EQ(engine.Error().Number, 0) << engine.Error().Description;
    return vbs::ToString(v);
  }
};

TEST_F(HostTest, NamedObjectMembersByNameAndBareName) {
  ASSERT_TRUE(engine.AddObject("hs", counter, true));
  ASSERT_TRUE(engine.AddCode("hs.Value = 5\nLabel = \"bare\"\nx = Add(2, 3)\n"));
  EXPECT_EQ(counter->value, 11);
  EXPECT_EQ(counter->label, "bare");
  EXPECT_EQ(EvalText("x"), "11");
  EXPECT_EQ(EvalText("hs"), "11");  // default member
  EXPECT_EQ(EvalText("HS.VALUE + value"), "22");
  EXPECT_EQ(EvalText("TypeName(hs.Child)"), "Counter");
  EXPECT_FALSE(engine.AddObject("HS", counter, false)) << "names are case-insensitive";
}

TEST_F(HostTest, ByReferenceArgumentsAndEnumeration) {
  engine.AddObject("c", counter, false);
  ASSERT_TRUE(
      engine.AddCode("Dim s, a(1)\nc.Fill s\nc.Fill a(1)\nc.Fill (t)\n"
                     "For Each item In c: joined = joined & item: Next\n"));
  EXPECT_EQ(EvalText("s & \"/\" & a(1) & \"/\" & t"), "filled/filled/");
  EXPECT_EQ(EvalText("joined"), "abc");
}

TEST_F(HostTest, HostErrorsBecomeScriptErrors) {
  engine.AddObject("c", counter, false);
  EXPECT_FALSE(engine.AddCode("x = 1\nc.Fail\n"));
  EXPECT_EQ(engine.Error().Number, 5);
  EXPECT_EQ(engine.Error().Description, "counter refused");
  EXPECT_EQ(engine.Error().Line, 2);
  engine.Error().Clear();
  EXPECT_FALSE(engine.AddCode("c.Nope 1"));
  EXPECT_EQ(engine.Error().Number, 438);
  engine.Error().Clear();
  EXPECT_FALSE(engine.AddCode("c.Add"));
  EXPECT_EQ(engine.Error().Number, 450);
  engine.Error().Clear();
  ASSERT_TRUE(engine.AddCode("On Error Resume Next\nc.Fail\nn = Err.Number\n"));
  EXPECT_EQ(EvalText("n"), "5");
}

// What the host is told names the variable or member; Err.Description stays plain.
TEST_F(HostTest, ErrorsAboutANameSayWhich) {
  engine.AddObject("c", counter, false);
  const struct {
    const char* code;
    const char* description;
  } cases[] = {
      {"Option Explicit\nx = 1\n", "Variable is undefined: 'x'"},
      {"Option Explicit\nDim y\ny = Zed + 1\n", "Variable is undefined: 'Zed'"},
      {"Option Explicit\nSub P()\n  n = 1\nEnd Sub\nP\n", "Variable is undefined: 'n'"},
      {"c.Nope 1\n", "Object doesn't support this property or method: 'c.Nope'"},
      {"x = c.Child.Child.Nope\n",
       "Object doesn't support this property or method: 'c.Child.Child.Nope'"},
      {"Set d = CreateObject(\"Scripting.Dictionary\")\nx = d.Itemz(1)\n",
       "Object doesn't support this property or method: 'd.Itemz'"},
      {"Class K\nEnd Class\nSet k = New K\nk.Missing = 1\n",
       "Object doesn't support this property or method: 'k.Missing'"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(engine.AddCode(c.code)) << c.code;
    EXPECT_EQ(engine.Error().Description, c.description) << c.code;
    engine.Error().Clear();
  }
  ASSERT_TRUE(engine.AddCode("On Error Resume Next\nc.Nope\nd = Err.Description\n"));
  EXPECT_EQ(EvalText("d"), "Object doesn't support this property or method");
}

TEST_F(HostTest, SyntaxErrorHasNumberLineAndColumnAndRunsNothing) {
  vbs::ScriptModule* m = engine.Modules().Add("M1");
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(m->AddCode("ran = True\nSub A()\n  x = (1 + \nEnd Sub\n"));
  EXPECT_EQ(engine.Error().Number, 1023);  // Expected expression
  EXPECT_EQ(engine.Error().Description, "Expected expression");
  EXPECT_EQ(engine.Error().Line, 3);
  EXPECT_EQ(engine.Error().Column, 12);  // the end of the line
  engine.Error().Clear();
  EXPECT_TRUE(m->Procedures().empty());
  EXPECT_TRUE(m->Eval("IsEmpty(ran)").AsBoolean());
}

TEST_F(HostTest, ModulesAddItemAndRefuseDuplicates) {
  vbs::ScriptModule* m1 = engine.Modules().Add("M1");
  ASSERT_NE(m1, nullptr);
  EXPECT_EQ(engine.Modules().Add("m1"), nullptr);
  EXPECT_EQ(engine.Error().Number, 457);
  engine.Error().Clear();
  EXPECT_EQ(engine.Modules().Item("M1"), m1);
  EXPECT_EQ(engine.Modules().Item("nope"), nullptr);
  // Modules keep their own script-level names; the Global module is seen by all.
  ASSERT_TRUE(engine.AddCode("Function Shared(): Shared = \"g\": End Function"));
  ASSERT_TRUE(m1->AddCode("Dim v: v = \"m1\" & Shared()"));
  vbs::ScriptModule* m2 = engine.Modules().Add("M2");
  ASSERT_TRUE(m2->AddCode("Dim v: v = \"m2\""));
  EXPECT_EQ(vbs::ToString(m1->Eval("v")), "m1g");
  EXPECT_EQ(vbs::ToString(m2->Eval("v")), "m2");
}

TEST_F(HostTest, ProceduresAndRun) {
  vbs::ScriptModule* m = engine.Modules().Add("M1");
  ASSERT_TRUE(
      m->AddCode("Dim calls\nSub Main()\n  calls = calls + 1\nEnd Sub\n"
                 "Function Twice(p)\n  Twice = p & p\nEnd Function\n"
                 "Function Pair(a, b)\n  Pair = a + b\nEnd Function\n"));
  auto procs = m->Procedures();
  ASSERT_EQ(procs.size(), 3u);
  EXPECT_EQ(procs[0].Name, "Main");
  EXPECT_EQ(procs[0].NumArgs, 0);
  EXPECT_FALSE(procs[0].HasReturnValue);
  EXPECT_EQ(procs[1].Name, "Twice");
  EXPECT_EQ(procs[1].NumArgs, 1);
  EXPECT_TRUE(procs[1].HasReturnValue);

  Variant arg = Variant::String("ab");
  EXPECT_EQ(vbs::ToString(m->Run("TWICE", {&arg, 1})), "abab");
  EXPECT_EQ(engine.Error().Number, 0);
  EXPECT_TRUE(m->Run("main").IsEmpty());
  EXPECT_EQ(vbs::ToString(m->Eval("calls")), "1");

  m->Run("Pair", {&arg, 1});  // a two-parameter procedure given one argument
  EXPECT_EQ(engine.Error().Number, 450);
  engine.Error().Clear();
  m->Run("Missing");
  EXPECT_EQ(engine.Error().Number, 35);
}

TEST_F(HostTest, RuntimeErrorInRunReportsLine) {
  vbs::ScriptModule* m = engine.Modules().Add("M1");
  ASSERT_TRUE(m->AddCode("Sub Main()\n  Dim x\n  x = 1 / 0\nEnd Sub\n", "m1.vbs"));
  EXPECT_TRUE(m->Run("Main").IsEmpty());
  EXPECT_EQ(engine.Error().Number, 11);
  EXPECT_EQ(engine.Error().Line, 3);
  EXPECT_EQ(engine.Error().Column, 3);
  EXPECT_EQ(engine.Error().ScriptName, "m1.vbs");
  EXPECT_EQ(engine.Error().Source, "Microsoft VBScript runtime error");
}

TEST_F(HostTest, TimeoutStopsTheScriptAndTheHostGoesOn) {
  engine.SetTimeout(200);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(engine.AddCode("On Error Resume Next\nDo\n  n = n + 1\nLoop\n"));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_EQ(engine.Error().Number, 18);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 5000);
  engine.Error().Clear();
  // Recursion without end also stops, with "Out of stack space".
  EXPECT_FALSE(engine.AddCode("Sub R(): R: End Sub\nR\n"));
  EXPECT_EQ(engine.Error().Number, 28);
  engine.Error().Clear();
  EXPECT_EQ(vbs::ToString(engine.Eval("1 + 1")), "2");
}

TEST_F(HostTest, HostRunningCodeAgainWithoutEndStopsWithOutOfStack) {
  engine.AddObject("again", vbs::MakeObject<Reentry>(engine), false);
  const char* cases[] = {
      "code = \"again.AddCode code\"\nagain.AddCode code\n",
      "Sub R()\n  again.Run \"R\"\nEnd Sub\nR\n",
      "e = \"again.Eval(e)\"\nx = again.Eval(e)\n",
      "Sub X()\n  Execute \"again.Run \"\"X\"\"\"\nEnd Sub\nX\n",
  };
  for (const char* code : cases) {
    EXPECT_FALSE(engine.AddCode(code)) << code;
    EXPECT_EQ(engine.Error().Number, 28) << code << engine.Error().Description;
    engine.Error().Clear();
    EXPECT_EQ(EvalText("1 + 1"), "2") << code;
  }
}

// Strings and arrays together stay within the engine's budget, whichever way they grow;
// what the script lets go of is given back.
TEST_F(HostTest, MemoryBudgetStopsGrowthWithOutOfMemory) {
  engine.SetMemoryLimit(64 << 20);
  const size_t idle = engine.MemoryUsed();
  const char* cases[] = {
      // eight arrays of 16M elements
      "Dim keep(7)\nFor i = 0 To 7\n  ReDim a(16777215)\n  keep(i) = a\nNext\n",
      // many small strings, each far below any size limit
      "Dim keep(999999)\nFor i = 0 To 999999\n  keep(i) = Space(200) & i\nNext\n",
      // one string grown in place
      "s = \"\"\nDo\n  s = s & Space(65536)\nLoop\n",
      // copies of an array made on the first write
      "Dim keep(99)\nReDim a(999999)\nFor i = 0 To 99\n  b = a\n  b(0) = i\n  keep(i) = b\nNext\n",
      // ReDim Preserve growing step by step
      "ReDim a(0)\nFor i = 1 To 100\n  ReDim Preserve a(i * 100000)\nNext\n",
      // new strings from concatenation
      "s = Space(1000000)\nDim keep(999)\nFor i = 0 To 999\n  keep(i) = s & i\nNext\n",
  };
  for (const char* code : cases) {
    EXPECT_FALSE(engine.AddCode(code)) << code;
    EXPECT_EQ(engine.Error().Number, 7) << code << engine.Error().Description;
    EXPECT_LE(engine.MemoryUsed(), engine.MemoryLimit()) << code;
    engine.Error().Clear();
    engine.Reset();
    EXPECT_EQ(engine.MemoryUsed(), idle) << code;
  }
  // Within the budget, nothing changes; the error can be caught.
  ASSERT_TRUE(
      engine.AddCode("On Error Resume Next\nReDim a(1000): s = Space(100000) & \"x\"\n"
                     "ReDim b(16777215)\nn = Err.Number\n"));
  EXPECT_EQ(EvalText("n & \" \" & UBound(a) & \" \" & Len(s) & \" \" & IsEmpty(b)"),
            "7 1000 100001 True");
}

TEST_F(HostTest, ValuesOutliveTheEngineThatMadeThem) {
  Variant kept;
  {
    vbs::Engine shortLived;
    shortLived.SetMemoryLimit(1 << 20);
    kept = shortLived.Eval("Array(Space(1000), 2)");
    ASSERT_EQ(shortLived.Error().Number, 0);
    EXPECT_GT(shortLived.MemoryUsed(), 1000u);
  }
  // Read and dropped after their engine went (the budget they were charged to goes last).
  ASSERT_TRUE(kept.IsArray());
  EXPECT_EQ(vbs::ToString(kept.AsArray()->data[0]).size(), 1000u);
  kept = Variant();
}

// Reset and the engine's end run the terminators of what the script still holds, with
// the host's objects still there.
TEST_F(HostTest, ScriptEndRunsClassTerminateOfLiveObjects) {
  const char* code =
      "Class T\n  Public Other\n  Sub Class_Terminate(): c.Add 1: End Sub\nEnd Class\n"
      "Set a = New T\nSet b = New T: Set c1 = New T: Set b.Other = c1: Set c1.Other = b\n"
      "Set c1 = Nothing\n";
  engine.AddObject("c", counter, false);
  ASSERT_TRUE(engine.AddCode(code));
  EXPECT_EQ(counter->value, 0);
  engine.Reset();
  EXPECT_EQ(counter->value, 3);
  {
    vbs::Engine other;
    other.AddObject("c", counter, false);
    ASSERT_TRUE(other.AddCode(code));
  }
  EXPECT_EQ(counter->value, 6);
}

// A search whose cost grows with the square of the subject (every start position runs to the
// end and back) stops at the time-out like any loop, both ways a script makes a RegExp, on
// ASCII text (searched on bytes) and on other text (searched on code units).
TEST_F(HostTest, RegExpSearchStopsAtTheTimeout) {
  engine.SetTimeout(300);
  for (const char* make : {"Set re = New RegExp", "Set re = CreateObject(\"VBScript.RegExp\")"}) {
    for (const char* a : {"a", "\xC3\xA4", "\xF0\x9F\x98\x80"}) {
      SCOPED_TRACE(std::string(make) + " " + a);
      EXPECT_FALSE(engine.AddCode(std::string(make) + "\nOn Error Resume Next\nre.Pattern = \"(" +
                                  a + "|b)*c\"\nr = re.Test(Replace(Space(70000), \" \", \"" + a +
                                  "\") & \"xc\")\n"));
      EXPECT_EQ(engine.Error().Number, 18);
      engine.Error().Clear();
    }
  }
  EXPECT_EQ(vbs::ToString(engine.Eval("1 + 1")), "2");
}

TEST_F(HostTest, ResetDropsEverything) {
  engine.AddObject("c", counter, true);
  engine.Modules().Add("M1");
  ASSERT_TRUE(engine.AddCode("Dim keep: keep = 1"));
  engine.Reset();
  EXPECT_EQ(engine.Modules().Item("M1"), nullptr);
  EXPECT_NE(engine.Modules().Add("M1"), nullptr);
  EXPECT_TRUE(engine.Eval("IsEmpty(keep)").AsBoolean());
  EXPECT_TRUE(engine.AddObject("c", counter, false));
}

TEST_F(HostTest, EnginesAreIndependent) {
  vbs::Engine other;
  ASSERT_TRUE(engine.AddCode("Dim v: v = 1"));
  ASSERT_TRUE(other.AddCode("Dim v: v = 2"));
  EXPECT_EQ(EvalText("v"), "1");
  EXPECT_EQ(vbs::ToString(other.Eval("v")), "2");
}

TEST_F(HostTest, MessageBoxesUseTheHookAndNeverBlock) {
  std::vector<std::string> seen;
  engine.SetMessageHook([&](const vbs::MessageRequest& r) {
    seen.push_back(r.prompt);
    return r.kind == vbs::MessageRequest::Kind::InputBox ? Variant::String(r.defaultText)
                                                         : Variant::Integer(6);
  });
  ASSERT_TRUE(engine.AddCode("a = MsgBox(\"Sure?\", 4)\nb = InputBox(\"Name\", \"T\", \"joe\")\n"));
  EXPECT_EQ(seen, (std::vector<std::string>{"Sure?", "Name"}));
  EXPECT_EQ(EvalText("a & b"), "6joe");
  engine.SetAllowUI(false);
  EXPECT_FALSE(engine.AddCode("MsgBox \"hidden\""));
  EXPECT_EQ(engine.Error().Number, 70);
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(HostTest, CreateObjectUsesRegisteredFactories) {
  engine.RegisterProgId("Test.Counter",
                        [] { return vbs::ObjectPtr<vbs::HostObject>(new Counter); });
  ASSERT_TRUE(engine.AddCode("Set o = CreateObject(\"test.counter\")\no.Value = 4\n"));
  EXPECT_EQ(EvalText("o.Value"), "4");
  EXPECT_FALSE(engine.AddCode("Set p = CreateObject(\"No.Such\")"));
  EXPECT_EQ(engine.Error().Number, 429);
}

TEST(GeneralDate, FormsOfTheLogDate) {
  struct Case {
    double serial;
    const char* text;
  } cases[] = {
      {vbs::DateSerial(2003, 1, 2), "1/2/2003"},
      {vbs::DateSerial(2024, 12, 31) + vbs::TimeSerial(13, 5, 9), "12/31/2024 1:05:09 PM"},
      {vbs::TimeSerial(0, 0, 1), "12:00:01 AM"},
      {vbs::DateSerial(1899, 12, 30), "12:00:00 AM"},
      {vbs::DateSerial(1899, 12, 29) - vbs::TimeSerial(6, 0, 0), "12/29/1899 6:00:00 AM"},
      {vbs::DateSerial(2000, 2, 29) + vbs::TimeSerial(12, 0, 0), "2/29/2000 12:00:00 PM"},
  };
  for (const auto& c : cases) EXPECT_EQ(vbs::FormatGeneralDate(c.serial), c.text);
}

}  // namespace
