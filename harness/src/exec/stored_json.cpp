#include "exec/stored_json.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "exec/errors.hpp"

namespace bench32 {
namespace {

using nlohmann::json;

bool plainKey(std::string_view key) {
  if (key.empty() || (key[0] >= '0' && key[0] <= '9')) return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// The line and column of the byte the parser stopped at (its position counts the bytes
// read, so the last one read is the culprit).
std::pair<std::size_t, std::size_t> lineAndColumn(std::string_view text, std::size_t position) {
  const std::size_t at = std::min(position > 0 ? position - 1 : 0, text.size());
  const std::string_view before = text.substr(0, at);
  const std::size_t line = 1 + std::size_t(std::count(before.begin(), before.end(), '\n'));
  const std::size_t lineStart = before.rfind('\n');
  const std::size_t column = lineStart == std::string_view::npos ? at + 1 : at - lineStart;
  return {line, column};
}

// Builds the document from the parser's events, so that depth and duplicate keys are
// checked before anything below them is built. The parser itself keeps its own state in a
// list, not on the stack, so a 100,000-deep text costs nothing before it is refused.
class Builder {
public:
  explicit Builder(std::string_view text) : text_(text) {}

  json root;
  std::string error; // one line, without the name of what was read

  bool null() { return place(json(nullptr)); }
  bool boolean(bool value) { return place(json(value)); }
  bool number_integer(json::number_integer_t value) { return place(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return place(json(value)); }
  bool number_float(json::number_float_t value, const json::string_t&) {
    return place(json(value));
  }
  bool string(json::string_t& value) { return place(json(std::move(value))); }
  bool binary(json::binary_t&) {
    error = "binary data where JSON text was expected";
    return false;
  }
  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(json::string_t& key) {
    Frame& top = stack_.back();
    if (top.value->contains(key)) {
      error = fmt::format("duplicate key \"{}\"{}", oneLine(key, 60), atPath(stack_.size() - 1));
      return false;
    }
    top.key = std::move(key);
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    const auto [line, column] = lineAndColumn(text_, position);
    // The parser refuses numbers beyond a double (1e400) as out of range.
    const bool range = dynamic_cast<const json::out_of_range*>(&e) != nullptr;
    error = fmt::format("{} at line {}, column {}",
                        range ? "number out of range" : "not valid JSON", line, column);
    return false;
  }

private:
  struct Frame {
    json* value;
    std::string key; // of the member being read, in an object
  };

  // Places a value where the parser is: the root, the next element of an array, or the
  // member whose key was just read.
  json* put(json value) {
    if (stack_.empty()) {
      root = std::move(value);
      return &root;
    }
    Frame& top = stack_.back();
    if (top.value->is_array()) {
      top.value->push_back(std::move(value));
      return &top.value->back();
    }
    return &((*top.value)[top.key] = std::move(value));
  }
  bool place(json value) {
    put(std::move(value));
    return true;
  }
  bool open(json container) {
    json* placed = put(std::move(container));
    if (stack_.size() >= storedJsonMaxDepth) {
      error = fmt::format("too deeply nested (over {} levels){}", storedJsonMaxDepth,
                          atPath(stack_.size()));
      return false;
    }
    stack_.push_back({placed, {}});
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  // " at results[3].layouts[1]": the members and elements being read in the first
  // `frames` open containers, cut short when long.
  std::string atPath(std::size_t frames) const {
    std::string path;
    for (std::size_t i = 0; i < frames && path.size() < 120; ++i) {
      const Frame& f = stack_[i];
      path = f.value->is_array() ? indexPath(path, f.value->empty() ? 0 : f.value->size() - 1)
                                 : keyPath(path, f.key);
    }
    if (path.empty()) return {};
    if (path.size() >= 120 && frames > 0) path += "...";
    return " at " + path;
  }

  std::string_view text_;
  std::vector<Frame> stack_;
};

std::string shownValue(const json& value) {
  return oneLine(value.dump(-1, ' ', false, json::error_handler_t::replace), 40);
}

} // namespace

json parseStoredJson(std::string_view text, std::string_view what) {
  Builder builder(text);
  bool ok = false;
  try {
    ok = json::sax_parse(text.data(), text.data() + text.size(), &builder);
  } catch (const json::exception&) {
    // The parser reports through parse_error; anything it throws besides is still bad input.
    if (builder.error.empty()) builder.error = "not valid JSON";
  }
  if (!ok) {
    if (builder.error.empty()) builder.error = "not valid JSON";
    throw BadInput(fmt::format("{}: {}", what, builder.error));
  }
  return std::move(builder.root);
}

std::string readStoredFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                           bool regularOnly) {
  // Not blocking on a FIFO that nobody writes: the flag is dropped once it is open.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | (regularOnly ? O_NONBLOCK : 0));
  if (fd < 0)
    throw BadInput(fmt::format("{}: cannot open: {}", oneLine(file.string()), strerror(errno)));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    throw BadInput(fmt::format("{}: cannot read: {}", oneLine(file.string()), strerror(errno)));
  if (regularOnly && !S_ISREG(info.st_mode))
    throw BadInput(fmt::format("{}: not a regular file", oneLine(file.string())));
  const auto tooLarge = [&] {
    return BadInput(fmt::format("{}: larger than {} bytes", oneLine(file.string()), maxBytes));
  };
  if (S_ISREG(info.st_mode) && std::uint64_t(info.st_size) > maxBytes) throw tooLarge();
  if (regularOnly) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string text;
  if (S_ISREG(info.st_mode)) text.reserve(std::size_t(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      throw BadInput(fmt::format("{}: cannot read: {}", oneLine(file.string()), strerror(errno)));
    if (n == 0) break;
    // A file that grows while it is read, or one with no size (a pipe, a device).
    if (std::uint64_t(n) > maxBytes - text.size()) throw tooLarge();
    text.append(buffer, std::size_t(n));
  }
  return text;
}

std::string oneLine(std::string_view text, std::size_t max) {
  std::string line;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::string piece;
    std::size_t length = 1;
    if (c == '\n')
      piece = "\\n";
    else if (c == '\r')
      piece = "\\r";
    else if (c == '\t')
      piece = "\\t";
    else if (c < 0x20 || c == 0x7f)
      piece = fmt::format("\\x{:02x}", c);
    else if (c < 0x80)
      piece = char(c);
    else {
      // A whole, shortest-form UTF-8 sequence passes; anything else is shown byte by byte.
      length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
      if (c > 0xf4 || length == 0 || i + length > text.size()) length = 0;
      std::uint32_t code = length == 2 ? c & 0x1f : length == 3 ? c & 0x0f : c & 0x07;
      for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) {
          length = 0;
          break;
        }
        code = code << 6 | (next & 0x3f);
      }
      const bool valid = length != 0 &&
                         !(length == 3 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) &&
                         !(length == 4 && (code < 0x10000 || code > 0x10ffff));
      if (!valid) {
        length = 1;
        piece = fmt::format("\\x{:02x}", c);
      } else if (code < 0xa0 || code == 0x2028 || code == 0x2029) {
        // C1 controls (a terminal may take U+009B as an escape) and the line separators.
        piece = fmt::format("\\u{:04x}", code);
      } else {
        piece = std::string(text.substr(i, length));
      }
    }
    if (line.size() + piece.size() > max) {
      line += "...";
      return line;
    }
    line += piece;
    i += length;
  }
  return line;
}

std::int64_t integerAt(const json& value, std::string_view path, std::int64_t lo, std::int64_t hi) {
  bool inRange = false;
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    inRange = hi >= 0 && v <= static_cast<std::uint64_t>(hi) &&
              (lo <= 0 || v >= static_cast<std::uint64_t>(lo));
  } else if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    inRange = v >= lo && v <= hi;
  }
  if (!inRange)
    throw BadInput(fmt::format("{} must be an integer from {} to {}, not {}", path, lo, hi,
                               shownValue(value)));
  return value.is_number_unsigned() ? static_cast<std::int64_t>(value.get<std::uint64_t>())
                                    : value.get<std::int64_t>();
}

std::uint64_t unsignedAt(const json& value, std::string_view path, std::uint64_t lo,
                         std::uint64_t hi) {
  bool inRange = false;
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    inRange = v >= lo && v <= hi;
  } else if (value.is_number_integer()) {
    // A document built in memory holds non-negative integers as signed ones.
    const auto v = value.get<std::int64_t>();
    inRange = v >= 0 && static_cast<std::uint64_t>(v) >= lo && static_cast<std::uint64_t>(v) <= hi;
  }
  if (!inRange)
    throw BadInput(fmt::format("{} must be an integer from {} to {}, not {}", path, lo, hi,
                               shownValue(value)));
  return value.is_number_unsigned() ? value.get<std::uint64_t>()
                                    : static_cast<std::uint64_t>(value.get<std::int64_t>());
}

double numberAt(const json& value, std::string_view path, double lo, double hi) {
  if (value.is_number()) {
    // Every integer converts to a double (rounded at worst), so this check comes first
    // without any undefined conversion.
    const double v = value.get<double>();
    if (std::isfinite(v) && v >= lo && v <= hi) return v;
  }
  throw BadInput(
      fmt::format("{} must be a number from {} to {}, not {}", path, lo, hi, shownValue(value)));
}

const std::string& stringAt(const json& value, std::string_view path) {
  if (!value.is_string())
    throw BadInput(fmt::format("{} must be a string, not {}", path, shownValue(value)));
  return value.get_ref<const std::string&>();
}

std::string keyPath(std::string_view path, std::string_view key) {
  if (plainKey(key)) return path.empty() ? std::string(key) : fmt::format("{}.{}", path, key);
  return fmt::format("{}[\"{}\"]", path, oneLine(key, 40));
}

std::string indexPath(std::string_view path, std::size_t index) {
  return fmt::format("{}[{}]", path, index);
}

} // namespace bench32
