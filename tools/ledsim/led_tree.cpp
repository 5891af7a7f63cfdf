// The simulated LED class tree: sysfs-like attribute files with faults and a journal.
#include "led_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace ledsim {

LedTree::LedTree(const Profile& profile)
{
    mDirectories.insert("/");
    for (const std::string& file : profileFiles(profile)) {
        mFiles[file] = Attribute{};
        for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
            mDirectories.insert(file.substr(0, slash));
    }
}

bool LedTree::addFault(const std::string& path, Fault fault, std::string& error)
{
    std::lock_guard lock(mMutex);
    auto it = mFiles.find(path);
    if (it == mFiles.end()) {
        error = fullPath(path) + " is not a file of this board profile";
        return false;
    }
    // One fault per file, as the target's driver takes them: two on one file would
    // simulate something no board can show. A failing close, which that driver
    // cannot make, may join another (a write refused, then its close too).
    const unsigned held = it->second.faults;
    if (fault == FAULT_CLOSE_EIO ? (held & FAULT_CLOSE_EIO) != 0 : (held & ~unsigned(FAULT_CLOSE_EIO)) != 0) {
        error = fullPath(path) + " has a fault already";
        return false;
    }
    it->second.faults |= fault;
    return true;
}

void LedTree::setWriteObserver(WriteObserver observer)
{
    std::lock_guard lock(mMutex);
    mObserver = std::move(observer);
}

const LedTree::Attribute* LedTree::find(const std::string& path) const
{
    auto it = mFiles.find(path);
    if (it == mFiles.end() || (it->second.faults & FAULT_MISSING))
        return nullptr;
    return &it->second;
}

void LedTree::record(std::string line)
{
    mJournal.push_back(std::move(line));
}

int LedTree::getattr(const std::string& path, struct stat& attributes)
{
    std::lock_guard lock(mMutex);
    memset(&attributes, 0, sizeof attributes);
    attributes.st_uid = getuid();
    attributes.st_gid = getgid();
    if (mDirectories.count(path)) {
        attributes.st_mode = S_IFDIR | 0755;
        attributes.st_nlink = 2;
        return 0;
    }
    const Attribute* file = find(path);
    if (file == nullptr) {
        // What a module sees as a missing attribute: worth a line in the journal.
        record("lookup " + fullPath(path) + " = -ENOENT");
        return -ENOENT;
    }
    attributes.st_mode = S_IFREG | ((file->faults & FAULT_READ_ONLY) ? 0444 : 0644);
    attributes.st_nlink = 1;
    attributes.st_size = static_cast<off_t>(file->value.size());
    return 0;
}

int LedTree::listDirectory(const std::string& path, std::vector<std::string>& names)
{
    std::lock_guard lock(mMutex);
    if (!mDirectories.count(path))
        return find(path) != nullptr ? -ENOTDIR : -ENOENT;
    const std::string prefix = path == "/" ? "/" : path + "/";
    std::set<std::string> children;
    auto addChild = [&](const std::string& entry) {
        if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0)
            return;
        const std::string rest = entry.substr(prefix.size());
        children.insert(rest.substr(0, rest.find('/')));
    };
    for (const std::string& directory : mDirectories)
        addChild(directory);
    for (const auto& [file, attribute] : mFiles) {
        if (!(attribute.faults & FAULT_MISSING))
            addChild(file);
    }
    names.assign(children.begin(), children.end());
    return 0;
}

int LedTree::access(const std::string& path, int mask)
{
    std::lock_guard lock(mMutex);
    std::string modeText;
    if (mask == F_OK)
        modeText = "F_OK";
    for (const auto& [bit, name] : {std::pair{R_OK, "R_OK"}, std::pair{W_OK, "W_OK"}, std::pair{X_OK, "X_OK"}}) {
        if (mask & bit)
            modeText += (modeText.empty() ? "" : "|") + std::string(name);
    }
    int status = 0;
    if (mDirectories.count(path)) {
        status = (mask & W_OK) ? -EACCES : 0;
    } else if (const Attribute* file = find(path)) {
        if ((mask & W_OK) && (file->faults & FAULT_READ_ONLY))
            status = -EACCES;
        else if (mask & X_OK)
            status = -EACCES;
    } else {
        status = -ENOENT;
    }
    record("access " + fullPath(path) + " " + modeText + " = " + statusName(status));
    return status;
}

int LedTree::open(const std::string& path, int flags, uint64_t& handle)
{
    std::lock_guard lock(mMutex);
    const Attribute* file = find(path);
    int status = 0;
    if (file == nullptr)
        status = mDirectories.count(path) ? -EISDIR : -ENOENT;
    else if (file->faults & FAULT_OPEN_EACCES)
        status = -EACCES;
    else if ((file->faults & FAULT_READ_ONLY) && (flags & O_ACCMODE) != O_RDONLY)
        status = -EACCES;
    record("open " + fullPath(path) + " " + openFlagsText(flags) + " = " + statusName(status));
    if (status == 0) {
        handle = mNextHandle++;
        mHandles[handle] = path;
    }
    return status;
}

int LedTree::read(uint64_t handle, char* buffer, size_t size, off_t offset)
{
    std::lock_guard lock(mMutex);
    auto it = mHandles.find(handle);
    if (it == mHandles.end())
        return -EBADF;
    const Attribute* file = find(it->second);
    if (file == nullptr)
        return -ENOENT;
    if (offset < 0 || static_cast<size_t>(offset) >= file->value.size())
        return 0;
    const size_t count = std::min(size, file->value.size() - static_cast<size_t>(offset));
    memcpy(buffer, file->value.data() + offset, count);
    return static_cast<int>(count);
}

int LedTree::write(uint64_t handle, const char* data, size_t size)
{
    std::lock_guard lock(mMutex);
    auto it = mHandles.find(handle);
    if (it == mHandles.end())
        return -EBADF;
    const std::string& path = it->second;
    auto fileIt = mFiles.find(path);
    if (fileIt == mFiles.end() || (fileIt->second.faults & FAULT_MISSING))
        return -ENOENT;
    Attribute& file = fileIt->second;
    const std::string_view bytes(data, size);
    int status = static_cast<int>(size);
    if (file.faults & FAULT_WRITE_ENOSPC)
        status = -ENOSPC;
    else if (file.faults & FAULT_WRITE_EIO)
        status = -EIO;
    else if ((file.faults & FAULT_SHORT_WRITE) && size > 0)
        status = static_cast<int>(size - 1);
    // Like sysfs: every write stores a whole new value, whatever the offset, once
    // the attribute has parsed it; an empty write never reaches the attribute.
    if (status > 0) {
        std::string stored;
        const int parsed = storedValue(path, bytes.substr(0, static_cast<size_t>(status)), stored);
        if (parsed == 0) {
            file.value = std::move(stored);
            if (mObserver)
                mObserver(path, file.value);
        } else {
            status = parsed;
        }
    }
    record("write " + fullPath(path) + " " + quoted(bytes) + " = " + statusName(status));
    return status;
}

int LedTree::flush(uint64_t handle)
{
    std::lock_guard lock(mMutex);
    auto it = mHandles.find(handle);
    if (it == mHandles.end())
        return -EBADF;
    const Attribute* file = find(it->second);
    const int status = file != nullptr && (file->faults & FAULT_CLOSE_EIO) ? -EIO : 0;
    record("close " + fullPath(it->second) + " = " + statusName(status));
    return status;
}

void LedTree::release(uint64_t handle)
{
    std::lock_guard lock(mMutex);
    mHandles.erase(handle);
}

int LedTree::truncate(const std::string& path)
{
    std::lock_guard lock(mMutex);
    const Attribute* file = find(path);
    if (file == nullptr)
        return -ENOENT;
    if (file->faults & (FAULT_READ_ONLY | FAULT_OPEN_EACCES))
        return -EACCES;
    // sysfs ignores truncation; the next write replaces the value anyway.
    return 0;
}

std::vector<std::string> LedTree::journal() const
{
    std::lock_guard lock(mMutex);
    return mJournal;
}

std::vector<std::string> LedTree::values() const
{
    std::lock_guard lock(mMutex);
    std::vector<std::string> lines;
    for (const auto& [path, file] : mFiles) {
        if (!(file.faults & FAULT_MISSING))
            lines.push_back("value " + fullPath(path) + " " + quoted(file.value));
    }
    return lines;
}

} // namespace ledsim
