#include "gguf.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unordered_set>

#include "dequant.hpp"

namespace velmora::core {

namespace {

constexpr std::uint32_t kMagic = 0x46554747;  // "GGUF" read little-endian
constexpr int kMaxArrayDepth = 32;
constexpr std::uint64_t kMaxDims = 64;

// Value types of key/value entries.
enum : std::uint32_t {
  kU8 = 0,
  kI8 = 1,
  kU16 = 2,
  kI16 = 3,
  kU32 = 4,
  kI32 = 5,
  kF32 = 6,
  kBool = 7,
  kString = 8,
  kArray = 9,
  kU64 = 10,
  kI64 = 11,
  kF64 = 12,
};

std::uint64_t scalar_size(std::uint32_t type) {
  switch (type) {
    case kU8:
    case kI8:
    case kBool: return 1;
    case kU16:
    case kI16: return 2;
    case kU32:
    case kI32:
    case kF32: return 4;
    case kU64:
    case kI64:
    case kF64: return 8;
    default: return 0;
  }
}

// Strict UTF-8 (no overlong forms, surrogates or code points past U+10FFFF), as Python's
// decoder requires.
bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned c = *p++;
    if (c < 0x80) continue;
    int more;
    unsigned lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
      more = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      more = 2;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      more = 3;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (end - p < more) return false;
    if (*p < lo || *p > hi) return false;
    ++p;
    for (int i = 1; i < more; ++i, ++p) {
      if (*p < 0x80 || *p > 0xbf) return false;
    }
  }
  return true;
}

class Cursor {
 public:
  Cursor(std::span<const std::uint8_t> file, bool swapped) : file_(file), swapped_(swapped) {}

  std::uint64_t pos() const noexcept { return pos_; }
  std::uint64_t left() const noexcept { return file_.size() - pos_; }

  void need(std::uint64_t n, const char* what) const {
    if (n > left()) {
      throw GgufError("truncated: " + std::string(what) + " at offset " + std::to_string(pos_) +
                      " needs " + std::to_string(n) + " bytes, " + std::to_string(left()) +
                      " left");
    }
  }
  void skip(std::uint64_t n, const char* what) {
    need(n, what);
    pos_ += n;
  }
  std::uint32_t u32(const char* what) { return read<std::uint32_t>(what); }
  std::uint64_t u64(const char* what) { return read<std::uint64_t>(what); }
  std::string_view str(const char* what) {
    const std::uint64_t n = u64(what);
    need(n, what);
    std::string_view s(reinterpret_cast<const char*>(file_.data() + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  template <class T>
  T read(const char* what) {
    need(sizeof(T), what);
    T v;
    std::memcpy(&v, file_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    if (!swapped_) return v;
    if constexpr (sizeof(T) == 4) {
      return __builtin_bswap32(v);
    } else {
      return __builtin_bswap64(v);
    }
  }

  std::span<const std::uint8_t> file_;
  bool swapped_;
  std::uint64_t pos_ = 0;
};

std::string quoted(std::string_view s) {
  // Names in messages: printable ASCII kept, anything else escaped; long ones cut.
  std::string out = "'";
  for (std::size_t i = 0; i < s.size() && i < 200; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
      out += static_cast<char>(c);
    } else {
      static const char* hex = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (s.size() > 200) out += "...";
  return out + "'";
}

// Skips one value of the given type; arrays nest up to kMaxArrayDepth.
void skip_value(Cursor& c, std::uint32_t type, int depth, const std::string& key) {
  if (const std::uint64_t size = scalar_size(type)) {
    c.skip(size, "value");
    return;
  }
  if (type == kString) {
    c.str("string value");
    return;
  }
  if (type != kArray) {
    throw GgufError("key " + quoted(key) + " has unknown value type " + std::to_string(type));
  }
  if (depth >= kMaxArrayDepth) {
    throw GgufError("key " + quoted(key) + " nests arrays deeper than " +
                    std::to_string(kMaxArrayDepth));
  }
  const std::uint32_t item = c.u32("array item type");
  const std::uint64_t count = c.u64("array length");
  if (count == 0) return;
  if (const std::uint64_t size = scalar_size(item)) {
    if (count > c.left() / size) {
      throw GgufError("key " + quoted(key) + " declares " + std::to_string(count) +
                      " array items but only " + std::to_string(c.left()) + " bytes remain");
    }
    c.skip(count * size, "array");
    return;
  }
  // Every string takes at least its 8-byte length, every nested array 12 bytes.
  const std::uint64_t least = item == kString ? 8 : 12;
  if ((item == kString || item == kArray) && count > c.left() / least) {
    throw GgufError("key " + quoted(key) + " declares " + std::to_string(count) +
                    " array items but only " + std::to_string(c.left()) + " bytes remain");
  }
  for (std::uint64_t i = 0; i < count; ++i) skip_value(c, item, depth + 1, key);
}

// The byte order, from the version field: a version written for the opposite order has its
// low half zero.
bool swapped_order(std::span<const std::uint8_t> file) {
  if (file.size() < 8) throw GgufError("too short for a GGUF header");
  std::uint32_t magic;
  std::memcpy(&magic, file.data(), 4);
  if (magic != kMagic) throw GgufError("bad magic (not a GGUF file)");
  std::uint32_t version;
  std::memcpy(&version, file.data() + 4, 4);
  return (version & 0xffffu) == 0;
}

// The fixed header: magic, version, tensor and key/value counts. Leaves `c` at the first
// key; returns the tensor count.
std::uint64_t read_header(Cursor& c, GgufLayout& out) {
  c.skip(4, "magic");
  const std::uint32_t version = c.u32("version");
  if (version != 2 && version != 3) {
    throw GgufError("unsupported version " + std::to_string(version));
  }
  out.version = version;
  const std::uint64_t n_tensors = c.u64("tensor count");
  out.kv_count = c.u64("key/value count");
  return n_tensors;
}

// Walks the key/value entries: keys unique and valid UTF-8, general.alignment taken,
// everything else skipped.
void read_key_values(Cursor& c, GgufLayout& out) {
  // A reader keeps these three header fields under reserved names next to the keys.
  std::unordered_set<std::string_view> keys{"GGUF.version", "GGUF.tensor_count", "GGUF.kv_count"};
  for (std::uint64_t i = 0; i < out.kv_count; ++i) {
    const std::string_view key = c.str("key");
    if (!valid_utf8(key)) throw GgufError("key " + quoted(key) + " is not valid UTF-8");
    if (!keys.insert(key).second) throw GgufError("duplicate key " + quoted(key));
    const std::uint32_t type = c.u32("value type");
    if (key == "general.alignment") {
      if (type != kU32) throw GgufError("general.alignment is not a uint32");
      out.alignment = c.u32("alignment");
      if (out.alignment == 0 || (out.alignment & (out.alignment - 1)) != 0) {
        throw GgufError("alignment " + std::to_string(out.alignment) + " is not a power of two");
      }
      continue;
    }
    skip_value(c, type, 0, std::string(key));
  }
}

// The dimensions of one tensor info, with its element count.
void read_dims(Cursor& c, GgufTensorInfo& t) {
  const std::uint32_t n_dims = c.u32("dimension count");
  if (n_dims > kMaxDims) {
    throw GgufError("tensor " + quoted(t.name) + " has " + std::to_string(n_dims) + " dimensions");
  }
  c.need(std::uint64_t{8} * n_dims, "tensor dimensions");
  t.dims.resize(n_dims);
  t.n_elements = 1;
  for (std::uint32_t k = 0; k < n_dims; ++k) {
    t.dims[k] = c.u64("dimension");
    if (t.dims[k] > static_cast<std::uint64_t>(INT64_MAX)) {
      throw GgufError("tensor " + quoted(t.name) + " has a dimension of " +
                      std::to_string(t.dims[k]));
    }
    if (__builtin_mul_overflow(t.n_elements, t.dims[k], &t.n_elements)) {
      throw GgufError("tensor " + quoted(t.name) + " has more elements than 2**64");
    }
  }
}

// One tensor info: name, dimensions, type and offset, with its byte size from the type's
// block geometry. `names` holds the names seen so far.
GgufTensorInfo read_tensor_info(Cursor& c, std::span<const GgufTypeSize> types,
                                std::unordered_set<std::string_view>& names) {
  GgufTensorInfo t;
  t.name = c.str("tensor name");
  if (!valid_utf8(t.name)) throw GgufError("tensor name " + quoted(t.name) + " is not valid UTF-8");
  if (!names.insert(t.name).second) throw GgufError("duplicate tensor " + quoted(t.name));
  read_dims(c, t);
  t.type = c.u32("tensor type");
  t.offset = c.u64("tensor offset");
  const GgufTypeSize size = t.type < types.size() ? types[t.type] : GgufTypeSize{};
  if (size.block == 0) {
    throw GgufError("tensor " + quoted(t.name) + " has unknown type " + std::to_string(t.type));
  }
  if (!is_element_type(t.type)) {
    // Block data: rows (the first dimension) hold whole blocks.
    if (t.dims.empty() || t.dims[0] % size.block != 0) {
      throw GgufError("tensor " + quoted(t.name) + " rows of " +
                      (t.dims.empty() ? std::string("a scalar") : std::to_string(t.dims[0])) +
                      " elements are not whole blocks of " + std::to_string(size.block));
    }
  }
  if (__builtin_mul_overflow(t.n_elements / size.block, std::uint64_t{size.bytes}, &t.n_bytes)) {
    throw GgufError("tensor " + quoted(t.name) + " has more than 2**64 bytes");
  }
  return t;
}

void read_tensor_infos(Cursor& c, std::span<const GgufTypeSize> types, std::uint64_t n_tensors,
                       GgufLayout& out) {
  // Each tensor info takes at least 24 bytes: reserve only for what can be present.
  out.tensors.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n_tensors, c.left() / 24)));
  std::unordered_set<std::string_view> names;
  for (std::uint64_t i = 0; i < n_tensors; ++i) {
    out.tensors.push_back(read_tensor_info(c, types, names));
  }
}

// The data section starts at the next aligned offset; every tensor's bytes must lie in it.
void check_data_section(std::span<const std::uint8_t> file, std::uint64_t end_of_infos,
                        GgufLayout& out) {
  std::uint64_t offset = end_of_infos;
  if (offset % out.alignment != 0) offset += out.alignment - offset % out.alignment;
  out.data_offset = offset;
  const std::uint64_t data_size = file.size() > offset ? file.size() - offset : 0;
  for (const GgufTensorInfo& t : out.tensors) {
    if (t.offset > data_size || t.n_bytes > data_size - t.offset) {
      throw GgufError("tensor " + quoted(t.name) + " data (" + std::to_string(t.n_bytes) +
                      " bytes at offset " + std::to_string(t.offset) +
                      ") lies outside the data section of " + std::to_string(data_size) + " bytes");
    }
  }
}

}  // namespace

GgufLayout parse_gguf(std::span<const std::uint8_t> file, std::span<const GgufTypeSize> types) {
  GgufLayout out;
  out.swapped = swapped_order(file);
  Cursor c(file, out.swapped);
  const std::uint64_t n_tensors = read_header(c, out);
  read_key_values(c, out);
  read_tensor_infos(c, types, n_tensors, out);
  check_data_section(file, c.pos(), out);
  return out;
}

std::span<const GgufTypeSize> builtin_gguf_types() {
  static const std::vector<GgufTypeSize> table = [] {
    std::vector<GgufTypeSize> v(64);
    for (std::uint32_t id = 0; id < v.size(); ++id) {
      if (const GgmlType* t = ggml_type(id)) v[id] = {t->block, t->bytes};
    }
    return v;
  }();
  return table;
}

MappedFile::MappedFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw GgufOsError(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw GgufOsError(err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw GgufOsError(EISDIR);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw GgufError("not a regular file");
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ > 0) {
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      throw GgufOsError(err);
    }
    data_ = static_cast<const std::uint8_t*>(p);
  }
  ::close(fd);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace velmora::core
