// Child processes for the lights tests: fork, exec, capture, time out.
#include "child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace lights_test {

namespace {

long long nowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

std::vector<std::string> emulatorWords()
{
    std::vector<std::string> words;
    const char* emulator = getenv("QUORVEL_EMULATOR");
    if (emulator == nullptr)
        return words;
    std::istringstream stream(emulator);
    std::string word;
    while (stream >> word)
        words.push_back(word);
    return words;
}

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/lights-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr)
        path_ = buffer.data();
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         int timeoutSeconds, const std::function<bool()>& beforeExec)
{
    ProcessResult result;
    TempDir capture;
    if (capture.path().empty() || argv.empty())
        return result;
    const std::string outPath = capture.path() + "/out";
    const std::string errPath = capture.path() + "/err";

    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0)
        return result;
    if (child == 0) {
        setpgid(0, 0);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || err < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(125);
        for (const std::string& entry : environment)
            putenv(const_cast<char*>(entry.c_str()));
        if (beforeExec && !beforeExec())
            _exit(125);
        execvp(args[0], args.data());
        dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    setpgid(child, child);

    const long long deadline = nowMs() + static_cast<long long>(timeoutSeconds) * 1000;
    int status = 0;
    while (true) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR)
            return result;
        if (nowMs() >= deadline) {
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        usleep(1000);
    }
    kill(-child, SIGKILL); // anything it left behind in its group
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

} // namespace lights_test
