#include "engine/StandardObjects.h"

#include <bit>
#include <cstdint>
#include <vector>

#include "engine/Errors.h"
#include "engine/Library.h"
#include "engine/Variant.h"

namespace vbs {
namespace {

// ---- Scripting.Dictionary: keys in insertion order, found through an open-addressing
// table that hashes and compares the key Variants themselves. Building a key text for
// every Add, lookup and Exists cost more than the rest of the call together.

class Dictionary : public TableObject<Dictionary> {
 public:
  static constexpr std::string_view kTypeName = "Dictionary";
  static const Member<Dictionary> kMembers[];

  // What decides key identity: numbers equal as numbers are one key (1, 1.0, CLng(1),
  // True and -1 too); strings compare binary or, in text mode, without regard to case;
  // objects by identity; Empty and Null are keys of their own.
  enum class KeyKind : uint8_t { Empty, Null, Number, String, Object };

  struct Entry {
    Variant key;
    Variant item;
    double number = 0;  // the key's value when kind is Number, converted once
    uint32_t hash = 0;
    KeyKind kind = KeyKind::Empty;
    bool alive = true;
  };

  // A key reduced to what comparing needs; `text` and `object` point into the caller's
  // Variant, so a probe allocates nothing.
  struct Probe {
    KeyKind kind = KeyKind::Empty;
    double number = 0;
    std::string_view text;
    const void* object = nullptr;
    uint32_t hash = 0;
  };

  static unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
  static uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
  }

  Probe MakeProbe(const Variant& k0) const {
    const Variant& k = k0.Deref();
    Probe p;
    switch (k.Type()) {
      case VarType::String: {
        p.kind = KeyKind::String;
        p.text = k.AsString();
        uint64_t h = 1469598103934665603ULL;  // FNV-1a, folded in text mode
        if (textMode_ && !k.StringBlock()->Ascii())
          for (unsigned char c : LowerText(p.text)) h = (h ^ c) * 1099511628211ULL;
        else if (textMode_)
          for (unsigned char c : p.text) h = (h ^ Fold(c)) * 1099511628211ULL;
        else
          for (unsigned char c : p.text) h = (h ^ c) * 1099511628211ULL;
        p.hash = static_cast<uint32_t>(Mix(h));
        return p;
      }
      case VarType::Object:
        p.kind = KeyKind::Object;
        p.object = k.AsObject();
        p.hash = static_cast<uint32_t>(Mix(reinterpret_cast<uintptr_t>(p.object) ^ 0x0b));
        return p;
      case VarType::Empty:
        p.hash = 0x9e3779b9u;
        return p;
      case VarType::Null:
        p.kind = KeyKind::Null;
        p.hash = 0x7f4a7c15u;
        return p;
      case VarType::Array:
        Throw(kTypeMismatch);
      default: {
        p.kind = KeyKind::Number;
        p.number = ToDouble(k);
        double d = p.number == 0 ? 0.0 : p.number;  // -0 and 0 are one key
        p.hash = static_cast<uint32_t>(Mix(std::bit_cast<uint64_t>(d)));
        return p;
      }
    }
  }

  bool Matches(const Entry& e, const Probe& p) const {
    if (e.hash != p.hash || e.kind != p.kind) return false;
    switch (p.kind) {
      case KeyKind::Number:
        return e.number == p.number;
      case KeyKind::String: {
        std::string_view t = e.key.AsString();
        if (textMode_ && !(e.key.StringBlock()->Ascii() && IsAscii(p.text)))
          return LowerText(t) == LowerText(p.text);
        if (t.size() != p.text.size()) return false;
        if (!textMode_) return t == p.text;
        for (size_t i = 0; i < t.size(); ++i)
          if (Fold(t[i]) != Fold(p.text[i])) return false;
        return true;
      }
      case KeyKind::Object:
        return e.key.AsObject() == p.object;
      default:
        return true;
    }
  }

  // Slots hold an entry index; kFree ends a probe sequence, kGone (a removed key) does not.
  static constexpr uint32_t kFree = UINT32_MAX;
  static constexpr uint32_t kGone = UINT32_MAX - 1;

  // The slot holding the key, or SIZE_MAX.
  size_t Lookup(const Probe& p) const {
    if (slots_.empty()) return SIZE_MAX;
    size_t mask = slots_.size() - 1;
    for (size_t i = p.hash & mask;; i = (i + 1) & mask) {
      uint32_t s = slots_[i];
      if (s == kFree) return SIZE_MAX;
      if (s != kGone && Matches(entries_[s], p)) return i;
    }
  }
  Entry* Find(const Variant& key) {
    size_t at = Lookup(MakeProbe(key));
    return at == SIZE_MAX ? nullptr : &entries_[slots_[at]];
  }
  void Place(uint32_t hash, uint32_t index) {
    size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i] != kFree && slots_[i] != kGone) i = (i + 1) & mask;
    if (slots_[i] == kFree) ++used_;
    slots_[i] = index;
  }
  // Keeps the table at most half full of entries and removed marks together. A rebuild
  // places every live entry, so it reports whether it did.
  bool Reserve(size_t entries) {
    if ((used_ + 1) * 2 <= slots_.size()) return false;
    size_t size = 16;
    while (size < (entries + 1) * 2) size *= 2;
    slots_.assign(size, kFree);
    used_ = 0;
    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].alive) Place(entries_[i].hash, static_cast<uint32_t>(i));
    return true;
  }
  // The caller has made sure the key is not there.
  Entry& Insert(const Probe& p, const Variant& key, Variant item) {
    CheckSize();
    Reserve(count_ + 1);
    Entry e{key.Deref(), std::move(item), p.number, p.hash, p.kind, true};
    entries_.push_back(std::move(e));
    Place(p.hash, static_cast<uint32_t>(entries_.size() - 1));
    ++count_;
    return entries_.back();
  }
  void Erase(const Variant& key) {
    size_t at = Lookup(MakeProbe(key));
    if (at == SIZE_MAX) Throw(32811);
    entries_[slots_[at]] = Entry{Variant(), Variant(), 0, 0, KeyKind::Empty, false};
    slots_[at] = kGone;
    --count_;
    if (entries_.size() > 32 && count_ < entries_.size() / 2) Compact();
  }
  void Compact() {
    std::vector<Entry> kept;
    kept.reserve(count_);
    for (auto& e : entries_)
      if (e.alive) kept.push_back(std::move(e));
    entries_ = std::move(kept);
    slots_.clear();
    used_ = 0;
    Reserve(count_);
  }
  void Clear() {
    entries_.clear();
    slots_.clear();
    used_ = 0;
    count_ = 0;
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
  std::vector<uint32_t> slots_;  // size a power of two
  size_t used_ = 0;              // slots not kFree
  size_t count_ = 0;
  bool textMode_ = false;
};

Variant ItemGet(Dictionary& d, Args a) {
  Dictionary::Probe p = d.MakeProbe(*a[0]);
  size_t at = d.Lookup(p);
  if (at != SIZE_MAX) return d.entries_[d.slots_[at]].item;
  d.Insert(p, *a[0], Variant());  // reading a missing key adds it, as in the original
  return Variant();
}

Variant ItemPut(Dictionary& d, Args a) {
  Variant v = a[1]->Deref();
  Dictionary::Probe p = d.MakeProbe(*a[0]);
  size_t at = d.Lookup(p);
  if (at != SIZE_MAX)
    d.entries_[d.slots_[at]].item = std::move(v);
  else
    d.Insert(p, *a[0], std::move(v));
  return Variant();
}

const Member<Dictionary> Dictionary::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1, ItemGet, true},
    {"Item", MemberKind::Let, 1, 1, ItemPut},
    {"Item", MemberKind::Set, 1, 1, ItemPut},
    {"Add", MemberKind::Method, 2, 2,
     [](Dictionary& d, Args a) {
       Dictionary::Probe p = d.MakeProbe(*a[0]);
       if (d.Lookup(p) != SIZE_MAX) Throw(457);
       d.Insert(p, *a[0], a[1]->Deref());
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
       d.Clear();
       return Variant();
     }},
    {"Count", MemberKind::Get, 0, 0,
     [](Dictionary& d, Args) { return Variant::Long(static_cast<int32_t>(d.count_)); }},
    {"Keys", MemberKind::Method, 0, 0, [](Dictionary& d, Args) { return d.Collect(true); }},
    {"Items", MemberKind::Method, 0, 0, [](Dictionary& d, Args) { return d.Collect(false); }},
    {"Key", MemberKind::Let, 1, 1,
     [](Dictionary& d, Args a) {
       size_t from = d.Lookup(d.MakeProbe(*a[0]));
       if (from == SIZE_MAX) Throw(32811);
       Dictionary::Probe to = d.MakeProbe(*a[1]);
       if (d.Lookup(to) != SIZE_MAX) Throw(457);
       // The entry keeps its place in the order; only its slot moves.
       uint32_t index = d.slots_[from];
       d.slots_[from] = Dictionary::kGone;
       Dictionary::Entry& e = d.entries_[index];
       e.key = a[1]->Deref();
       e.number = to.number;
       e.hash = to.hash;
       e.kind = to.kind;
       if (!d.Reserve(d.count_)) d.Place(to.hash, index);
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
       d.Clear();  // removed keys may leave marks hashed under the other mode
       return Variant();
     }},
};

// ProgID -> factory for every object the engine provides.
constexpr StandardObject kStandardObjects[] = {
    {"Scripting.Dictionary", [](Interpreter&) { return ObjectPtr<HostObject>(new Dictionary); }},
    {"VBScript.RegExp", MakeRegExp},
    {"Scripting.FileSystemObject", [](Interpreter&) { return MakeFileSystemObject(); }},
};

}  // namespace

std::span<const StandardObject> StandardObjects() {
  return kStandardObjects;
}

}  // namespace vbs
