// Fuzz target for `read` and `inputExhausted`: every value read and every answer
// about the end of input must match a reference model of scanf("%ld") into a 32-bit
// long, written here independently of the runtime's reader.
//
// Input layout: one header byte, then the text given to the reader.
//   header & 0x3f  size of the pieces the text arrives in (0: all at once), so that
//                  numbers, signs and blank runs straddle the reader's refills
//   header & 0x40  ask `inputExhausted` after every read, as programs that read to
//                  an end marker do
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "bench32/io.hpp"
#include "bench32/testing.hpp"

namespace {

// scanf("%ld") on a 32-bit long, straight from its rules: skip the six C blanks,
// take an optional sign (consumed even when no digit follows), then a run of digits;
// a value out of range saturates; a failed read stores nothing and leaves the
// offending character unread; the end of the input is final.
struct Model {
  std::string_view text;
  std::size_t pos = 0;
  std::int32_t scratch = 0;
  bool lastFailed = false;

  static bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  // The value of a sign and digit string, saturated, by comparing digit strings
  // rather than by arithmetic.
  static std::int32_t saturate(bool negative, std::string_view digits) {
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    const std::string_view limit = negative ? "2147483648" : "2147483647";
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit))
      return negative ? INT32_MIN : INT32_MAX;
    if (negative && digits == limit) return INT32_MIN;
    std::int32_t v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    return negative ? -v : v;
  }

  std::int32_t read() {
    while (pos < text.size() && blank(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
    const std::size_t start = pos;
    while (pos < text.size() && digit(text[pos])) ++pos;
    lastFailed = pos == start;
    if (!lastFailed) scratch = saturate(negative, text.substr(start, pos - start));
    return scratch;
  }

  // True when the last read failed and no later read can succeed: replay reads on a
  // copy until one succeeds, or one fails without consuming anything.
  bool exhausted() const {
    if (!lastFailed) return false;
    Model future = *this;
    for (;;) {
      const std::size_t before = future.pos;
      future.read();
      if (!future.lastFailed) return false;
      if (future.pos == before) return true;
    }
  }

  // Every remaining read would yield the scratch again (end or a stuck character).
  bool settled() const {
    Model future = *this;
    future.read();
    return future.lastFailed && future.exhausted();
  }
};

[[noreturn]] void mismatch(std::string_view text, std::size_t step, const char* what, long got,
                           long want) {
  std::fprintf(stderr,
               "reader mismatch at read %zu (%s): runtime %ld, model %ld; input %zu bytes:", step,
               what, got, want, text.size());
  for (unsigned char c : text) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

// Sends `text` in pieces of `piece` bytes (0: one piece) as separate messages, so
// that each of the reader's system reads returns at most one piece.
void sendPieces(int fd, std::string_view text, std::size_t piece) {
  if (piece == 0) piece = text.size();
  for (std::size_t at = 0; at < text.size(); at += piece) {
    const std::string_view part = text.substr(at, piece);
    if (::send(fd, part.data(), part.size(), MSG_NOSIGNAL) < 0) break; // reader stopped
  }
  ::close(fd);
}

int devNull() {
  static const int fd = [] {
    FILE* f = std::fopen("/dev/null", "w");
    return f ? fileno(f) : -1;
  }();
  return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t header = data[0];
  // Kept well below the reader's first buffer, which is never smaller than 64 KiB: a
  // message larger than the space a system read offers would be cut short.
  const std::string_view text(reinterpret_cast<const char*>(data + 1),
                              std::min<std::size_t>(size - 1, 16 * 1024));
  const std::size_t piece = header & 0x3f;
  const bool askExhausted = (header & 0x40) != 0;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) std::abort();
  // Few pieces fit the socket's buffer at once; more need a writer running alongside.
  std::thread writer;
  if (piece == 0 || text.size() / piece < 64)
    sendPieces(fds[1], text, piece);
  else
    writer = std::thread(sendPieces, fds[1], text, piece);
  b32::testing::resetIo(fds[0], devNull());

  Model model{text};
  // Each read that does not settle the input consumes at least one byte, so this
  // bound is never what ends a correct run.
  const std::size_t maxReads = text.size() + 3;
  std::size_t extra = 0;
  for (std::size_t step = 0; step < maxReads; ++step) {
    const std::int32_t want = model.read();
    const std::int32_t got = b32::read();
    if (got != want) mismatch(text, step, "value", got, want);
    if (askExhausted) {
      const bool wantEnd = model.exhausted();
      const bool gotEnd = b32::inputExhausted();
      if (gotEnd != wantEnd) mismatch(text, step, "exhausted", gotEnd, wantEnd);
    }
    // Once settled, two more reads must keep yielding the same value.
    if (model.settled() && ++extra > 2) break;
  }

  ::close(fds[0]); // a writer still sending gets an error and stops
  if (writer.joinable()) writer.join();
  return 0;
}
