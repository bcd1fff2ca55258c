#include "core/tessera/pt_pickle.h"

#include <cstdio>
#include <map>
#include <stdexcept>

namespace le::tessera {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("teeth: " + what); }

class Machine {
 public:
  // A memo reference costs a few bytes but may be expanded many times (a
  // key or a shape tuple copied again at every use), so everything copied
  // out of the stream is charged against a budget proportional to its size.
  Machine(const uint8_t* data, std::size_t size)
      : p_(data), end_(data + size), budget_(8 * size + (std::size_t(1) << 20)) {}

  Unpickled run() {
    for (;;) {
      const uint8_t op = byte();
      switch (op) {
        case 0x28: marks_.push_back(stack_.size()); break;                         // MARK
        case 0x29: push(make(PVal::Kind::kTuple)); break;                           // EMPTY_TUPLE
        case 0x2e: out_.root = pop(); return std::move(out_);                       // STOP
        case 0x4a: pushInt(static_cast<int32_t>(le32())); break;                    // BININT
        case 0x4b: pushInt(byte()); break;                                          // BININT1
        case 0x4d: pushInt(le16()); break;                                          // BININT2
        case 0x4e: push(make(PVal::Kind::kNone)); break;                            // NONE
        case 0x51: push(persistent(pop())); break;                                  // BINPERSID
        case 0x52: { PVal* args = pop(); push(reduce(pop(), args)); break; }        // REDUCE
        case 0x58: { PVal* s = make(PVal::Kind::kString); s->text = bytes(le32()); push(s); break; }  // BINUNICODE
        case 0x62: pop(); top(); break;                                             // BUILD: state unused
        case 0x63: { PVal* g = make(PVal::Kind::kGlobal); g->text = line(); g->text += " " + line(); push(g); break; }
        case 0x68: push(memoGet(byte(), "BINGET")); break;
        case 0x6a: push(memoGet(le32(), "LONG_BINGET")); break;
        case 0x71: memo_[byte()] = top(); break;                                    // BINPUT
        case 0x72: memo_[le32()] = top(); break;                                    // LONG_BINPUT
        case 0x73: { PVal* v = pop(); PVal* k = pop(); setItem(top(), k, v); break; }  // SETITEM
        case 0x74: push(tupleFrom(popMark())); break;                               // TUPLE
        case 0x75: {                                                                // SETITEMS
          std::vector<PVal*> kv = popMark();
          if (kv.size() % 2) fail("pickle SETITEMS has an odd item count");
          PVal* d = top();
          for (std::size_t i = 0; i < kv.size(); i += 2) setItem(d, kv[i], kv[i + 1]);
          break;
        }
        case 0x7d: push(make(PVal::Kind::kDict)); break;                            // EMPTY_DICT
        case 0x80: byte(); break;                                                   // PROTO
        case 0x85: case 0x86: case 0x87: {                                          // TUPLE1..3
          std::vector<PVal*> items(static_cast<std::size_t>(op - 0x84));
          for (std::size_t i = items.size(); i-- > 0;) items[i] = pop();
          push(tupleFrom(std::move(items)));
          break;
        }
        case 0x88: case 0x89: { PVal* b = make(PVal::Kind::kBool); b->boolean = op == 0x88; push(b); break; }
        default: {
          char hex[8];
          std::snprintf(hex, sizeof hex, "%02x", op);
          fail(std::string("unsupported pickle opcode 0x") + hex + " in head .pt");
        }
      }
    }
  }

 private:
  uint8_t byte() {
    if (p_ == end_) fail("pickle truncated");
    return *p_++;
  }
  uint32_t le16() {
    uint32_t v = byte();
    return v | static_cast<uint32_t>(byte()) << 8;
  }
  uint32_t le32() {
    uint32_t v = le16();
    return v | le16() << 16;
  }
  std::string bytes(uint32_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) fail("pickle truncated");
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  std::string line() {
    const uint8_t* start = p_;
    while (p_ != end_ && *p_ != '\n') ++p_;
    if (p_ == end_) fail("pickle truncated");
    return std::string(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_++ - start));
  }

  PVal* make(PVal::Kind kind) {
    out_.arena.push_back(std::make_unique<PVal>());
    out_.arena.back()->kind = kind;
    return out_.arena.back().get();
  }
  void push(PVal* v) { stack_.push_back(v); }
  void pushInt(int64_t v) {
    PVal* i = make(PVal::Kind::kInt);
    i->integer = v;
    push(i);
  }
  std::size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
  PVal* top() {
    if (stack_.size() <= floor()) fail("pickle stack underflow in head .pt");
    return stack_.back();
  }
  PVal* pop() {
    PVal* v = top();
    stack_.pop_back();
    return v;
  }
  std::vector<PVal*> popMark() {
    if (marks_.empty()) fail("pickle has no MARK to pop to in head .pt");
    const std::size_t at = marks_.back();
    marks_.pop_back();
    std::vector<PVal*> items(stack_.begin() + static_cast<std::ptrdiff_t>(at), stack_.end());
    stack_.resize(at);
    return items;
  }
  PVal* tupleFrom(std::vector<PVal*> items) {
    PVal* t = make(PVal::Kind::kTuple);
    t->items = std::move(items);
    return t;
  }
  PVal* memoGet(uint32_t index, const char* op) {
    auto it = memo_.find(index);
    if (it == memo_.end()) fail(std::string("pickle ") + op + " out of range");
    return it->second;
  }
  void setItem(PVal* d, PVal* k, PVal* v) {
    if (d->kind != PVal::Kind::kDict) fail("pickle SETITEM on a value that is not a dict in head .pt");
    if (k->kind != PVal::Kind::kString) fail("head .pt has a dict key that is not a string");
    charge(k->text.size() + sizeof(d->dict.front()));
    d->dict.emplace_back(k->text, v);
  }

  void charge(std::size_t bytes) {
    if (bytes > budget_) fail("head .pt pickle expands far beyond its own size — refusing it");
    budget_ -= bytes;
  }

  PVal* persistent(const PVal* pid) {
    const auto& it = pid->items;
    if (pid->kind != PVal::Kind::kTuple || it.size() != 5 || it[0]->kind != PVal::Kind::kString ||
        it[0]->text != "storage" || it[1]->kind != PVal::Kind::kGlobal || it[2]->kind != PVal::Kind::kString ||
        it[4]->kind != PVal::Kind::kInt)
      fail("unexpected persistent id in head .pt");
    if (it[1]->text != "torch FloatStorage")
      fail("head .pt storage is " + it[1]->text + ", not torch FloatStorage — refusing to reinterpret it");
    charge(it[1]->text.size() + it[2]->text.size());
    PVal* s = make(PVal::Kind::kStorage);
    s->text = it[1]->text;
    s->key = it[2]->text;
    s->integer = it[4]->integer;
    return s;
  }

  bool intTuple(const PVal* v, std::vector<int64_t>& out) {
    if (v->kind != PVal::Kind::kTuple) return false;
    charge(v->items.size() * sizeof(int64_t));
    for (const PVal* i : v->items) {
      if (i->kind != PVal::Kind::kInt) return false;
      out.push_back(i->integer);
    }
    return true;
  }

  PVal* reduce(const PVal* callable, const PVal* args) {
    if (callable->kind != PVal::Kind::kGlobal)
      fail("head .pt calls a value that is not a global — this reader refuses code it does not model");
    if (callable->text == "collections OrderedDict") return make(PVal::Kind::kDict);
    if (callable->text != "torch._utils _rebuild_tensor_v2")
      fail("head .pt calls " + callable->text + " — this reader refuses code it does not model");
    PVal* t = make(PVal::Kind::kTensor);
    const auto& a = args->items;
    if (args->kind != PVal::Kind::kTuple || a.size() < 4 || a[0]->kind != PVal::Kind::kStorage ||
        a[1]->kind != PVal::Kind::kInt || !intTuple(a[2], t->shape) || !intTuple(a[3], t->strides) ||
        t->shape.size() != t->strides.size())
      fail("malformed _rebuild_tensor_v2");
    charge(a[0]->key.size());
    t->key = a[0]->key;
    t->integer = a[1]->integer;
    return t;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<PVal*> stack_;
  std::vector<std::size_t> marks_;
  std::map<uint32_t, PVal*> memo_;
  std::size_t budget_;  // bytes that copies out of the stream may still take
  Unpickled out_;
};

}  // namespace

Unpickled unpickle(const uint8_t* data, std::size_t size) { return Machine(data, size).run(); }

}  // namespace le::tessera
