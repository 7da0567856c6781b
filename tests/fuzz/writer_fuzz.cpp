// Fuzz target for `print` and `println`: the bytes written must be exactly what
// printf("%ld ") and printf("%ld\n") give for a 32-bit long (checked against
// snprintf("%d") and parsed back), and output must leave in whole buffers as stdio's
// does, so the same bytes are out when a SIGFPE ends a program.
//
// Input layout: records of six bytes, each one write repeated:
//   byte 0, bits 0-1  print of an integer, println of an integer, print of a
//                     boolean, println of a boolean
//   byte 0, bits 2-4  the value class (see valueOf)
//   byte 1            repeat count - 1, low four bits
//   bytes 2-5         the raw 32-bit value, little-endian
#define _GNU_SOURCE 1
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench32/io.hpp"
#include "bench32/testing.hpp"

namespace {

// Maps the raw value into one of the classes where formatting goes wrong: the two
// ends of the range, small numbers, the neighbours of powers of ten (where the digit
// count changes), and negatives.
std::int32_t valueOf(unsigned valueClass, std::uint32_t raw) {
  static constexpr std::int64_t kPowers[] = {
      1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000, INT32_MAX};
  switch (valueClass) {
  case 1:
    return static_cast<std::int32_t>(INT32_MIN + (raw & 0xff));
  case 2:
    return static_cast<std::int32_t>(INT32_MAX - (raw & 0xff));
  case 3:
    return static_cast<std::int8_t>(raw & 0xff);
  case 4: {
    std::int64_t v = kPowers[raw % 11] + static_cast<std::int64_t>((raw >> 8) % 3) - 1;
    if (raw & 0x80000000u) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<std::int32_t>(v);
  }
  case 5:
    return static_cast<std::int32_t>(0u - raw);
  default:
    return static_cast<std::int32_t>(raw);
  }
}

[[noreturn]] void failWith(const char* what, std::size_t at) {
  std::fprintf(stderr, "writer mismatch: %s (byte %zu)\n", what, at);
  std::abort();
}

std::size_t fileSize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) std::abort();
  return static_cast<std::size_t>(st.st_size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("bench32-writer-fuzz", 0);
  if (fd < 0) std::abort();
  b32::testing::resetIo(-1, fd);

  std::string expected;
  for (std::size_t at = 0; at + 6 <= size; at += 6) {
    const unsigned op = data[at] & 3;
    const unsigned valueClass = (data[at] >> 2) & 7;
    const unsigned times = (data[at + 1] & 0x0f) + 1u;
    std::uint32_t raw;
    std::memcpy(&raw, data + at + 2, 4);
    std::int32_t value = valueOf(valueClass, raw);
    if (op >= 2) value = raw & 1; // a boolean is written as 1 or 0
    const bool newline = op == 1 || op == 3;

    char text[24];
    const int n = std::snprintf(text, sizeof text, newline ? "%d\n" : "%d ", value);
    for (unsigned i = 0; i < times; ++i) {
      expected.append(text, static_cast<std::size_t>(n));
      switch (op) {
      case 0:
        b32::print(b32::Int(value));
        break;
      case 1:
        b32::println(b32::Int(value));
        break;
      case 2:
        b32::print(b32::Bool(value != 0));
        break;
      default:
        b32::println(value != 0);
        break;
      }
    }
  }

  // Before the flush, only whole buffers are out: stdio sizes the buffer from
  // st_blksize (capped at BUFSIZ) and writes a full one when one more byte arrives.
  struct stat st;
  if (fstat(fd, &st) != 0) std::abort();
  const std::size_t buffer =
      st.st_blksize > 0 && st.st_blksize < 8192 ? static_cast<std::size_t>(st.st_blksize) : 8192;
  const std::size_t wantOut = expected.empty() ? 0 : (expected.size() - 1) / buffer * buffer;
  if (fileSize(fd) != wantOut) failWith("bytes out before the flush", fileSize(fd));

  b32::flushOutput();
  std::string got(fileSize(fd), '\0');
  if (pread(fd, got.data(), got.size(), 0) != static_cast<ssize_t>(got.size())) std::abort();
  close(fd);

  if (got.size() != expected.size()) failWith("output size", got.size());
  for (std::size_t i = 0; i < got.size(); ++i)
    if (got[i] != expected[i]) failWith("output byte", i);

  // Round trip: every token parses back, in full, to a 32-bit value with no "+"
  // and no leading zero.
  const char* p = got.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || v < INT32_MIN || v > INT32_MAX)
      failWith("token does not parse", static_cast<std::size_t>(p - got.c_str()));
    const char* digits = *p == '-' ? p + 1 : p;
    if (*p == '+' || (digits[0] == '0' && end - digits > 1) || (*p == '-' && v == 0))
      failWith("token not in shortest form", static_cast<std::size_t>(p - got.c_str()));
    if (*end != ' ' && *end != '\n') failWith("token not followed by one separator", 0);
    p = end + 1;
  }
  return 0;
}
