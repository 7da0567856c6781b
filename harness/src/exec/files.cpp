#include "exec/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "exec/errors.hpp"

namespace bench32 {

std::string readFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw BadInput(fmt::format("{}: cannot open: {}", file.string(), strerror(errno)));
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw BadInput(fmt::format("{}: cannot read: {}", file.string(), strerror(error)));
    }
    if (n == 0) break;
    text.append(buffer, std::size_t(n));
  }
  ::close(fd);
  return text;
}

namespace {

[[noreturn]] void cannotWrite(const std::filesystem::path& file, int error) {
  throw WriteError(fmt::format("{}: cannot write: {}", file.string(), strerror(error)));
}

} // namespace

void writeFile(const std::filesystem::path& file, const std::string& text) {
  const std::string temporary = file.string() + ".partial";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) cannotWrite(file, errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temporary.c_str());
      cannotWrite(file, error);
    }
    done += std::size_t(n);
  }
  if (::close(fd) != 0 || ::rename(temporary.c_str(), file.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    cannotWrite(file, error);
  }
}

void checkWritable(const std::filesystem::path& file) {
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) cannotWrite(file, EISDIR);
  const std::string temporary = file.string() + ".partial";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) cannotWrite(file, errno);
  ::close(fd);
  ::unlink(temporary.c_str());
}

TemporaryFile::TemporaryFile() {
  char name[] = "/tmp/bench32-report-XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) {
    ::close(fd);
    path = name;
  }
}

TemporaryFile::~TemporaryFile() {
  if (!path.empty()) ::unlink(path.c_str());
}

std::string TemporaryFile::text() const {
  std::ifstream stream(path);
  std::ostringstream all;
  all << stream.rdbuf();
  return all.str();
}

TemporaryFolder::TemporaryFolder(const std::string& name) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / ("bench32-" + name + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data()))
    throw WriteError(fmt::format("cannot make a folder in {} for {}: {}",
                                 std::filesystem::temp_directory_path().string(), name,
                                 std::strerror(errno)));
  path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

} // namespace bench32
