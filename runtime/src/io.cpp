#include "bench32/io.hpp"

#include "bench32/entry.hpp"
#include "bench32/testing.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace b32 {
namespace {

// ---------------------------------------------------------------------------
// Output
//
// glibc sizes stdout's buffer at the first write: st_blksize when it is positive and
// below BUFSIZ (8192), else BUFSIZ; a terminal makes the stream line-buffered. A
// full buffer is written only when one more byte arrives, so bytes reach the file
// in whole buffers and, after N bytes and a SIGFPE, exactly
// size·floor((N − 1) / size) of them are out. This writer keeps the same rules.

constexpr std::size_t kGlibcBufsiz = 8192;

struct Output {
  int fd = 1;
  char data[kGlibcBufsiz];
  std::size_t size = 0; // 0 until the first write sets the stream up
  std::size_t used = 0;
  bool lineBuffered = false;
};
Output out;

void writeAll(const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(out.fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return; // like stdio: a failed write drops the data and the program goes on
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

[[gnu::noinline]] void setUpOutput() {
  out.size = kGlibcBufsiz;
  struct stat st;
  if (fstat(out.fd, &st) == 0) {
    if (S_ISCHR(st.st_mode) && isatty(out.fd)) out.lineBuffered = true;
    if (st.st_blksize > 0 && static_cast<std::size_t>(st.st_blksize) < kGlibcBufsiz)
      out.size = static_cast<std::size_t>(st.st_blksize);
  }
}

void writeBuffer() {
  writeAll(out.data, out.used);
  out.used = 0;
}

// Appends a chunk of at most 12 bytes; the buffer is written only once it is full
// and more bytes are waiting.
B32_INLINE void append(const char* s, std::size_t n) {
  if (out.size - out.used >= n) [[likely]] {
    std::memcpy(out.data + out.used, s, n);
    out.used += n;
    return;
  }
  if (out.size == 0) setUpOutput();
  std::size_t fits = out.size - out.used;
  if (fits > n) fits = n;
  std::memcpy(out.data + out.used, s, fits);
  out.used += fits;
  if (fits == n) return;
  writeBuffer();
  std::memcpy(out.data, s + fits, n - fits);
  out.used = n - fits;
}

// Writes the decimal form of v so that it ends just before `end`; returns its start.
// Two digits per division, from a table, as the division is the costly part.
B32_INLINE char* formatDecimal(char* end, std::int32_t v) {
  static constexpr char kPairs[] = "00010203040506070809"
                                   "10111213141516171819"
                                   "20212223242526272829"
                                   "30313233343536373839"
                                   "40414243444546474849"
                                   "50515253545556575859"
                                   "60616263646566676869"
                                   "70717273747576777879"
                                   "80818283848586878889"
                                   "90919293949596979899";
  // Magnitude in unsigned arithmetic: -INT32_MIN does not fit in int32_t.
  std::uint32_t u = v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);
  char* p = end;
  while (u >= 100) {
    const std::uint32_t pair = (u % 100) * 2;
    u /= 100;
    *--p = kPairs[pair + 1];
    *--p = kPairs[pair];
  }
  if (u >= 10) {
    *--p = kPairs[u * 2 + 1];
    *--p = kPairs[u * 2];
  } else {
    *--p = static_cast<char>('0' + u);
  }
  if (v < 0) *--p = '-';
  return p;
}

// ---------------------------------------------------------------------------
// Input

constexpr std::size_t kInputChunk = 64 * 1024;

struct Input {
  int fd = 0;
  unsigned char* data = nullptr; // [pos, len) is read but not yet consumed
  std::size_t capacity = 0;
  std::size_t pos = 0;
  std::size_t len = 0;
  bool ended = false;      // end of input (or a read error) is final, as in glibc
  bool lastFailed = false; // the most recent read stored nothing
  bool flushOutputFirst = false;
  bool setUp = false;
};
Input in;
std::int32_t readScratch = 0;

bool isBlank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(int c) { return c >= '0' && c <= '9'; }

// Makes room for `bytes` of input; malloc rather than a container, so that programs
// need nothing from the C++ library at run time.
void reserveInput(std::size_t bytes) {
  void* grown = std::realloc(in.data, bytes);
  if (grown == nullptr) fail("out of memory for input");
  in.data = static_cast<unsigned char*>(grown);
  in.capacity = bytes;
}

void setUpInput() {
  reserveInput(kInputChunk);
  // glibc flushes a line-buffered stdout before it reads a terminal, so a prompt
  // or a board is on screen before the program waits for the reply.
  in.flushOutputFirst = isatty(in.fd) != 0;
  in.setUp = true;
}

// Reads more input after [pos, len), keeping what is not consumed yet. Returns false
// at end of input. Asks the system once: a terminal or pipe yields what it has.
[[gnu::noinline]] bool fill() {
  if (in.ended) return false;
  if (!in.setUp) setUpInput();
  if (in.pos > 0) {
    std::memmove(in.data, in.data + in.pos, in.len - in.pos);
    in.len -= in.pos;
    in.pos = 0;
  }
  if (in.len == in.capacity) reserveInput(in.capacity * 2); // look-ahead only
  if (in.flushOutputFirst) {
    if (out.size == 0) setUpOutput();
    if (out.lineBuffered && out.used > 0) writeBuffer();
  }
  for (;;) {
    ssize_t r = ::read(in.fd, in.data + in.len, in.capacity - in.len);
    if (r > 0) {
      in.len += static_cast<std::size_t>(r);
      return true;
    }
    if (r < 0 && errno == EINTR) continue;
    in.ended = true;
    return false;
  }
}

// The character at `ahead` places past the next unconsumed one, or -1 at the end.
B32_INLINE int peek(std::size_t ahead = 0) {
  while (in.pos + ahead >= in.len)
    if (!fill()) return -1;
  return in.data[in.pos + ahead];
}

int skipBlanks() {
  int c = peek();
  while (isBlank(c)) {
    ++in.pos;
    c = peek();
  }
  return c;
}

} // namespace

// ---------------------------------------------------------------------------

void print(Int value) {
  char text[16];
  text[15] = ' ';
  char* start = formatDecimal(text + 15, value);
  append(start, static_cast<std::size_t>(text + 16 - start));
}

void println(Int value) {
  char text[16];
  text[15] = '\n';
  char* start = formatDecimal(text + 15, value);
  if (out.size == 0) setUpOutput();
  if (!out.lineBuffered) {
    append(start, static_cast<std::size_t>(text + 16 - start));
    return;
  }
  // Line-buffered: the digits, then the newline, which writes the buffer out. glibc
  // quirk kept: a newline that finds the buffer exactly full writes the full buffer
  // and is itself left in the buffer.
  append(start, static_cast<std::size_t>(text + 15 - start));
  if (out.used == out.size) {
    writeBuffer();
    append("\n", 1);
  } else {
    append("\n", 1);
    writeBuffer();
  }
}

Int read() {
  int c = skipBlanks();
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    ++in.pos; // consumed even if no digit follows
    c = peek();
  }
  if (!isDigit(c)) {
    in.lastFailed = true;
    return readScratch;
  }
  // Accumulate the magnitude; past 2^31 the value saturates, so stop growing it
  // (but keep consuming digits).
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 31;
  std::uint64_t magnitude = 0;
  do {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    ++in.pos;
    c = peek();
  } while (isDigit(c));
  if (negative)
    readScratch = magnitude >= kLimit ? INT32_MIN : -static_cast<std::int32_t>(magnitude);
  else
    readScratch = magnitude >= kLimit ? INT32_MAX : static_cast<std::int32_t>(magnitude);
  in.lastFailed = false;
  return readScratch;
}

bool inputExhausted() {
  if (!in.lastFailed) return false;
  // Blanks are skipped by any later read anyway, so consume them for real.
  int c = skipBlanks();
  // Past a sign, look ahead without consuming: each later read would take one sign
  // and fail at the next character, so walk the signs and blanks the same way.
  std::size_t ahead = 0;
  for (;;) {
    if (isDigit(c)) return false;
    if (c != '+' && c != '-') return true; // end of input, or a character never consumed
    c = peek(++ahead);
    if (isDigit(c)) return false;
    while (isBlank(c)) c = peek(++ahead);
  }
}

namespace testing {
void resetIo(int inputFd, int outputFd) {
  flushOutput();
  out = Output{};
  out.fd = outputFd;
  std::free(in.data);
  in = Input{};
  in.fd = inputFd;
  readScratch = 0;
}
} // namespace testing

void flushOutput() {
  if (out.used > 0) writeBuffer();
}

} // namespace b32
