#include "engine/StandardObjects.h"

#include <unordered_map>
#include <vector>

#include "engine/Errors.h"
#include "engine/Library.h"
#include "engine/Variant.h"

namespace vbs {
namespace {

// ---- Scripting.Dictionary: keys in insertion order, found by a normalised key text.

class Dictionary : public TableObject<Dictionary> {
 public:
  static constexpr std::string_view kTypeName = "Dictionary";
  static const Member<Dictionary> kMembers[];

  struct Entry {
    Variant key;
    Variant item;
    bool alive = true;
  };

  // Numbers equal as numbers are one key; strings compare binary or, in text mode,
  // without regard to case; objects by identity.
  std::string Normal(const Variant& k0) const {
    const Variant& k = k0.Deref();
    std::string out;
    switch (k.Type()) {
      case VarType::String:
        out = 's';
        out += textMode_ ? LowerName(k.AsString()) : k.AsString();
        return out;
      case VarType::Object:
        out = 'o';
        out += std::to_string(reinterpret_cast<uintptr_t>(k.AsObject()));
        return out;
      case VarType::Empty:
        return "e";
      case VarType::Null:
        return "z";
      case VarType::Array:
        Throw(kTypeMismatch);
      default:
        out = 'n';
        out += FormatDouble(ToDouble(k));
        return out;
    }
  }
  Entry* Find(const Variant& key) {
    auto it = index_.find(Normal(key));
    return it == index_.end() ? nullptr : &entries_[it->second];
  }
  Entry& Insert(const Variant& key, Variant item) {
    CheckSize();
    index_[Normal(key)] = entries_.size();
    Variant k = key.Deref();
    entries_.push_back({std::move(k), std::move(item), true});
    ++count_;
    return entries_.back();
  }
  void Erase(const Variant& key) {
    auto it = index_.find(Normal(key));
    if (it == index_.end()) Throw(32811);
    entries_[it->second] = Entry{Variant(), Variant(), false};
    index_.erase(it);
    --count_;
    if (entries_.size() > 32 && count_ < entries_.size() / 2) Compact();
  }
  void Compact() {
    std::vector<Entry> kept;
    index_.clear();
    for (auto& e : entries_) {
      if (!e.alive) continue;
      index_[Normal(e.key)] = kept.size();
      kept.push_back(std::move(e));
    }
    entries_ = std::move(kept);
  }
  void CheckSize() const {
    if (entries_.size() >= kMaxArrayElements) Throw(kOutOfMemory);
  }
  Variant Collect(bool keys) const {
    Variant arr = NewArray({static_cast<int32_t>(count_)});
    size_t i = 0;
    for (const auto& e : entries_)
      if (e.alive) arr.AsArray()->data[i++] = keys ? e.key : e.item;
    return arr;
  }

  std::unique_ptr<Enumerator> Enumerate() override {
    // Over a snapshot of the keys, so that changes during the loop do no harm.
    struct Keys : Enumerator {
      Variant arr;
      size_t i = 0;
      bool Next(Variant& out) override {
        if (i >= arr.AsArray()->data.size()) return false;
        out = arr.AsArray()->data[i++];
        return true;
      }
    };
    auto en = std::make_unique<Keys>();
    en->arr = Collect(true);
    return en;
  }

  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> index_;
  size_t count_ = 0;
  bool textMode_ = false;
};

Variant ItemGet(Dictionary& d, Args a) {
  if (auto* e = d.Find(*a[0])) return e->item;
  d.Insert(*a[0], Variant());  // reading a missing key adds it, as in the original
  return Variant();
}

Variant ItemPut(Dictionary& d, Args a) {
  Variant v = a[1]->Deref();
  if (auto* e = d.Find(*a[0]))
    e->item = std::move(v);
  else
    d.Insert(*a[0], std::move(v));
  return Variant();
}

const Member<Dictionary> Dictionary::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1, ItemGet, true},
    {"Item", MemberKind::Let, 1, 1, ItemPut},
    {"Item", MemberKind::Set, 1, 1, ItemPut},
    {"Add", MemberKind::Method, 2, 2,
     [](Dictionary& d, Args a) {
       if (d.Find(*a[0])) Throw(457);
       d.Insert(*a[0], a[1]->Deref());
       return Variant();
     }},
    {"Exists", MemberKind::Method, 1, 1,
     [](Dictionary& d, Args a) { return Variant::Boolean(d.Find(*a[0]) != nullptr); }},
    {"Remove", MemberKind::Method, 1, 1,
     [](Dictionary& d, Args a) {
       d.Erase(*a[0]);
       return Variant();
     }},
    {"RemoveAll", MemberKind::Method, 0, 0,
     [](Dictionary& d, Args) {
       d.entries_.clear();
       d.index_.clear();
       d.count_ = 0;
       return Variant();
     }},
    {"Count", MemberKind::Get, 0, 0,
     [](Dictionary& d, Args) { return Variant::Long(static_cast<int32_t>(d.count_)); }},
    {"Keys", MemberKind::Method, 0, 0, [](Dictionary& d, Args) { return d.Collect(true); }},
    {"Items", MemberKind::Method, 0, 0, [](Dictionary& d, Args) { return d.Collect(false); }},
    {"Key", MemberKind::Let, 1, 1,
     [](Dictionary& d, Args a) {
       Dictionary::Entry* e = d.Find(*a[0]);
       if (!e) Throw(32811);
       if (d.Find(*a[1])) Throw(457);
       // The entry keeps its place in the order.
       auto it = d.index_.find(d.Normal(*a[0]));
       size_t at = it->second;
       d.index_.erase(it);
       d.index_[d.Normal(*a[1])] = at;
       d.entries_[at].key = a[1]->Deref();
       return Variant();
     }},
    {"CompareMode", MemberKind::Get, 0, 0,
     [](Dictionary& d, Args) { return Variant::Long(d.textMode_ ? 1 : 0); }},
    {"CompareMode", MemberKind::Let, 0, 0,
     [](Dictionary& d, Args a) {
       if (d.count_ > 0) Throw(kInvalidCall);
       int32_t mode = ToLong(*a[0]);
       if (mode < 0) Throw(kInvalidCall);
       d.textMode_ = mode == 1;
       return Variant();
     }},
};

// ProgID -> factory for every object the engine provides.
constexpr StandardObject kStandardObjects[] = {
    {"Scripting.Dictionary", [] { return ObjectPtr<HostObject>(new Dictionary); }},
    {"VBScript.RegExp", MakeRegExp},
    {"Scripting.FileSystemObject", MakeFileSystemObject},
};

}  // namespace

std::span<const StandardObject> StandardObjects() {
  return kStandardObjects;
}

}  // namespace vbs
