// One HTTP/1.1 request as the server reads it, and the reader over any byte source (a socket
// with a deadline, or bytes in memory for tests and the fuzzer).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "common/seeded_hash.h"

namespace chair::http {

// The limits every request is read under; beyond any of them the connection is closed
// without a reply.
inline constexpr size_t kMaxLineBytes = 8 * 1024;  // request line and each header line, LF included
inline constexpr size_t kMaxHeaders = 100;
inline constexpr size_t kMaxBodyBytes = 1024 * 1024;
inline constexpr std::chrono::seconds kRequestTimeout{30};  // for the whole request

// One header line: name and value trimmed, as sent.
struct Header {
  std::string name;
  std::string value;
  bool operator==(const Header&) const = default;
};

struct Request {
  std::string method;
  std::string path;                                                // the target up to its first "?", not decoded
  std::unordered_map<std::string, std::string, SeededHash> query;  // decoded; a later key wins
  std::string body;
  std::vector<std::string> hosts;  // every Host header's value, trimmed, in order
  // Every header line that has a ":", in order, Host and Content-Length included, so that a
  // hook before routing can look at whatever it needs. A flat list: a request has a handful,
  // and a search through them costs less than building any map.
  std::vector<Header> headers;

  // The query value, or nullptr when the key is absent.
  const std::string* param(const std::string& key) const {
    auto it = query.find(key);
    return it == query.end() ? nullptr : &it->second;
  }
  // The value of the last header of that name (ASCII case ignored), or nullptr.
  const std::string* header(std::string_view name) const;
};

// Where request bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `n` bytes into `buf`: the count, 0 at the end of the stream, or an error (also when
  // the source's deadline has passed).
  virtual Result<size_t> read_some(char* buf, size_t n) = 0;
};

// Bytes already in memory, handed out at most `chunk` at a time, so a test or the fuzzer can
// split a request wherever it likes. The bytes must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes, size_t chunk = SIZE_MAX) : bytes_(bytes), chunk_(chunk) {}
  Result<size_t> read_some(char* buf, size_t n) override;

 private:
  std::string_view bytes_;
  size_t chunk_;
};

// Reads and parses one request; nullopt means: close without a reply. Bytes after the body
// are left unread.
std::optional<Request> read_request(ByteSource& source);
// The same over bytes already in memory.
std::optional<Request> parse_request(std::string_view bytes);

// Query-string decoding: "+" is a space, %XX a byte, any other "%" stays; the result is read
// as UTF-8 with invalid sequences replaced by U+FFFD.
std::string url_decode(std::string_view bytes);

}  // namespace chair::http
