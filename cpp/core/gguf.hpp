// A GGUF file parsed natively and cheaply: header, key/value entries walked (never
// materialized), tensor infos, and the data section, with every count, length, offset and
// extent checked against the bytes actually present before it is used. Nothing is
// allocated in proportion to a declared size: only to entries actually present.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace velmora::core {

// A malformed file; what() says what is wrong (the caller adds the file's name).
class GgufError : public Error {
 public:
  explicit GgufError(const std::string& what) : Error(ErrorKind::Value, what) {}
};

// The operating system refused to open or map the file; errno_value is the errno.
class GgufOsError : public std::exception {
 public:
  explicit GgufOsError(int errno_value) : errno_value_(errno_value) {}
  int errno_value() const noexcept { return errno_value_; }
  const char* what() const noexcept override { return "cannot open file"; }

 private:
  int errno_value_;
};

struct GgufTensorInfo {
  std::string_view name;            // UTF-8, checked
  std::vector<std::uint64_t> dims;  // as stored: fastest-varying first
  std::uint32_t type = 0;
  std::uint64_t offset = 0;  // from the start of the data section
  std::uint64_t n_elements = 0;
  std::uint64_t n_bytes = 0;
};

// Block geometry per type id, as the caller knows it (elements, bytes per block; a zero
// block size marks an unknown id).
struct GgufTypeSize {
  std::uint32_t block = 0;
  std::uint32_t bytes = 0;
};

struct GgufLayout {
  std::uint32_t version = 0;
  bool swapped = false;  // written for the opposite byte order
  std::uint64_t alignment = 32;
  std::uint64_t data_offset = 0;
  std::uint64_t kv_count = 0;
  std::vector<GgufTensorInfo> tensors;  // in file order
};

// Parses and validates the file's bytes. `types` is indexed by type id. Throws GgufError.
GgufLayout parse_gguf(std::span<const std::uint8_t> file, std::span<const GgufTypeSize> types);

// The block geometry of every ggml type this build knows, indexed by id.
std::span<const GgufTypeSize> builtin_gguf_types();

// A read-only memory map of a regular file (nothing mapped for an empty one). Opening never
// blocks on a FIFO or a device: those, and directories, are refused.
class MappedFile {
 public:
  // Throws GgufOsError when the file cannot be opened or mapped, GgufError when it is not
  // a regular file.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmora::core
