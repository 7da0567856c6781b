#include "exec/files.hpp"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

// The temporary file that writeFile is writing, for removeUnfinishedFile, which a
// signal handler calls: a fixed buffer, published by an atomic flag.
char unfinishedPath[4096];
std::atomic<bool> unfinished{false};

struct Unfinished {
  bool set = false;
  explicit Unfinished(const std::string& path) {
    if (path.size() >= sizeof unfinishedPath) return;
    std::memcpy(unfinishedPath, path.c_str(), path.size() + 1);
    unfinished = set = true;
  }
  ~Unfinished() {
    if (set) unfinished = false;
  }
};

// Writes every byte; false with errno set when the system took fewer.
bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    text.remove_prefix(std::size_t(n));
  }
  return true;
}

// The file that a rename replaces: the end of a symbolic link, else the file itself.
std::filesystem::path replacedPath(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(file, error))) return file;
  std::filesystem::path target = std::filesystem::weakly_canonical(file, error);
  return error ? file : target;
}

// Whether the path leads through /proc/PID/fd (/dev/stdout, /dev/fd/3): it names a
// descriptor already open, to be written into, never replaced, whatever file it is.
bool namesADescriptor(const std::filesystem::path& file) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path path = fs::absolute(file, error);
  for (int hop = 0; hop < 40 && !error; ++hop) {
    path = fs::weakly_canonical(path.parent_path(), error) / path.filename();
    if (path.string().starts_with("/proc/")) return true;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return false;
    const fs::path target = fs::read_symlink(path, error);
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return false;
}

// The file's status, following links; false when there is none (or it cannot be seen:
// creating it will say why).
bool statusOf(const std::filesystem::path& file, struct stat& status) {
  return ::stat(file.c_str(), &status) == 0;
}

std::string temporaryFor(const std::filesystem::path& target) {
  return fmt::format("{}.partial-{}", target.string(), getpid());
}

void writeInto(const std::filesystem::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) cannotWrite(file, errno);
  if (!writeAll(fd, text)) {
    const int error = errno;
    ::close(fd);
    cannotWrite(file, error);
  }
  if (::close(fd) != 0) cannotWrite(file, errno);
}

void replace(const std::filesystem::path& file, const std::string& text, const struct stat* old) {
  const std::filesystem::path target = replacedPath(file);
  const std::string temporary = temporaryFor(target);
  const Unfinished marked(temporary);
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) cannotWrite(file, errno);
  const auto fail = [&](int error) {
    ::unlink(temporary.c_str());
    cannotWrite(file, error);
  };
  // The file keeps its permissions; a new one gets the umask's.
  if (old && ::fchmod(fd, old->st_mode & 07777) != 0) {
    const int error = errno;
    ::close(fd);
    fail(error);
  }
  if (!writeAll(fd, text)) {
    const int error = errno;
    ::close(fd);
    fail(error);
  }
  // A full disk may only show at the close (network file systems, delayed allocation).
  if (::close(fd) != 0) fail(errno);
  if (::rename(temporary.c_str(), target.c_str()) != 0) fail(errno);
}

} // namespace

void writeFile(const std::filesystem::path& file, const std::string& text) {
  if (file.empty()) cannotWrite(file, ENOENT);
  struct stat status {};
  if (!statusOf(file, status)) return replace(file, text, nullptr);
  if (S_ISDIR(status.st_mode)) cannotWrite(file, EISDIR);
  if (S_ISREG(status.st_mode) && !namesADescriptor(file)) return replace(file, text, &status);
  writeInto(file, text);
}

bool replacedWhenWritten(const std::filesystem::path& file) {
  struct stat status {};
  return !statusOf(file, status) || (S_ISREG(status.st_mode) && !namesADescriptor(file));
}

void checkWritable(const std::filesystem::path& file) {
  if (file.empty()) cannotWrite(file, ENOENT);
  struct stat status {};
  if (statusOf(file, status) && (!S_ISREG(status.st_mode) || namesADescriptor(file))) {
    if (S_ISDIR(status.st_mode)) cannotWrite(file, EISDIR);
    if (::access(file.c_str(), W_OK) != 0) cannotWrite(file, errno);
    return;
  }
  const std::string temporary = temporaryFor(replacedPath(file));
  const Unfinished marked(temporary);
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) cannotWrite(file, errno);
  ::close(fd);
  ::unlink(temporary.c_str());
}

namespace {

bool standardOutputFailed = false; // and said so: the close does not say it again

} // namespace

void writeStandardOutput(std::string_view text) {
  if (text.empty()) return;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    standardOutputFailed = true;
    throw WriteError(fmt::format("standard output: cannot write: {}", strerror(errno)));
  }
}

void closeStandardOutput() {
  if (standardOutputFailed) {
    std::fclose(stdout);
    return;
  }
  const bool pending = __fpending(stdout) > 0;
  errno = 0;
  bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
  int error = errno;
  // Closing a standard output that was never open fails with EBADF: only an error when
  // something was to be written there.
  if (std::fclose(stdout) != 0 && !failed && (pending || errno != EBADF)) {
    failed = true;
    error = errno;
  }
  if (failed)
    throw WriteError(
        fmt::format("standard output: cannot write: {}", strerror(error ? error : EIO)));
}

void openStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // Read-only, so that writing to a standard output that was closed still fails.
      const int opened = ::open("/dev/null", O_RDONLY);
      if (opened >= 0 && opened != fd) ::close(opened);
    }
}

void removeUnfinishedFile() {
  if (unfinished) ::unlink(unfinishedPath);
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

std::filesystem::path besideSelf(const std::string& name) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path(name) : self.parent_path() / name;
}

} // namespace bench32
