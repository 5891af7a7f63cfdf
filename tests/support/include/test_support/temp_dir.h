#pragma once
// A private temporary folder that a test owns: removed with everything in it when the
// owner goes, so an assertion that ends a test early leaks nothing.

#include <string>

namespace quorvel::testing {

// A fresh folder under `base` (default: $TMPDIR, or /tmp), removed with its files by
// the destructor; path() is empty if it could not be made.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::string& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

// The whole content of a file; empty if it cannot be read.
std::string readFile(const std::string& path);

// A copy of `program` in `dir` that every uid may reach and run, for a test that runs
// it as another user: the build tree may sit in a folder only its owner can enter
// (a checkout in a `mktemp -d` folder). Empty, with `*error` set, if it cannot be made.
std::string copyRunnableByAll(const std::string& program, const TempDir& dir, std::string* error);

} // namespace quorvel::testing
