// The FUSE side of ledsim: path-based operations forwarded to the LedTree.
#define FUSE_USE_VERSION 31
#include "fuse_mount.h"

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>

#include <chrono>
#include <vector>

namespace ledsim {

namespace {

LedTree& tree()
{
    return *static_cast<LedTree*>(fuse_get_context()->private_data);
}

void* onInit(struct fuse_conn_info* connection, struct fuse_config* config)
{
    // Every access must reach the tree: no attribute, entry or page caching, and
    // each write(2) arrives as one write request with the caller's exact bytes.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    config->kernel_cache = 0;
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    return fuse_get_context()->private_data;
}

int onGetattr(const char* path, struct stat* attributes, struct fuse_file_info*)
{
    return tree().getattr(path, *attributes);
}

int onReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags)
{
    std::vector<std::string> names;
    const int status = tree().listDirectory(path, names);
    if (status != 0)
        return status;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const std::string& name : names)
        fill(buffer, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

// Without default_permissions the kernel asks us about access(2), so a read-only
// attribute reads as not writable even for root.
int onAccess(const char* path, int mask)
{
    return tree().access(path, mask);
}

int onOpen(const char* path, struct fuse_file_info* info)
{
    uint64_t handle = 0;
    const int status = tree().open(path, info->flags, handle);
    if (status == 0) {
        info->fh = handle;
        info->direct_io = 1;
        info->keep_cache = 0;
    }
    return status;
}

int onRead(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* info)
{
    return tree().read(info->fh, buffer, size, offset);
}

int onWrite(const char*, const char* data, size_t size, off_t, struct fuse_file_info* info)
{
    return tree().write(info->fh, data, size);
}

int onFlush(const char*, struct fuse_file_info* info)
{
    return tree().flush(info->fh);
}

int onRelease(const char*, struct fuse_file_info* info)
{
    tree().release(info->fh);
    return 0;
}

int onTruncate(const char* path, off_t, struct fuse_file_info*)
{
    return tree().truncate(path);
}

struct fuse_operations makeOperations()
{
    struct fuse_operations operations;
    memset(&operations, 0, sizeof operations);
    operations.init = onInit;
    operations.getattr = onGetattr;
    operations.readdir = onReaddir;
    operations.access = onAccess;
    operations.open = onOpen;
    operations.read = onRead;
    operations.write = onWrite;
    operations.flush = onFlush;
    operations.release = onRelease;
    operations.truncate = onTruncate;
    return operations;
}

} // namespace

FuseMount::~FuseMount()
{
    if (mAbandoned) {
        mThread.detach();
        return;
    }
    if (mThread.joinable())
        stop(2000);
    if (mThread.joinable())
        mThread.detach();
    else if (mFuse != nullptr)
        fuse_destroy(mFuse);
}

int FuseMount::start(LedTree& tree, const std::string& mountPoint, std::string& error)
{
    static const struct fuse_operations operations = makeOperations();
    // No default_permissions: permission answers come from the tree.
    const char* arguments[] = {"ledsim", "-o", "fsname=ledsim,subtype=ledsim"};
    struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(arguments));
    mFuse = fuse_new(&args, &operations, sizeof operations, &tree);
    fuse_opt_free_args(&args);
    if (mFuse == nullptr) {
        error = "cannot create the FUSE file system";
        return -EIO;
    }
    if (fuse_mount(mFuse, mountPoint.c_str()) != 0) {
        fuse_destroy(mFuse);
        mFuse = nullptr;
        error = "cannot mount FUSE at " + mountPoint + " (is /dev/fuse available?)";
        return -EIO;
    }
    mMountPoint = mountPoint;
    // The command we start must not inherit the device.
    const int fd = fuse_session_fd(fuse_get_session(mFuse));
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    mThread = std::thread([this] { serve(); });
    return 0;
}

void FuseMount::serve()
{
    fuse_loop(mFuse);
    std::lock_guard lock(mMutex);
    mFinished = true;
    mFinishedChanged.notify_all();
}

bool FuseMount::stop(int waitMs)
{
    if (!mThread.joinable())
        return true;
    fuse_exit(mFuse);
    // Once the last user of the mount is gone the kernel ends the connection and the
    // serving loop returns.
    umount2(mMountPoint.c_str(), MNT_DETACH);
    std::unique_lock lock(mMutex);
    if (!mFinishedChanged.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return mFinished; })) {
        mAbandoned = true;
        return false;
    }
    lock.unlock();
    mThread.join();
    // The kernel side is gone already; this releases libfuse's own mount state.
    fuse_unmount(mFuse);
    return true;
}

} // namespace ledsim
