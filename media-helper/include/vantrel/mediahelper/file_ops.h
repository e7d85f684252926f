#pragma once
// File-system steps shared by the commands. Failures throw std::system_error
// whose text is the system's description followed by the path.

#include <string>

namespace vantrel::mediahelper {

// Creates the parent directory of `path` with its intermediate directories.
void createParentDirectory(const std::string& path);
// Removes `path` if it exists; failures are ignored (callers never depend on it).
void removeQuietly(const std::string& path) noexcept;
// Writes `data` to a temporary file beside `path` and renames it into place, so
// a reader sees either the old file or the whole new one.
void writeFileAtomically(const std::string& path, const std::string& data);
// Copies a regular file, replacing the target.
void copyFile(const std::string& from, const std::string& to);

}  // namespace vantrel::mediahelper
