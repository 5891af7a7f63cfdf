// The platform log stand-in: one line per call on standard error.
#include <test_support/process_fixture.h>

#include <quorvel/log.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

// Runs `body` with standard error going to a file and returns what it wrote.
template <typename Body>
std::string captureStderr(Body body)
{
    quorvel::testing::TempDir dir;
    const std::string path = dir.path() + "/stderr";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    return quorvel::testing::readFile(path);
}

TEST(LogPrint, WritesLetterTagAndMessageWithOneNewline)
{
    const std::string written = captureStderr([] {
        __quorvel_log_print(QUORVEL_LOG_ERROR, "lights", "write_int failed to open %s\n", "/x");
        __quorvel_log_print(QUORVEL_LOG_VERBOSE, "t", "a%d", 1);
        __quorvel_log_print(QUORVEL_LOG_DEBUG, "t", "%s", "");
        __quorvel_log_print(QUORVEL_LOG_INFO, "t", "two\nlines\n");
        __quorvel_log_print(QUORVEL_LOG_WARN, "", "w");
        __quorvel_log_print(QUORVEL_LOG_FATAL, "t", "f");
        __quorvel_log_print(1, "t", "low");
        __quorvel_log_print(8, "t", "high");
    });
    EXPECT_EQ(written,
              "E/lights: write_int failed to open /x\n"
              "V/t: a1\n"
              "D/t: \n"
              "I/t: two\nlines\n"
              "W/: w\n"
              "F/t: f\n"
              "?/t: low\n"
              "?/t: high\n");
}

TEST(LogPrint, LongMessagesArriveWholeAndErrnoIsKept)
{
    const std::string message(5000, 'm');
    int result = 0;
    int errnoAfter = 0;
    const std::string written = captureStderr([&] {
        errno = ENOENT;
        result = __quorvel_log_print(QUORVEL_LOG_ERROR, "tag", "%s", message.c_str());
        errnoAfter = errno;
    });
    EXPECT_EQ(written, "E/tag: " + message + "\n");
    EXPECT_EQ(result, static_cast<int>(written.size()));
    EXPECT_EQ(errnoAfter, ENOENT);
}

} // namespace
