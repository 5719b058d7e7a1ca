// Bounds of a checkpoint's pickle, measured before any loader builds a value.
//
// The scan walks the opcodes without building Python objects and refuses a
// pickle whose values would be nested too deeply, take far more memory than
// the pickle's own size, expand through shared references (the memo) beyond a
// multiple of it, or contain themselves; and every storage and tensor it
// names is checked against the records the file holds: a storage may not
// claim more bytes than its record has, a tensor may not reach past its
// storage. It admits nothing and refuses no global: which values may be built
// is the loader's decision, taken afterwards. Plain C++, no interpreter, so
// it can be fuzzed on its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace common {
namespace pickle_bounds {

struct PickleBoundsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The size of the record data/<key>, or nothing when the file has none.
using RecordSize = std::function<std::optional<uint64_t>(const std::string& key)>;

struct PickleLimits {
  uint32_t max_depth = 100;
  // estimated bytes of the objects a loader builds: per pickle byte, plus a floor
  uint64_t memory_per_byte = 64;
  uint64_t memory_floor = uint64_t(16) << 20;
  // objects reachable from the result, a shared one counted at every reference
  uint64_t expanded_per_byte = 16;
  uint64_t expanded_floor = uint64_t(1) << 20;
};

class PickleBounds {
 public:
  PickleBounds(const uint8_t* data, size_t size, RecordSize records, PickleLimits limits = {})
      : data_(data), size_(size), records_(std::move(records)), limits_(limits) {
    memory_limit_ = limits_.memory_floor + limits_.memory_per_byte * uint64_t(size_);
    expanded_limit_ = limits_.expanded_floor + limits_.expanded_per_byte * uint64_t(size_);
    // small ints and the scalars without a value of their own are shared nodes
    for (int v = 0; v < 256; ++v) nodes_.push_back(Node{Kind::Int, 0, 0, v, 0, 0});
    nodes_.push_back(Node{Kind::Scalar, 0, 0, 0, 0, 0});
  }

  // Throws PickleBoundsError with the reason when a bound is broken.
  void check() {
    for (;;) {
      const uint8_t op = byte();
      if (op == '.') break;  // STOP
      step(op);
    }
    if (stack_.size() <= floor()) fail("pickle stack underflow");
    measure(stack_.back());
  }

 private:
  enum class Kind : uint8_t { Int, BigInt, Str, Scalar, Tuple, Container, Global, Storage, Other };
  struct Node {
    Kind kind;
    uint32_t depth;
    uint32_t aux;    // Tuple: first edge; Str, Global: text index; Storage: element size
    int64_t value;   // Int: the value; Storage: the element count
    uint32_t count;  // Tuple: its length
    uint32_t pad;
  };
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kScalar = 256;

  [[noreturn]] static void fail(const std::string& why) { throw PickleBoundsError(why); }

  // ---- input -------------------------------------------------------------

  const uint8_t* take(uint64_t n) {
    if (n > size_ - pos_) fail("pickle data was truncated");
    const uint8_t* p = data_ + pos_;
    pos_ += static_cast<size_t>(n);
    return p;
  }
  uint8_t byte() { return *take(1); }
  uint64_t little(int n) {
    const uint8_t* p = take(n);
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }
  std::string line() {
    const void* end = std::memchr(data_ + pos_, '\n', size_ - pos_);
    if (!end) fail("pickle data was truncated");
    const size_t n = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data_ + pos_));
    std::string out(reinterpret_cast<const char*>(take(n)), n);
    take(1);
    return out;
  }

  // ---- nodes -------------------------------------------------------------

  void spend(uint64_t bytes) {
    memory_ += bytes;
    if (memory_ > memory_limit_)
      fail("the objects would take more than " + std::to_string(memory_limit_) +
           " bytes of memory for a pickle of " + std::to_string(size_) + " bytes");
  }
  uint32_t add(Kind kind, uint64_t cost, int64_t value = 0, uint32_t aux = 0) {
    spend(cost);
    nodes_.push_back(Node{kind, 0, aux, value, 0, 0});
    return static_cast<uint32_t>(nodes_.size() - 1);
  }
  uint32_t text_node(Kind kind, std::string text, uint64_t cost) {
    texts_.push_back(text.size() <= 512 ? std::move(text) : std::string());
    return add(kind, cost, 0, static_cast<uint32_t>(texts_.size() - 1));
  }
  void link(uint32_t parent, uint32_t child) {
    edges_.emplace_back(parent, child);
    Node& p = nodes_[parent];
    const uint32_t d = nodes_[child].depth + 1;
    if (d > p.depth) p.depth = d;
    if (p.depth > limits_.max_depth)
      fail("values are nested more than " + std::to_string(limits_.max_depth) + " deep");
  }

  // Values below the innermost mark are out of reach until it is popped.
  size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
  void push(uint32_t n) { stack_.push_back(n); }
  uint32_t pop() {
    if (stack_.size() <= floor()) fail("pickle stack underflow");
    const uint32_t n = stack_.back();
    stack_.pop_back();
    return n;
  }
  uint32_t top() {
    if (stack_.size() <= floor()) fail("pickle stack underflow");
    return stack_.back();
  }
  std::vector<uint32_t> pop_mark() {
    if (marks_.empty()) fail("could not find MARK");
    const size_t at = marks_.back();
    marks_.pop_back();
    std::vector<uint32_t> items(stack_.begin() + static_cast<std::ptrdiff_t>(at), stack_.end());
    stack_.resize(at);
    return items;
  }
  void tuple(const std::vector<uint32_t>& items) {
    const uint32_t t =
        add(Kind::Tuple, 40 + 8 * uint64_t(items.size()), 0, static_cast<uint32_t>(edges_.size()));
    nodes_[t].count = static_cast<uint32_t>(items.size());
    for (uint32_t item : items) link(t, item);
    push(t);
  }
  void tuple_of(size_t n) {
    if (stack_.size() - floor() < n) fail("pickle stack underflow");
    std::vector<uint32_t> items(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
    stack_.resize(stack_.size() - n);
    tuple(items);
  }
  uint32_t item(uint32_t tuple_node, uint32_t i) const {
    const Node& t = nodes_[tuple_node];
    return t.kind == Kind::Tuple && i < t.count ? edges_[t.aux + i].second : kNone;
  }
  const std::string* text_of(uint32_t n, Kind kind) const {
    return n != kNone && nodes_[n].kind == kind ? &texts_[nodes_[n].aux] : nullptr;
  }
  std::optional<int64_t> int_of(uint32_t n) const {
    if (n == kNone || nodes_[n].kind != Kind::Int) return std::nullopt;
    return nodes_[n].value;
  }

  // ---- storages and tensors ----------------------------------------------

  static uint32_t element_size(const std::string& global) {
    // clang-format off
    static const std::pair<const char*, uint32_t> sizes[] = {
        {"DoubleStorage", 8}, {"FloatStorage", 4},   {"HalfStorage", 2},
        {"LongStorage", 8},   {"IntStorage", 4},     {"ShortStorage", 2},
        {"CharStorage", 1},   {"ByteStorage", 1},    {"BoolStorage", 1},
        {"BFloat16Storage", 2}, {"ComplexDoubleStorage", 16}, {"ComplexFloatStorage", 8},
        {"QUInt8Storage", 1}, {"QInt8Storage", 1},   {"QInt32Storage", 4},
        {"QUInt4x2Storage", 1}, {"QUInt2x4Storage", 1}, {"UntypedStorage", 1}};
    // clang-format on
    std::string module, name = global;
    const size_t dot = global.rfind('.');
    if (dot != std::string::npos) module = global.substr(0, dot), name = global.substr(dot + 1);
    if (module != "torch" && module != "torch.cuda") return 0;
    for (const auto& [n, size] : sizes)
      if (name == n) return size;
    return 0;
  }

  // ("storage", storage type, key, location, element count)
  void storage(uint32_t pid) {
    const std::string* kind = text_of(item(pid, 0), Kind::Str);
    if (!kind || *kind != "storage" || nodes_[pid].count != 5)
      fail("a persistent id must name a storage");
    const std::string* type = text_of(item(pid, 1), Kind::Global);
    const std::string* key = text_of(item(pid, 2), Kind::Str);
    const std::optional<int64_t> numel = int_of(item(pid, 4));
    const uint32_t elsize = type ? element_size(*type) : 0;
    if (!elsize) fail("a storage of unknown type");
    if (!key || key->empty()) fail("a storage without a key");
    if (!numel || *numel < 0) fail("a storage with an invalid element count");
    auto seen = storages_.find(*key);
    if (seen != storages_.end()) {
      if (seen->second != std::make_pair(elsize, *numel))
        fail("storage " + *key + " is claimed with two different sizes");
    } else {
      const std::optional<uint64_t> have = records_(*key);
      if (!have) fail("storage " + *key + " has no record in the file");
      if (uint64_t(*numel) > *have / elsize)
        fail("storage " + *key + " claims " + std::to_string(*numel) + " elements of " +
             std::to_string(elsize) + " bytes, but its record holds " + std::to_string(*have) +
             " bytes");
      storages_.emplace(*key, std::make_pair(elsize, *numel));
    }
    push(add(Kind::Storage, 64, *numel, elsize));
  }

  // A tuple of ints, or torch.Size of one.
  std::optional<std::vector<int64_t>> ints(uint32_t n) const {
    if (n != kNone && nodes_[n].kind == Kind::Other && sizes_.count(n)) n = sizes_.at(n);
    if (n == kNone || nodes_[n].kind != Kind::Tuple) return std::nullopt;
    std::vector<int64_t> out;
    for (uint32_t i = 0; i < nodes_[n].count; ++i) {
      const std::optional<int64_t> v = int_of(item(n, i));
      if (!v) return std::nullopt;
      out.push_back(*v);
    }
    return out;
  }

  // (storage, offset, size, stride, ...): every element inside the storage.
  void tensor(uint32_t args) {
    const uint32_t s = item(args, 0);
    const std::optional<int64_t> offset = int_of(item(args, 1));
    const auto size = ints(item(args, 2)), stride = ints(item(args, 3));
    if (s == kNone || nodes_[s].kind != Kind::Storage || !offset || !size || !stride ||
        size->size() != stride->size())
      fail("a tensor with malformed storage arguments");
    const uint64_t numel = static_cast<uint64_t>(nodes_[s].value);
    if (*offset < 0 || uint64_t(*offset) > numel) fail("a tensor starts outside its storage");
    uint64_t last = static_cast<uint64_t>(*offset);
    bool empty = false;
    for (size_t i = 0; i < size->size(); ++i) {
      if ((*size)[i] < 0 || (*stride)[i] < 0) fail("a tensor with a negative size or stride");
      if ((*size)[i] == 0) empty = true;
    }
    if (empty) return;
    for (size_t i = 0; i < size->size(); ++i) {
      const uint64_t reach = uint64_t((*size)[i] - 1);
      const uint64_t step = uint64_t((*stride)[i]);
      if (step && reach > (numel - last) / step) fail("a tensor reaches past its storage");
      last += reach * step;
    }
    if (last >= numel) fail("a tensor reaches past its storage");
  }

  void reduce() {
    const uint32_t args = pop();
    const uint32_t func = pop();
    const std::string* name = text_of(func, Kind::Global);
    if (name &&
        (*name == "torch._utils._rebuild_tensor_v2" || *name == "torch._utils._rebuild_tensor" ||
         *name == "torch._utils._rebuild_qtensor"))
      tensor(args);
    const uint32_t out = add(Kind::Other, 128);
    if (name && *name == "torch.Size") sizes_[out] = item(args, 0);
    link(out, func);
    link(out, args);
    push(out);
  }

  // ---- the walk ----------------------------------------------------------

  void memo_get(uint64_t idx) {
    auto it = memo_.find(idx);
    if (it == memo_.end()) fail("memo value not found at index " + std::to_string(idx));
    push(it->second);
  }
  void memo_put(uint64_t idx) { memo_[idx] = top(); }

  void integer(const uint8_t* p, uint64_t n) {
    if (n > 8) return push(add(Kind::BigInt, 28 + n));
    uint64_t v = 0;
    for (uint64_t i = n; i-- > 0;) v = (v << 8) | p[i];
    if (n && n < 8 && (p[n - 1] & 0x80)) v |= ~uint64_t(0) << (8 * n);  // sign
    push(add(Kind::Int, 32, static_cast<int64_t>(v)));
  }
  void small(int64_t v) {
    push(v >= 0 && v < 256 ? static_cast<uint32_t>(v) : add(Kind::Int, 32, v));
  }

  void str(uint64_t n) {
    const uint8_t* p = take(n);
    push(text_node(Kind::Str, std::string(reinterpret_cast<const char*>(p), n), 56 + n));
  }

  void step(uint8_t op) {
    switch (op) {
      case 0x80: take(1); return;    // PROTO
      case 0x95: little(8); return;  // FRAME
      case 'c': {                    // GLOBAL
        std::string module = line(), name = line();
        return push(text_node(Kind::Global, module + "." + name, 0));
      }
      case 0x93: {  // STACK_GLOBAL
        const uint32_t name = pop(), module = pop();
        const std::string *m = text_of(module, Kind::Str), *n = text_of(name, Kind::Str);
        return push(text_node(Kind::Global, m && n ? *m + "." + *n : std::string(), 0));
      }
      case 'R': return reduce();
      case 0x81: {  // NEWOBJ
        const uint32_t args = pop(), cls = pop();
        const uint32_t out = add(Kind::Other, 128);
        link(out, cls);
        link(out, args);
        return push(out);
      }
      case 'b': {  // BUILD
        const uint32_t state = pop();
        return link(top(), state);
      }
      case 'Q': return storage(pop());  // BINPERSID
      case 'a': {                       // APPEND
        const uint32_t v = pop();
        spend(8);
        return link(top(), v);
      }
      case 'e':
      case 0x90: {  // APPENDS, ADDITEMS
        const std::vector<uint32_t> items = pop_mark();
        spend(16 * uint64_t(items.size()));
        const uint32_t target = top();
        for (uint32_t v : items) link(target, v);
        return;
      }
      case 's': {  // SETITEM
        const uint32_t v = pop(), k = pop();
        spend(48);
        const uint32_t target = top();
        link(target, k);
        return link(target, v);
      }
      case 'u': {  // SETITEMS
        const std::vector<uint32_t> items = pop_mark();
        if (items.size() % 2) fail("odd number of items for SETITEMS");
        spend(24 * uint64_t(items.size()));
        const uint32_t target = top();
        for (uint32_t v : items) link(target, v);
        return;
      }
      case '(': marks_.push_back(stack_.size()); return;
      case 't': return tuple(pop_mark());
      case 0x91: {  // FROZENSET
        const std::vector<uint32_t> items = pop_mark();
        const uint32_t out = add(Kind::Container, 216 + 16 * uint64_t(items.size()));
        for (uint32_t v : items) link(out, v);
        return push(out);
      }
      case 0x85: return tuple_of(1);
      case 0x86: return tuple_of(2);
      case 0x87: return tuple_of(3);
      case ')': return tuple({});
      case ']': return push(add(Kind::Container, 56));
      case '}': return push(add(Kind::Container, 64));
      case 0x8f: return push(add(Kind::Container, 216));  // EMPTY_SET
      case 'N':
      case 0x88:
      case 0x89: return push(kScalar);
      case 'G':
        take(8);
        spend(24);
        return push(kScalar);
      case 'J': return small(static_cast<int32_t>(little(4)));
      case 'K': return small(byte());
      case 'M': return small(static_cast<int64_t>(little(2)));
      case 0x8a: {  // LONG1
        const uint64_t n = byte();
        return integer(take(n), n);
      }
      case 0x8b: {  // LONG4
        const uint64_t n = little(4);
        return integer(take(n), n);
      }
      case 'X': return str(little(4));   // BINUNICODE
      case 0x8c: return str(byte());     // SHORT_BINUNICODE
      case 0x8d: return str(little(8));  // BINUNICODE8
      case 'U':
      case 'C': return str(byte());  // SHORT_BINSTRING, SHORT_BINBYTES
      case 'T':
      case 'B': return str(little(4));   // BINSTRING, BINBYTES
      case 0x8e: return str(little(8));  // BINBYTES8
      case 'h': return memo_get(byte());
      case 'j': return memo_get(little(4));
      case 'q': return memo_put(byte());
      case 'r': return memo_put(little(4));
      case 0x94: return memo_put(memo_.size());  // MEMOIZE
      default: fail("unsupported operand " + std::to_string(op));
    }
  }

  // Depth and expanded size of what `root` reaches, walked without recursion.
  void measure(uint32_t root) {
    std::vector<uint32_t> first(nodes_.size() + 1, 0);
    for (const auto& e : edges_) ++first[e.first + 1];
    for (size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
    std::vector<uint32_t> child(edges_.size());
    std::vector<uint32_t> fill(first.begin(), first.end() - 1);
    for (const auto& e : edges_) child[fill[e.first]++] = e.second;
    edges_.clear();
    edges_.shrink_to_fit();

    enum : uint8_t { kNew, kOpen, kDone };
    std::vector<uint8_t> state(nodes_.size(), kNew);
    std::vector<uint64_t> weight(nodes_.size(), 0);
    std::vector<uint32_t> depth(nodes_.size(), 0);
    std::vector<std::pair<uint32_t, uint32_t>> path{{root, first[root]}};
    state[root] = kOpen;
    while (!path.empty()) {
      auto& [n, next] = path.back();
      if (next < first[n + 1]) {
        const uint32_t c = child[next++];
        if (state[c] == kOpen) fail("a container contains itself");
        if (state[c] == kNew) {
          state[c] = kOpen;
          path.emplace_back(c, first[c]);
        }
        continue;
      }
      uint64_t w = 1;
      uint32_t d = 0;
      for (uint32_t i = first[n]; i < first[n + 1]; ++i) {
        w += weight[child[i]];
        if (w > expanded_limit_)
          fail("shared references expand to more than " + std::to_string(expanded_limit_) +
               " objects for a pickle of " + std::to_string(size_) + " bytes");
        d = std::max(d, depth[child[i]] + 1);
      }
      if (d > limits_.max_depth)
        fail("values are nested more than " + std::to_string(limits_.max_depth) + " deep");
      weight[n] = w;
      depth[n] = d;
      state[n] = kDone;
      path.pop_back();
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  RecordSize records_;
  PickleLimits limits_;
  uint64_t memory_limit_ = 0, expanded_limit_ = 0, memory_ = 0;
  std::vector<Node> nodes_;
  std::vector<std::pair<uint32_t, uint32_t>> edges_;
  std::vector<std::string> texts_;
  std::vector<uint32_t> stack_;
  std::vector<size_t> marks_;
  std::unordered_map<uint64_t, uint32_t> memo_;
  std::unordered_map<std::string, std::pair<uint32_t, int64_t>> storages_;
  std::unordered_map<uint32_t, uint32_t> sizes_;
};

}  // namespace pickle_bounds
}  // namespace common

namespace pickle_bounds = common::pickle_bounds;
