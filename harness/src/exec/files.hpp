// Reading and writing whole files, with errors that say which file and why.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace bench32 {

// Throws BadInput: "FILE: cannot open: REASON".
std::string readFile(const std::filesystem::path& file);

// Writes text to file, checked to the end (every write, then the close). A regular file
// (or a new one) is written to a temporary file in the same folder and renamed over it,
// so that a reader never sees half a file and a failed write leaves the old one; a
// symbolic link is followed and its target replaced. Anything else (a device, a pipe,
// a descriptor already open such as /dev/stdout) is written directly. Throws WriteError with the
// reason: "FILE: cannot write: No space left on device".
void writeFile(const std::filesystem::path& file, const std::string& text);

// Whether writeFile replaces the file (a regular file, or none yet) rather than writing
// into it, so that writing it again gives one whole copy and not two.
bool replacedWhenWritten(const std::filesystem::path& file);

// Throws WriteError when the file could not be created or replaced, before any work is
// done for it; leaves no file behind. A device or pipe is only checked for permission:
// whether it takes the bytes shows when they are written.
void checkWritable(const std::filesystem::path& file);

// Standard output, checked: each write, and at the end the flush and close, throw
// WriteError ("standard output: cannot write: REASON") when the bytes did not go out.
void writeStandardOutput(std::string_view text);
void closeStandardOutput();

// Fills a standard descriptor (0, 1, 2) that the process was started without with
// /dev/null, read-only: else the first file opened would take its number and receive
// what is printed, and printing to a closed standard output would seem to succeed.
void openStandardDescriptors();

// Removes the temporary file that writeFile is writing, if any: for a signal handler
// that ends the process at once (async-signal-safe).
void removeUnfinishedFile();

// The file `name` in this executable's folder (the harness's own tools sit there), or
// `name` itself when that folder cannot be read.
std::filesystem::path besideSelf(const std::string& name);

// An empty file in /tmp for a tool's report, removed when done; its path is empty when
// none could be made.
struct TemporaryFile {
  std::string path;
  TemporaryFile();
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  std::string text() const; // what the tool wrote; empty when unreadable
};

// A new folder in the temporary directory ("bench32-NAME-XXXXXX"), removed with
// everything in it when done. Throws WriteError when none can be made.
struct TemporaryFolder {
  std::filesystem::path path;
  explicit TemporaryFolder(const std::string& name);
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
};

} // namespace bench32
