#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace zormak {

// Copies the directory tree `from` into the directory `to`, which is created
// when missing. Keeps symbolic links as links, permission bits and
// modification times (Python decides from a source file's time whether its
// cached byte code is current), and hidden entries. Entries of `from` named
// in `skipTopLevel` are left out. An entry that already exists in `to` is an
// error. File contents are copied in the kernel by several threads, since a
// first start copies a whole Python environment of thousands of files.
//
// Throws FileSystemError on the first failure; what was copied until then
// stays.
//
// File contents are copied in the kernel where it can (see sys::kernelCopy),
// else, or when `method` asks for it, through a buffer.
enum class CopyMethod { kernel, readWrite };
void copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
              const std::set<std::string>& skipTopLevel = {},
              CopyMethod method = CopyMethod::kernel);

// Copies one regular file to `to` through a temporary sibling and a rename,
// so that `to` either is absent or holds the whole file.
void copyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace zormak
