// The service manager's socket path: who may change the folders that hold it. Every
// folder mode the rule names, on the socket's own folder and on a folder above, at
// the edges of the rule (the sticky bit, group and others apart), symlinks, owners,
// paths that are not absolute or too long, and the message that names the folder
// and says what to do; and one manager per path, however many start at once.
#include <test_support/process_stats.h>

#include <quorvel/limits.h>
#include <quorvel/unique_fd.h>
#include <test_support/process_fixture.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <algorithm>
#include <array>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace quorvel::robustness {
namespace {

using namespace std::chrono_literals;
using testing::BackgroundProcess;
using testing::RunResult;
using testing::TempDir;

constexpr uid_t OTHER_UID = 65534;
constexpr uid_t THIRD_UID = 65533;

class SocketPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(mDir.path().empty());
        ASSERT_FALSE(mLogs.path().empty());
        // Other uids must reach the folders below; the rule itself asks no more.
        ASSERT_EQ(::chmod(mDir.path().c_str(), 0755), 0);
        std::string error;
        mProgram = testing::copyRunnableByAll(testing::serviceManagerProgram(), mPrograms, &error);
        ASSERT_FALSE(mProgram.empty()) << error;
    }

    // A folder `name` under the test's folder with exactly `mode` (umask aside).
    std::string folder(const std::string& name, mode_t mode)
    {
        const std::string path = mDir.path() + "/" + name;
        EXPECT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
        EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
        return path;
    }

    // Where `socket` lands: the manager runs in the test's folder, so that a relative
    // path, were it taken, would leave nothing behind anywhere else.
    std::string placeOf(const std::string& socket) const
    {
        return socket[0] == '/' ? socket : mDir.path() + "/" + socket;
    }

    bool socketAt(const std::string& socket) const
    {
        struct stat st;
        return ::lstat(placeOf(socket).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    }

    // How a manager started on `socket` ended: the exit status and message (in `err`) of
    // a refusal, or 0 and "" when it served and then stopped on SIGTERM.
    RunResult start(const std::string& socket, const std::function<bool()>& beforeExec = {})
    {
        const std::string log = mLogs.path() + "/" + std::to_string(++mRuns) + ".log";
        BackgroundProcess manager;
        RunResult outcome;
        EXPECT_FALSE(socketAt(socket)) << socket << " is there before the manager starts";
        const std::string folder = mDir.path();
        const auto inFolder = [folder, beforeExec] {
            return ::chdir(folder.c_str()) == 0 && (!beforeExec || beforeExec());
        };
        if (!manager.start({mProgram}, {"QUORVEL_SERVICE_MANAGER=" + socket}, log, true, inFolder))
            return outcome;
        eventually([&] { return !manager.running() || socketAt(socket); }, 10s);
        outcome.exitStatus = manager.running() ? manager.stop(SIGTERM, 5s) : manager.exitStatus();
        outcome.err = testing::readFile(log);
        return outcome;
    }

    void expectServed(const std::string& socket, const char* what, const std::function<bool()>& beforeExec = {})
    {
        const RunResult outcome = start(socket, beforeExec);
        EXPECT_EQ(outcome.exitStatus, 0) << what << "\n" << outcome.err;
        EXPECT_EQ(outcome.err, "") << what;
    }

    void expectRefused(const std::string& socket, const std::string& why, const char* what,
                       const std::function<bool()>& beforeExec = {})
    {
        const RunResult outcome = start(socket, beforeExec);
        EXPECT_EQ(outcome.exitStatus, 1) << what;
        EXPECT_EQ(outcome.err, "servicemanager: cannot listen on " + socket + ": " + why + "\n") << what;
        EXPECT_FALSE(socketAt(socket)) << what << ": a socket was made anyway";
    }

    TempDir mDir;
    TempDir mLogs;
    TempDir mPrograms;
    std::string mProgram; // the manager, where every uid can run it
    int mRuns = 0;
};

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

std::string writableSocketFolder(const std::string& folder, mode_t mode)
{
    return folder + " (mode " + octal(mode) +
        ") is writable by its group or by others, who could put a socket in its place; remove their write "
        "permission (chmod go-w " +
        folder + ") or choose a folder of its own";
}

// The remedy for a shared folder (sticky, writable by others, such as /tmp) is never a
// change of its mode: that would break everyone else who uses it.
std::string sharedFolder(const std::string& folder, mode_t mode, const std::string& name = "sm")
{
    return folder + " (mode " + octal(mode) +
        ") is a shared folder: others may write in it and could put a socket in its place; choose a folder of its "
        "own, e.g. set $QUORVEL_SERVICE_MANAGER to " +
        folder + "/servicemanager/" + name + " (a missing folder is made with mode 0755)";
}

std::string writableWithoutSticky(const std::string& folder, mode_t mode)
{
    return folder + " (mode " + octal(mode) +
        ") is writable by its group or by others without the sticky bit; remove their write permission (chmod "
        "go-w " +
        folder + ") or set the sticky bit (chmod +t " + folder + ")";
}

std::function<bool()> asUser(uid_t uid)
{
    return [uid] {
        return ::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 && ::setresuid(uid, uid, uid) == 0;
    };
}

TEST_F(SocketPath, SocketFolderWritableByAnyoneButItsOwnerIsRefusedStickyOrNot)
{
    for (const mode_t mode : {0700, 0755, 01755, 0750, 0705}) {
        const std::string own = folder("own" + octal(mode), mode);
        expectServed(own + "/sm", octal(mode).c_str());
    }
    for (const mode_t mode : {0720, 0702, 0775, 0757, 0777}) {
        const std::string own = folder("own" + octal(mode), mode);
        expectRefused(own + "/sm", writableSocketFolder(own, mode), octal(mode).c_str());
    }
    for (const mode_t mode : {01720, 01702, 01775, 01757, 01777}) {
        const std::string own = folder("own" + octal(mode), mode);
        expectRefused(own + "/sm", sharedFolder(own, mode), octal(mode).c_str());
    }
}

// Run as root, "chmod go-w /tmp" would break the machine: a sticky folder that others
// may write is only ever answered with a folder of its own; a plain group-writable
// folder keeps both remedies.
TEST_F(SocketPath, SharedStickyFolderIsOnlyEverAnsweredWithAFolderOfItsOwn)
{
    const std::string tmpLike = folder("tmp", 01777);
    const RunResult shared = start(tmpLike + "/servicemanager-socket");
    EXPECT_EQ(shared.exitStatus, 1);
    EXPECT_EQ(shared.err,
              "servicemanager: cannot listen on " + tmpLike + "/servicemanager-socket: " + tmpLike +
                  " (mode 1777) is a shared folder: others may write in it and could put a socket in its place; "
                  "choose a folder of its own, e.g. set $QUORVEL_SERVICE_MANAGER to " +
                  tmpLike + "/servicemanager/servicemanager-socket (a missing folder is made with mode 0755)\n");
    EXPECT_EQ(shared.err.find("chmod"), std::string::npos) << shared.err;
    // The advice works: the folder it names is made, and served.
    expectServed(tmpLike + "/servicemanager/servicemanager-socket", "the advised path");

    const std::string group = folder("group", 0770);
    const RunResult plain = start(group + "/sm");
    EXPECT_EQ(plain.exitStatus, 1);
    EXPECT_EQ(plain.err,
              "servicemanager: cannot listen on " + group + "/sm: " + group +
                  " (mode 0770) is writable by its group or by others, who could put a socket in its place; remove "
                  "their write permission (chmod go-w " +
                  group + ") or choose a folder of its own\n");
}

TEST_F(SocketPath, FolderAboveWritableByOthersNeedsTheStickyBit)
{
    for (const mode_t mode : {0755, 01755, 01720, 01702, 01775, 01757, 01777}) {
        const std::string above = folder("above" + octal(mode), mode);
        ASSERT_EQ(::mkdir((above + "/own").c_str(), 0755), 0);
        expectServed(above + "/own/sm", octal(mode).c_str());
    }
    for (const mode_t mode : {0720, 0702, 0775, 0757, 0777}) {
        const std::string above = folder("above" + octal(mode), mode);
        ASSERT_EQ(::mkdir((above + "/own").c_str(), 0755), 0);
        expectRefused(above + "/own/sm", writableWithoutSticky(above, mode), octal(mode).c_str());
    }
    // A missing socket folder is made safe (0755) under a sticky shared folder.
    const std::string shared = folder("shared", 01777);
    expectServed(shared + "/made/sm", "made below a sticky folder");
    struct stat st;
    ASSERT_EQ(::stat((shared + "/made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(SocketPath, SymlinksAnywhereOnTheWayAreRefused)
{
    const std::string real = folder("real", 0755);
    ASSERT_EQ(::mkdir((real + "/own").c_str(), 0755), 0);
    const std::string link = mDir.path() + "/link";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    const std::string linkedOwn = mDir.path() + "/ownlink";
    ASSERT_EQ(::symlink((real + "/own").c_str(), linkedOwn.c_str()), 0);
    const std::string fix = " is a symbolic link; give the path of the folder it points to, without links";

    expectRefused(linkedOwn + "/sm", linkedOwn + fix, "the socket's folder");
    expectRefused(link + "/own/sm", link + fix, "a folder above");
    // A link in the socket's own place is not a socket, and is neither followed nor
    // replaced.
    ASSERT_EQ(::symlink((real + "/target").c_str(), (real + "/own/sm").c_str()), 0);
    expectRefused(real + "/own/sm", "something that is not a socket is in the way; remove it or choose another path",
                  "a link as the socket");
    struct stat st;
    EXPECT_NE(::lstat((real + "/target").c_str(), &st), 0);
    EXPECT_EQ(::lstat((real + "/own/sm").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(SocketPath, FoldersOwnedByAnyoneButRootOrTheManagerAreRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give folders to other uids";
    const std::string theirs = folder("theirs", 0755);
    ASSERT_EQ(::chown(theirs.c_str(), OTHER_UID, OTHER_UID), 0);
    const std::string why = theirs + " is owned by uid " + std::to_string(OTHER_UID) +
        ", not by root; give it to root (chown root " + theirs + ") or choose a folder root owns";
    expectRefused(theirs + "/sm", why, "the socket's folder");
    ASSERT_EQ(::mkdir((theirs + "/own").c_str(), 0755), 0);
    expectRefused(theirs + "/own/sm", why, "a folder above");

    // The manager's own uid is trusted like root, in both places; a third uid is not.
    const std::string mine = folder("mine", 0755);
    ASSERT_EQ(::mkdir((mine + "/own").c_str(), 0755), 0);
    ASSERT_EQ(::chown(mine.c_str(), OTHER_UID, OTHER_UID), 0);
    ASSERT_EQ(::chown((mine + "/own").c_str(), OTHER_UID, OTHER_UID), 0);
    expectServed(mine + "/own/sm", "its own uid's folders", asUser(OTHER_UID));
    const std::string third = mine + "/third";
    ASSERT_EQ(::mkdir(third.c_str(), 0755), 0);
    ASSERT_EQ(::chown(third.c_str(), THIRD_UID, THIRD_UID), 0);
    expectRefused(third + "/sm",
                  third + " is owned by uid " + std::to_string(THIRD_UID) + ", neither root nor uid " +
                      std::to_string(OTHER_UID) + "; choose a folder owned by root or by uid " +
                      std::to_string(OTHER_UID),
                  "a third uid's folder", asUser(OTHER_UID));
}

TEST_F(SocketPath, PathsThatCannotNameASafeSocketGetAClearMessage)
{
    const std::string relative =
        "the path is not absolute; set $QUORVEL_SERVICE_MANAGER to a path that starts with '/'";
    expectRefused("sm", relative, "a bare name");
    expectRefused("run/quorvel/sm", relative, "a relative path");
    expectRefused("./sm", relative, "a path from the current folder");
    const std::string folderOnly = "the path names a folder, not a socket file; add the socket's file name";
    expectRefused("/", folderOnly, "the root");
    expectRefused(mDir.path() + "/", folderOnly, "a trailing slash");
    expectRefused(mDir.path() + "/..", folderOnly, "a parent reference at the end");
    expectRefused(mDir.path() + "/../sm", "the path contains \"..\"; give it without", "a parent reference");

    // The address limit at its edge: the longest path that fits is served, one byte
    // more is refused.
    const std::string base = mDir.path() + "/";
    ASSERT_LT(base.size(), MAX_ENDPOINT_LENGTH);
    const std::string longest = base + std::string(MAX_ENDPOINT_LENGTH - base.size(), 'n');
    expectServed(longest, "the longest path");
    expectRefused(longest + "n",
                  "the path is longer than " + std::to_string(MAX_ENDPOINT_LENGTH) + " bytes; choose a shorter one",
                  "one byte longer");
}

// ---------------------------------------------------------------------------------
// One manager per path: the lock file "<path>.lock" beside the socket.

std::string lockedBy(const std::string& socket)
{
    return "another service manager serves there or is starting (it holds " + socket +
        ".lock); stop it first or choose another path";
}

class OneManagerPerPath : public SocketPath {
protected:
    // A socket file at `path` that nobody serves: what a manager that died leaves.
    static bool staleSocket(const std::string& path)
    {
        const UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!fd || path.size() >= sizeof address.sun_path)
            return false;
        path.copy(address.sun_path, path.size());
        return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    // The pid of the process listening at `path`, or -1 when nobody does.
    static pid_t listenerOf(const std::string& path)
    {
        const UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, std::min(path.size(), sizeof address.sun_path - 1));
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
            ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0)
            return -1;
        return credentials.pid;
    }

    static ino_t inodeOf(const std::string& path)
    {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }

    // Starts a manager on `socket` (which may hold a stale socket) once `gate`, when
    // given, is closed by the test.
    bool launch(BackgroundProcess& manager, const std::string& socket, const std::string& log, int gate = -1,
                int gateWriter = -1)
    {
        return manager.start({mProgram}, {"QUORVEL_SERVICE_MANAGER=" + socket}, log, true, [gate, gateWriter] {
            if (gate < 0)
                return true;
            ::close(gateWriter);
            char byte;
            return ::read(gate, &byte, 1) == 0;
        });
    }

    std::string nextLog() { return mLogs.path() + "/" + std::to_string(++mRuns) + ".log"; }
};

TEST_F(OneManagerPerPath, HeldLockMakesAManagerRefuseAndLeaveTheOldSocketAlone)
{
    const std::string socket = folder("own", 0755) + "/sm";
    ASSERT_TRUE(staleSocket(socket));
    const ino_t stale = inodeOf(socket);
    {
        // Another manager between its lock and its bind, as far as the newcomer can tell.
        const UniqueFd lock(::open((socket + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(lock.valid());
        ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
        BackgroundProcess manager;
        const std::string log = nextLog();
        ASSERT_TRUE(launch(manager, socket, log));
        ASSERT_TRUE(eventually([&] { return !manager.running() || listenerOf(socket) > 0; }, 20s));
        EXPECT_EQ(manager.stop(SIGTERM, 5s), 1);
        EXPECT_EQ(testing::readFile(log),
                  "servicemanager: cannot listen on " + socket + ": " + lockedBy(socket) + "\n");
        EXPECT_EQ(inodeOf(socket), stale) << "the old socket was touched";
        EXPECT_NE(inodeOf(socket + ".lock"), 0u) << "the lock file was removed from under its holder";
    }
    // Once nobody holds it the stale socket is replaced; the socket and the lock file
    // go with the manager.
    BackgroundProcess manager;
    const std::string log = nextLog();
    ASSERT_TRUE(launch(manager, socket, log));
    EXPECT_TRUE(eventually([&] { return listenerOf(socket) == manager.pid(); }, 20s)) << testing::readFile(log);
    EXPECT_EQ(manager.stop(SIGTERM, 5s), 0) << testing::readFile(log);
    EXPECT_EQ(inodeOf(socket), 0u);
    EXPECT_EQ(inodeOf(socket + ".lock"), 0u);

    // A socket that answers with nobody holding the lock (another program) is left
    // alone too, and the lock file the refused manager made goes with it.
    const UniqueFd other(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket.copy(address.sun_path, socket.size());
    ASSERT_EQ(::bind(other.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(other.get(), 8), 0);
    const ino_t answering = inodeOf(socket);
    BackgroundProcess refused;
    const std::string refusedLog = nextLog();
    ASSERT_TRUE(launch(refused, socket, refusedLog));
    EXPECT_TRUE(eventually([&] { return !refused.running(); }, 20s));
    EXPECT_EQ(refused.stop(SIGKILL), 1);
    EXPECT_EQ(testing::readFile(refusedLog),
              "servicemanager: cannot listen on " + socket + ": a service manager already answers there\n");
    EXPECT_EQ(inodeOf(socket), answering);
    EXPECT_EQ(inodeOf(socket + ".lock"), 0u);
}

TEST_F(OneManagerPerPath, LockFileThatIsNotARegularFileOfOursIsRefusedAndLeftAlone)
{
    const std::string own = folder("own", 0755);
    const std::string lock = own + "/sm.lock";
    const std::string why = lock + " is in the way: the lock file must be a regular file owned by uid " +
        std::to_string(::geteuid()) + "; remove it or choose another path";

    ASSERT_EQ(::symlink((own + "/target").c_str(), lock.c_str()), 0);
    expectRefused(own + "/sm", why, "a link");
    EXPECT_EQ(inodeOf(own + "/target"), 0u) << "the link was followed";
    ASSERT_EQ(::unlink(lock.c_str()), 0);

    ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    expectRefused(own + "/sm", why, "a fifo");
    ASSERT_EQ(::unlink(lock.c_str()), 0);

    ASSERT_EQ(::mkdir(lock.c_str(), 0700), 0);
    expectRefused(own + "/sm", why, "a folder");
    ASSERT_EQ(::rmdir(lock.c_str()), 0);

    const UniqueFd file(::open(lock.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(file.valid());
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(lock.c_str(), OTHER_UID, OTHER_UID), 0);
        expectRefused(own + "/sm", why, "another uid's file");
        EXPECT_NE(inodeOf(lock), 0u);
        ASSERT_EQ(::chown(lock.c_str(), 0, 0), 0);
    }
    // A regular file of ours, left by a manager that was killed, is taken.
    expectServed(own + "/sm", "a lock file of ours");
    EXPECT_EQ(inodeOf(lock), 0u) << "the lock file outlived its manager";
}

// Managers released at the same instant on a path that holds a stale socket: exactly
// one serves, reachable at the path; every other refuses with the message.
TEST_F(OneManagerPerPath, ManagersStartedTogetherOnAStaleSocketLeaveExactlyOneServing)
{
    constexpr int MANAGERS = 5;
    const int rounds = scaled(30, 3);
    for (int round = 0; round < rounds; ++round) {
        const std::string socket = folder("round" + std::to_string(round), 0755) + "/sm";
        ASSERT_TRUE(staleSocket(socket));
        int gate[2];
        ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
        std::array<BackgroundProcess, MANAGERS> managers;
        std::vector<std::string> logs;
        for (BackgroundProcess& manager : managers) {
            logs.push_back(nextLog());
            EXPECT_TRUE(launch(manager, socket, logs.back(), gate[0], gate[1]));
        }
        ::close(gate[1]);
        ::close(gate[0]);
        const auto exited = [&] {
            return std::count_if(managers.begin(), managers.end(), [](BackgroundProcess& m) { return !m.running(); });
        };
        eventually([&] { return exited() == MANAGERS || (exited() == MANAGERS - 1 && listenerOf(socket) > 0); }, 20s);
        int serving = 0;
        for (int i = 0; i < MANAGERS; ++i) {
            if (managers[i].running()) {
                ++serving;
                EXPECT_EQ(listenerOf(socket), managers[i].pid()) << "round " << round << ": unreachable";
                EXPECT_EQ(managers[i].stop(SIGTERM, 5s), 0) << "round " << round;
                continue;
            }
            EXPECT_EQ(managers[i].exitStatus(), 1) << "round " << round;
            EXPECT_EQ(testing::readFile(logs[i]),
                      "servicemanager: cannot listen on " + socket + ": " + lockedBy(socket) + "\n")
                << "round " << round;
        }
        EXPECT_EQ(serving, 1) << "round " << round;
        EXPECT_EQ(inodeOf(socket), 0u) << "round " << round;
        EXPECT_EQ(inodeOf(socket + ".lock"), 0u) << "round " << round;
        if (::testing::Test::HasFailure())
            break;
    }
}

} // namespace
} // namespace quorvel::robustness
