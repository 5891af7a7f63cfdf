#include <test_support/process_fixture.h>

#include <quorvel/service_manager.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>

namespace quorvel::testing {

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

std::string toAscii(const String16& text)
{
    std::string out;
    for (char16_t unit : text.view())
        out.push_back(unit < 128 ? static_cast<char>(unit) : '?');
    return out;
}

const char* serviceManagerProgram()
{
    return QUORVEL_TEST_SERVICEMANAGER;
}

const char* exampleServicesProgram()
{
    return QUORVEL_TEST_EXAMPLE_SERVICES;
}

const char* exampleClientProgram()
{
    return QUORVEL_TEST_EXAMPLE_CLIENT;
}

const std::vector<std::string>& exampleServiceNames()
{
    static const std::vector<std::string> names = {"example.echo", "example.failing", "example.nodescriptor",
                                                   "example.refusing", "example.unicode"};
    return names;
}

ProcessFixture::ProcessFixture()
    : ProcessFixture(Options{})
{
}

ProcessFixture::ProcessFixture(Options options)
    : mOptions(options)
{
    if (mDir.path().empty()) {
        mError = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    if (mOptions.worldAccessible)
        ::chmod(mDir.path().c_str(), 0755);
    mSocket = mDir.path() + "/servicemanager";
    mServiceManagerVariable.set(mSocket.c_str());
    if (startServiceManager() && mOptions.startExampleServices)
        startExampleServices();
}

ProcessFixture::~ProcessFixture()
{
    mServiceManagerPort = nullptr;
    mExampleServices.stop(SIGTERM, 3s);
    mServiceManager.stop(SIGTERM, 3s);
}

std::vector<std::string> ProcessFixture::environment() const
{
    return {std::string(SERVICE_MANAGER_ENV) + "=" + mSocket};
}

std::string ProcessFixture::serviceManagerLog() const
{
    return readFile(mDir.path() + "/servicemanager.log");
}

std::string ProcessFixture::exampleServicesLog() const
{
    return readFile(mDir.path() + "/example-services.log");
}

bool ProcessFixture::startServiceManager()
{
    if (!mServiceManager.start({serviceManagerProgram()}, environment(), mDir.path() + "/servicemanager.log")) {
        mError = "cannot start servicemanager";
        return false;
    }
    const auto deadline = Clock::now() + mOptions.readyTimeout;
    while (Clock::now() < deadline) {
        if (!mServiceManager.running()) {
            mError = "servicemanager exited early: " + serviceManagerLog();
            return false;
        }
        struct stat st;
        if (::stat(mSocket.c_str(), &st) == 0 && (mServiceManagerPort = defaultServiceManager()) != nullptr)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    mError = "servicemanager did not come up: " + serviceManagerLog();
    return false;
}

bool ProcessFixture::startExampleServices()
{
    if (!mExampleServices.start({exampleServicesProgram()}, environment(), mDir.path() + "/example-services.log")) {
        mError = "cannot start example-services";
        return false;
    }
    if (!waitForServices(exampleServiceNames(), true, mOptions.readyTimeout)) {
        mError = "example-services did not register: " + exampleServicesLog();
        return false;
    }
    return true;
}

std::vector<std::string> ProcessFixture::listedNames() const
{
    if (!mServiceManagerPort)
        mServiceManagerPort = defaultServiceManager();
    Vector<String16> listed;
    if (mServiceManagerPort)
        listed = mServiceManagerPort->listServices();
    if (listed.isEmpty()) {
        // Empty, or the daemon behind the kept connection is gone (restarted by a
        // test): ask once more over a new connection, and keep that one.
        mServiceManagerPort = defaultServiceManager();
        if (mServiceManagerPort)
            listed = mServiceManagerPort->listServices();
    }
    std::vector<std::string> names;
    for (const String16& name : listed)
        names.push_back(toAscii(name));
    return names;
}

bool ProcessFixture::serve(BackgroundProcess& host, const std::string& name, const std::string& descriptor)
{
    std::vector<std::string> argv = {exampleClientProgram(), "serve", name};
    if (!descriptor.empty())
        argv.push_back(descriptor);
    return host.start(argv, environment(), mDir.path() + "/" + name + ".log") && waitForServices({name});
}

bool ProcessFixture::waitForServices(const std::vector<std::string>& names, bool present,
                                     std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::vector<std::string> listed = listedNames();
        const bool all = std::all_of(names.begin(), names.end(), [&](const std::string& n) {
            return (std::find(listed.begin(), listed.end(), n) != listed.end()) == present;
        });
        if (all)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

RunResult ProcessFixture::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                              const std::vector<std::string>& extra) const
{
    std::vector<std::string> env = environment();
    env.insert(env.end(), extra.begin(), extra.end());
    return runProgram(argv, timeout, env);
}

RunResult ProcessFixture::runHost(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                  const std::vector<std::string>& extra) const
{
    std::vector<std::string> env = environment();
    env.insert(env.end(), extra.begin(), extra.end());
    return runHostProgram(argv, timeout, env);
}

} // namespace quorvel::testing
