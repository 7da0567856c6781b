// Reading and writing whole files, with errors that say which file and why.
#pragma once

#include <filesystem>
#include <string>

namespace bench32 {

// Throws BadInput: "FILE: cannot open: REASON".
std::string readFile(const std::filesystem::path& file);

// Writes through a temporary file beside it and a rename, so that a reader never sees
// half a file and a failed write leaves the old one. Throws WriteError with the reason.
void writeFile(const std::filesystem::path& file, const std::string& text);

// Throws WriteError when the file could not be created or replaced, before any work is
// done for it; leaves no file behind.
void checkWritable(const std::filesystem::path& file);

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
