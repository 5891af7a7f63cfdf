#include <test_support/temp_dir.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::testing {

TempDir::TempDir()
    : TempDir([] {
        const char* base = std::getenv("TMPDIR");
        return std::string(base != nullptr && base[0] != '\0' ? base : "/tmp");
    }())
{
}

TempDir::TempDir(const std::string& base)
{
    std::string pattern = base + "/quorvel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr)
        mPath = pattern;
}

TempDir::~TempDir()
{
    if (!mPath.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string copyRunnableByAll(const std::string& program, const TempDir& dir, std::string* error)
{
    const std::string copy = dir.path() + "/" + std::filesystem::path(program).filename().string();
    std::error_code failure;
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing, failure);
    if (!failure && (::chmod(dir.path().c_str(), 0755) < 0 || ::chmod(copy.c_str(), 0755) < 0))
        failure.assign(errno, std::generic_category());
    if (failure) {
        *error = "cannot copy " + program + " to " + copy + ": " + failure.message();
        return {};
    }
    return copy;
}

} // namespace quorvel::testing
