// A reader for NumPy's .npy files that never unpickles and never trusts the
// header: versions 1 to 3, numbers in either byte order (bool, integers,
// float16/32/64), fixed-width unicode and byte strings, C or Fortran order.
//
// Plain C++ with no Python in sight, so that the header parser can be fuzzed
// on its own (tests/fuzz). Every failure is an npy::Error whose text says what
// is wrong with the file; callers add the file name.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace common {
namespace npy {

struct Error : std::runtime_error {
  enum Code { kMalformed, kObject, kUnsupported };
  Error(Code c, const std::string& what) : std::runtime_error(what), code(c) {}
  Code code;
};

// An operating-system failure (open, stat, read), kept as its errno.
struct OsError : std::runtime_error {
  explicit OsError(int e) : std::runtime_error(std::strerror(e)), err(e) {}
  int err;
};

[[noreturn]] inline void malformed(const std::string& what) {
  throw Error(Error::kMalformed, what);
}

// NumPy's own default limit on the header text of files it loads safely.
constexpr size_t kMaxHeaderLen = 10000;
constexpr size_t kMaxDims = 32;
constexpr size_t kPreludeMax = 12;  // magic, version and a 4-byte header length

// ---- dtypes --------------------------------------------------------------

enum class Kind { Bool, Int, UInt, Float, Unicode, Bytes };

struct DType {
  Kind kind = Kind::Float;
  size_t itemsize = 0;  // bytes per element
  bool swap = false;    // stored in the other byte order than this machine's
  std::string descr;    // as written in the header

  // Width of the units a byte swap works on: 4 for unicode code points.
  size_t unit() const {
    if (kind == Kind::Unicode) return 4;
    if (kind == Kind::Bytes) return 1;
    return itemsize;
  }
  bool numeric() const { return kind != Kind::Unicode && kind != Kind::Bytes; }
};

inline bool little_endian_host() {
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

inline bool valid_size(Kind kind, size_t size) {
  switch (kind) {
    case Kind::Bool: return size == 1;
    case Kind::Int:
    case Kind::UInt: return size == 1 || size == 2 || size == 4 || size == 8;
    case Kind::Float: return size == 2 || size == 4 || size == 8;
    default: return size > 0;
  }
}

// "<f4", ">i8", "|b1", "<U7", "|S3", with the byte-order mark optional.
inline DType parse_descr(const std::string& s) {
  size_t i = 0;
  char order = '=';
  if (i < s.size() && std::strchr("<>|=", s[i]) && s[i] != '\0') order = s[i++];
  if (i >= s.size()) malformed("dtype descr '" + s + "' is not understood");
  const char code = s[i++];
  std::string digits = s.substr(i);
  if (code == 'O') {
    if (digits.empty() || digits == "8" || digits == "4")
      throw Error(Error::kObject, "it holds Python objects (pickled data)");
  }
  DType dt;
  dt.descr = s;
  switch (code) {
    case 'b': dt.kind = Kind::Bool; break;
    case 'i': dt.kind = Kind::Int; break;
    case 'u': dt.kind = Kind::UInt; break;
    case 'f': dt.kind = Kind::Float; break;
    case 'U': dt.kind = Kind::Unicode; break;
    case 'S': dt.kind = Kind::Bytes; break;
    default: throw Error(Error::kUnsupported, "dtype '" + s + "' is not supported");
  }
  if (digits.empty() || digits.size() > 9 || digits[0] == '0' ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    throw Error(Error::kUnsupported, "dtype '" + s + "' is not supported");
  const size_t n = std::stoul(digits);
  dt.itemsize = dt.kind == Kind::Unicode ? n * 4 : n;
  if (!valid_size(dt.kind, n))
    throw Error(Error::kUnsupported, "dtype '" + s + "' is not supported");
  // '|' (not applicable) and '=' mean this machine's order
  const bool le = little_endian_host();
  dt.swap = dt.unit() > 1 && ((order == '<' && !le) || (order == '>' && le));
  return dt;
}

// ---- the header's dictionary literal --------------------------------------

// A small subset of Python's literal syntax: what NumPy writes, and nothing
// that NumPy itself would refuse. Anything else is malformed.
struct Value {
  enum Type { Str, Bool, Int, Tuple, List } type = Str;
  std::string str;
  bool boolean = false;
  bool negative = false;
  uint64_t integer = 0;
  bool overflow = false;  // integer beyond int64
  std::vector<Value> items;
};

class Literal {
 public:
  Literal(const char* text, size_t size, bool long_suffix)
      : p_(text), end_(text + size), long_suffix_(long_suffix) {}

  // {'descr': ..., 'fortran_order': ..., 'shape': ...} and trailing blanks.
  std::vector<std::pair<std::string, Value>> dict() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
    expect('{');
    std::vector<std::pair<std::string, Value>> out;
    skip();
    while (!at('}')) {
      Value key = value(0);
      if (key.type != Value::Str) fail("dictionary keys must be strings");
      skip();
      expect(':');
      skip();
      out.emplace_back(key.str, value(0));
      if (out.size() > 8) fail("too many entries");
      skip();
      if (at('}')) break;
      expect(',');
      skip();
    }
    ++p_;
    // blanks and one line end; Python refuses some other trailing blanks
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
    if (p_ < end_ && *p_ == '\r') ++p_;
    if (p_ < end_ && *p_ == '\n') ++p_;
    if (p_ != end_) fail("unexpected text after the dictionary");
    return out;
  }

 private:
  static constexpr int kMaxDepth = 8;

  [[noreturn]] void fail(const std::string& why) const {
    malformed("cannot parse the header: " + why);
  }
  bool at(char c) const { return p_ < end_ && *p_ == c; }
  void expect(char c) {
    if (!at(c)) fail(std::string("expected '") + c + "'");
    ++p_;
  }
  void skip() {
    while (p_ < end_ && std::strchr(" \t\r\n\f", *p_) && *p_ != '\0') ++p_;
  }

  Value value(int depth) {
    if (depth > kMaxDepth) fail("nested too deeply");
    if (p_ >= end_) fail("unexpected end");
    const char c = *p_;
    if (c == '\'' || c == '"') return string();
    if (c == '(' || c == '[') return sequence(depth);
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    if (word("True")) return boolean(true);
    if (word("False")) return boolean(false);
    fail("unexpected character");
  }

  bool word(const char* w) {
    const size_t n = std::strlen(w);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
    const char* after = p_ + n;
    if (after < end_ && (std::isalnum(static_cast<unsigned char>(*after)) || *after == '_'))
      return false;
    p_ = after;
    return true;
  }

  static Value boolean(bool b) {
    Value v;
    v.type = Value::Bool;
    v.boolean = b;
    return v;
  }

  Value string() {
    const char quote = *p_++;
    const char* start = p_;
    while (p_ < end_ && *p_ != quote) {
      if (*p_ == '\\' || *p_ == '\n' || *p_ == '\r' || *p_ == '\0')
        fail("unsupported character in a string");
      ++p_;
    }
    if (p_ >= end_) fail("unterminated string");
    Value v;
    v.str.assign(start, p_);
    ++p_;
    return v;
  }

  // Decimal integers as Python writes them; Python 2 wrote a trailing L.
  Value number() {
    Value v;
    v.type = Value::Int;
    if (*p_ == '-') {
      v.negative = true;
      ++p_;
      skip();
    }
    const char* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
      const uint64_t d = static_cast<uint64_t>(*p_ - '0');
      if (v.integer > (static_cast<uint64_t>(INT64_MAX) - d) / 10)
        v.overflow = true;
      else
        v.integer = v.integer * 10 + d;
      ++p_;
    }
    if (p_ == start) fail("expected a number");
    if (*start == '0' && std::find_if(start, p_, [](char ch) { return ch != '0'; }) != p_)
      fail("leading zeros in a number");
    if (long_suffix_ && p_ < end_ && *p_ == 'L') ++p_;
    if (p_ < end_ && (std::isalnum(static_cast<unsigned char>(*p_)) || *p_ == '_' || *p_ == '.'))
      fail("unsupported number");
    return v;
  }

  // A tuple or a list; "(x)" without a comma is just x, as in Python.
  Value sequence(int depth) {
    const char close = *p_ == '(' ? ')' : ']';
    Value v;
    v.type = close == ')' ? Value::Tuple : Value::List;
    ++p_;
    skip();
    bool comma = false;
    while (!at(close)) {
      v.items.push_back(value(depth + 1));
      if (v.items.size() > kMaxDims + 1) fail("sequence too long");
      skip();
      if (at(close)) break;
      expect(',');
      comma = true;
      skip();
    }
    ++p_;
    if (close == ')' && v.items.size() == 1 && !comma) return std::move(v.items[0]);
    return v;
  }

  const char* p_;
  const char* end_;
  bool long_suffix_;
};

// ---- the header -----------------------------------------------------------

struct Header {
  int major = 1;
  DType dtype;
  bool fortran = false;
  std::vector<uint64_t> shape;
  uint64_t data_offset = 0;
  uint64_t count = 1;   // number of elements
  uint64_t nbytes = 0;  // count * itemsize
};

inline uint32_t little_u32(const unsigned char* p, size_t n) {
  uint32_t v = 0;
  for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// Bytes of the file needed to hold its whole header, from its first
// kPreludeMax bytes (fewer when the file is shorter).
inline uint64_t header_end(const unsigned char* p, size_t avail) {
  static const unsigned char magic[] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
  if (avail < 6 || std::memcmp(p, magic, 6) != 0)
    malformed("not a .npy file (no NumPy magic string)");
  if (avail < 8) malformed("truncated header");
  const int major = p[6], minor = p[7];
  if ((major != 1 && major != 2 && major != 3) || minor != 0)
    malformed("unsupported .npy format version " + std::to_string(major) + "." +
              std::to_string(minor));
  const size_t len_bytes = major == 1 ? 2 : 4;
  if (avail < 8 + len_bytes) malformed("truncated header");
  const uint64_t len = little_u32(p + 8, len_bytes);
  if (len > kMaxHeaderLen)
    malformed("header of " + std::to_string(len) + " bytes is longer than the " +
              std::to_string(kMaxHeaderLen) + " allowed");
  return 8 + len_bytes + len;
}

inline std::vector<uint64_t> parse_shape(const Value& v) {
  if (v.type != Value::Tuple) malformed("shape is not a tuple");
  if (v.items.size() > kMaxDims) malformed("more than 32 dimensions");
  std::vector<uint64_t> shape;
  for (const Value& d : v.items) {
    if (d.type != Value::Int) malformed("shape holds something other than integers");
    if (d.negative && (d.integer != 0 || d.overflow)) malformed("negative dimension in the shape");
    if (d.overflow) malformed("dimension too large");
    shape.push_back(d.integer);
  }
  return shape;
}

// Element count and byte size, refusing shapes that cannot be stored.
inline void size_up(Header& h) {
  h.count = 1;
  const bool empty = std::find(h.shape.begin(), h.shape.end(), 0) != h.shape.end();
  if (empty) h.count = 0;
  for (uint64_t d : h.shape) {
    if (empty) break;
    if (h.count > static_cast<uint64_t>(INT64_MAX) / d) malformed("shape too large");
    h.count *= d;
  }
  if (h.count != 0 && h.dtype.itemsize > static_cast<uint64_t>(INT64_MAX) / h.count)
    malformed("shape too large");
  h.nbytes = h.count * h.dtype.itemsize;
}

// Parses the header in the first `avail` bytes of a file of `file_size` bytes
// and checks that the file holds all the data it declares.
inline Header parse_header(const unsigned char* p, size_t avail, uint64_t file_size) {
  const uint64_t end = header_end(p, avail);
  if (end > file_size || end > avail) malformed("truncated header");
  Header h;
  h.major = p[6];
  const size_t start = h.major == 1 ? 10 : 12;
  Literal lit(reinterpret_cast<const char*>(p) + start, static_cast<size_t>(end - start),
              h.major <= 2);
  bool has_descr = false, has_order = false, has_shape = false;
  Value descr, shape;
  for (auto& kv : lit.dict()) {
    bool* seen = kv.first == "descr"           ? &has_descr
                 : kv.first == "fortran_order" ? &has_order
                 : kv.first == "shape"         ? &has_shape
                                               : nullptr;
    if (!seen || *seen) malformed("header keys are not descr, fortran_order and shape");
    *seen = true;
    if (seen == &has_descr) descr = std::move(kv.second);
    if (seen == &has_shape) shape = std::move(kv.second);
    if (seen == &has_order) {
      if (kv.second.type != Value::Bool) malformed("fortran_order is not True or False");
      h.fortran = kv.second.boolean;
    }
  }
  if (!has_descr || !has_order || !has_shape)
    malformed("header keys are not descr, fortran_order and shape");
  h.shape = parse_shape(shape);
  if (descr.type != Value::Str)
    throw Error(Error::kUnsupported, "structured dtypes are not supported");
  h.dtype = parse_descr(descr.str);
  h.data_offset = end;
  size_up(h);
  const uint64_t held = file_size - end;
  if (h.nbytes > held)
    malformed("truncated data: the header declares " + std::to_string(h.nbytes) +
              " bytes, the file holds " + std::to_string(held));
  return h;
}

// ---- sources --------------------------------------------------------------

// Random access to a file's bytes.
class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Fills dst with n bytes from offset off, or throws.
  virtual void read_at(uint64_t off, void* dst, size_t n) = 0;

  Header header() {
    unsigned char prelude[kPreludeMax] = {};  // the compiler cannot see read_at fill it
    const size_t first = static_cast<size_t>(std::min<uint64_t>(kPreludeMax, size()));
    read_at(0, prelude, first);
    const uint64_t end = header_end(prelude, first);
    if (end > size()) malformed("truncated header");
    std::vector<unsigned char> head(static_cast<size_t>(end));
    read_at(0, head.data(), head.size());
    return parse_header(head.data(), head.size(), size());
  }
};

class MemorySource : public Source {
 public:
  MemorySource(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  void read_at(uint64_t off, void* dst, size_t n) override {
    if (off > size_ || n > size_ - off) malformed("truncated data");
    if (n) std::memcpy(dst, data_ + off, n);
  }

 private:
  const unsigned char* data_;
  size_t size_;
};

// A regular file, opened for reading. Never blocks on FIFOs or devices.
class FileSource : public Source {
 public:
  explicit FileSource(const char* path) {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw OsError(errno);
    struct stat st;
    if (::fstat(fd_, &st) != 0) fail_os();
    if (S_ISDIR(st.st_mode)) {
      ::close(fd_);
      throw OsError(EISDIR);
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd_);
      malformed("not a regular file");
    }
    size_ = static_cast<uint64_t>(st.st_size);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override { ::close(fd_); }

  uint64_t size() const override { return size_; }

  void read_at(uint64_t off, void* dst, size_t n) override {
    auto* out = static_cast<unsigned char*>(dst);
    while (n > 0) {
      const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(off));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw OsError(errno);
      if (got == 0) malformed("truncated data (the file shrank while it was read)");
      out += got;
      off += static_cast<uint64_t>(got);
      n -= static_cast<size_t>(got);
    }
  }

 private:
  [[noreturn]] void fail_os() {
    const int e = errno;
    ::close(fd_);
    throw OsError(e);
  }
  int fd_ = -1;
  uint64_t size_ = 0;
};

// ---- data -----------------------------------------------------------------

inline void byteswap(void* data, uint64_t units, size_t width) {
  auto* p = static_cast<unsigned char*>(data);
  if (width < 2) return;
  for (uint64_t i = 0; i < units; ++i, p += width) std::reverse(p, p + width);
}

// Converts elements to this machine's byte order, in place.
inline void to_native(void* data, uint64_t count, const DType& dt) {
  if (dt.swap) byteswap(data, count * (dt.itemsize / dt.unit()), dt.unit());
}

// The whole data block as stored (file order), converted to native order.
inline std::vector<unsigned char> read_data(Source& src, const Header& h) {
  std::vector<unsigned char> out(static_cast<size_t>(h.nbytes));
  src.read_at(h.data_offset, out.data(), out.size());
  to_native(out.data(), h.count, h.dtype);
  return out;
}

// Fortran order stores column t as the n_rows elements (., t) one after
// another: read whole columns a chunk at a time when they are short, else
// only the first `rows` elements of each, and scatter them into C order.
inline void read_fortran_rows(Source& src, const Header& h, uint64_t rows, unsigned char* dst,
                              std::vector<unsigned char>& scratch) {
  constexpr uint64_t kChunk = uint64_t(1) << 20;
  const uint64_t n_rows = h.shape[0], cols = h.shape[1];
  const size_t item = h.dtype.itemsize;
  const uint64_t column = n_rows * item;
  if (column <= kChunk) {
    const uint64_t per_read = kChunk / column;
    scratch.resize(static_cast<size_t>(per_read * column));
    for (uint64_t t0 = 0; t0 < cols; t0 += per_read) {
      const uint64_t nc = std::min(per_read, cols - t0);
      src.read_at(h.data_offset + t0 * column, scratch.data(), static_cast<size_t>(nc * column));
      to_native(scratch.data(), nc * n_rows, h.dtype);
      for (uint64_t c = 0; c < nc; ++c)
        for (uint64_t r = 0; r < rows; ++r)
          std::memcpy(dst + (r * cols + t0 + c) * item, scratch.data() + (c * n_rows + r) * item,
                      item);
    }
    return;
  }
  const uint64_t piece = std::min<uint64_t>(rows, std::max<uint64_t>(1, kChunk / item));
  scratch.resize(static_cast<size_t>(piece * item));
  for (uint64_t t = 0; t < cols; ++t) {
    for (uint64_t r0 = 0; r0 < rows; r0 += piece) {
      const uint64_t nr = std::min(piece, rows - r0);
      src.read_at(h.data_offset + t * column + r0 * item, scratch.data(),
                  static_cast<size_t>(nr * item));
      to_native(scratch.data(), nr, h.dtype);
      for (uint64_t r = 0; r < nr; ++r)
        std::memcpy(dst + ((r0 + r) * cols + t) * item, scratch.data() + r * item, item);
    }
  }
}

// Rows [0, rows) of a 2-D array, written to `out` in C order and native byte
// order: rows * shape[1] elements. C-order files are read straight into
// `out`; Fortran-order ones go through `scratch`, a bounded staging buffer.
inline void read_rows(Source& src, const Header& h, uint64_t rows, void* out,
                      std::vector<unsigned char>& scratch) {
  const uint64_t n_rows = h.shape.at(0), cols = h.shape.at(1);
  const size_t item = h.dtype.itemsize;
  if (rows > n_rows) rows = n_rows;
  auto* dst = static_cast<unsigned char*>(out);
  if (rows == 0 || cols == 0) return;
  if (h.fortran && n_rows > 1 && cols > 1)
    read_fortran_rows(src, h, rows, dst, scratch);
  else {
    // C order, or a layout that is the same in both orders
    src.read_at(h.data_offset, dst, static_cast<size_t>(rows * cols * item));
    to_native(dst, rows * cols, h.dtype);
  }
}

// The elements of a native-order unicode array concatenated, each without its
// trailing NUL padding (as NumPy turns them into str).
inline std::u32string join_unicode(const Header& h, const unsigned char* data) {
  const size_t width = h.dtype.itemsize / 4;
  std::u32string out;
  out.reserve(static_cast<size_t>(h.count * width));
  for (uint64_t i = 0; i < h.count; ++i) {
    const unsigned char* e = data + i * h.dtype.itemsize;
    size_t n = width;
    char32_t last = 0;
    while (n > 0 && (std::memcpy(&last, e + (n - 1) * 4, 4), last == 0)) --n;
    for (size_t k = 0; k < n; ++k) {
      char32_t c;
      std::memcpy(&c, e + k * 4, 4);
      if (c > 0x10FFFF) malformed("a string holds an invalid code point");
      out.push_back(c);
    }
  }
  return out;
}

// IEEE half precision to single, exactly.
inline float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
  uint32_t exp = (h >> 10) & 0x1F;
  uint32_t mant = h & 0x3FF;
  uint32_t bits;
  if (exp == 0x1F) {
    bits = sign | 0x7F800000u | (mant << 13);
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = sign;
  } else {
    exp = 113;
    while (!(mant & 0x400)) {
      mant <<= 1;
      --exp;
    }
    bits = sign | (exp << 23) | ((mant & 0x3FF) << 13);
  }
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

}  // namespace npy
}  // namespace common

namespace npy = common::npy;
