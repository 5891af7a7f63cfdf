// Runs a program to completion with its output captured, bounded in time.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace lights_test {

struct ProcessResult {
    int status = -1; // exit status, 128+N when killed by signal N, -1 if it could not run
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Starts argv[0] (searched in PATH) with extra NAME=VALUE environment entries, waits
// at most `timeoutSeconds` and then kills its whole process group. `beforeExec`
// runs in the child just before exec (for namespace set-up); if it returns false
// the child exits with status 125.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                         int timeoutSeconds = 60, const std::function<bool()>& beforeExec = {});

// The words of $QUORVEL_EMULATOR: what goes in front of every target program.
std::vector<std::string> emulatorWords();

// A fresh folder under $TMPDIR (or /tmp), removed with its files by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);

} // namespace lights_test
