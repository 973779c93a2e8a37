// The one interface through which scripts reach objects: the program's own objects, the
// engine's built-in objects (Err, Dictionary, ...) and instances of script classes.
//
// Members are found by case-insensitive name and then called by id, so a call site can
// resolve a name once. A host class describes its members once, in a table of Member<T>
// (name, kind, argument count, handler); TableObject<T> turns that table into this
// interface, and the same table can drive another object server (D-Bus).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vbs {

class Variant;

// Arguments by reference: a handler may assign through them, and the script sees the new
// value where it passed a variable.
using Args = std::span<Variant* const>;

enum class InvokeKind : uint8_t {
  Get,   // read a property or call a method for its result (obj.X, obj.X(1))
  Call,  // call statement: obj.X 1, 2 (result ignored)
  Let,   // obj.X = v      (args.back() is v)
  Set,   // Set obj.X = o  (args.back() is o)
};

constexpr int kDefaultMember = 0;  // id of the default property/method (obj(1), CStr(obj))
constexpr int kUnknownMember = -1;

class Enumerator {
 public:
  virtual ~Enumerator() = default;
  // Stores the next element in out; false at the end.
  virtual bool Next(Variant& out) = 0;
};

class HostObject {
 public:
  HostObject() = default;
  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;

  void AddRef() noexcept { ++refs_; }
  void Release() {
    if (--refs_ == 0) LastReleased();
  }
  uint32_t RefCount() const noexcept { return refs_; }

  // What TypeName() returns for this object.
  virtual std::string TypeName() const = 0;
  // Case-insensitive; kUnknownMember when the object has no such member. An id stays
  // valid for the life of the object.
  virtual int MemberId(std::string_view name) = 0;
  // Throws ScriptError on failure (438 no such member, 450 wrong argument count, ...).
  virtual Variant Invoke(int id, InvokeKind kind, Args args) = 0;
  // For Each support; nullptr means "not a collection" (error 451).
  virtual std::unique_ptr<Enumerator> Enumerate();
  // Names of the members, for hosts that add them by bare name. Optional.
  virtual std::vector<std::string> MemberNames() const { return {}; }

 protected:
  virtual ~HostObject() = default;
  // Script class instances override this to run Class_Terminate first.
  virtual void LastReleased() { delete this; }
  void ResetRefs(uint32_t n) noexcept { refs_ = n; }

 private:
  uint32_t refs_ = 0;
};

// Intrusive owning pointer to a HostObject (or a subclass).
template <class T>
class ObjectPtr {
 public:
  ObjectPtr() = default;
  ObjectPtr(T* p) : p_(p) {  // NOLINT: implicit on purpose, like a raw pointer
    if (p_) p_->AddRef();
  }
  ObjectPtr(const ObjectPtr& o) : ObjectPtr(o.p_) {}
  ObjectPtr(ObjectPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  template <class U>
  ObjectPtr(const ObjectPtr<U>& o) : ObjectPtr(o.Get()) {}
  ~ObjectPtr() {
    if (p_) p_->Release();
  }
  ObjectPtr& operator=(ObjectPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... A>
ObjectPtr<T> MakeObject(A&&... a) {
  return ObjectPtr<T>(new T(std::forward<A>(a)...));
}

// Case-insensitive ASCII comparison, the rule for every name in the language.
bool NameEquals(std::string_view a, std::string_view b);
std::string LowerName(std::string_view s);

// ---- Table-driven host classes -------------------------------------------------------

enum class MemberKind : uint8_t { Method, Get, Let, Set };

template <class T>
struct Member {
  std::string_view name;
  MemberKind kind;
  int8_t minArgs;  // for Let/Set not counting the assigned value
  int8_t maxArgs;  // -1: any number
  Variant (*handler)(T& self, Args args);
  bool isDefault = false;
};

namespace detail {
// Shared by every TableObject<T>: works on the table without knowing T.
struct MemberView {
  std::string_view name;
  MemberKind kind;
  int8_t minArgs;
  int8_t maxArgs;
  bool isDefault;
};
int FindMemberId(std::span<const MemberView> members, std::string_view name);
// Index of the entry that serves (id, kind) after the argument count check; throws 438/450.
// indexResult: the member takes no arguments but got some, so they index its result
// (obj.Items(0) on a property that returns a collection or an array).
size_t SelectMember(std::span<const MemberView> members, int id, InvokeKind kind, size_t argCount,
                    bool& indexResult);
Variant IndexResult(const Variant& result, InvokeKind kind, Args args);
}  // namespace detail

// Derive as `class Foo : public TableObject<Foo>` and give Foo
//   static constexpr std::string_view kTypeName = "Foo";
//   static const std::span<const Member<Foo>> kMembers;   (or any range of Member<Foo>)
template <class T>
class TableObject : public HostObject {
 public:
  std::string TypeName() const override { return std::string(T::kTypeName); }
  int MemberId(std::string_view name) override { return detail::FindMemberId(Views(), name); }
  Variant Invoke(int id, InvokeKind kind, Args args) override;
  std::vector<std::string> MemberNames() const override {
    std::vector<std::string> out;
    for (const auto& m : T::kMembers) out.emplace_back(m.name);
    return out;
  }

 private:
  static std::span<const detail::MemberView> Views() {
    static const std::vector<detail::MemberView> views = [] {
      std::vector<detail::MemberView> v;
      for (const auto& m : T::kMembers)
        v.push_back({m.name, m.kind, m.minArgs, m.maxArgs, m.isDefault});
      return v;
    }();
    return views;
  }
};

}  // namespace vbs

#include "engine/Variant.h"
