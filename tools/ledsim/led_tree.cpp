// The simulated LED class tree: sysfs-like attribute files with faults and a journal.
#include "led_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ledsim {

namespace {

const char* const COMMON_FILES[] = {
    "/lcd-backlight/brightness",
    "/keyboard-backlight/brightness",
    "/button-backlight/brightness",
    "/green/brightness",
};

std::string fullPath(const std::string& path)
{
    return std::string(MOUNT_POINT) + path;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

} // namespace

bool parseProfile(std::string_view text, Profile& profile, std::string& error)
{
    Profile parsed;
    const auto parts = split(text, '+');
    if (parts[0] == "rgb")
        parsed.amber = false;
    else if (parts[0] == "amber")
        parsed.amber = true;
    else {
        error = "unknown board profile \"" + std::string(parts[0]) + "\" (expected rgb or amber)";
        return false;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] == "trackball")
            parsed.trackball = true;
        else if (parts[i] == "lcd-auto")
            parsed.lcdAuto = true;
        else if (parts[i] == "no-blink-timing")
            parsed.blinkTiming = false;
        else {
            error = "unknown profile feature \"" + std::string(parts[i]) +
                "\" (expected trackball, lcd-auto or no-blink-timing)";
            return false;
        }
    }
    profile = parsed;
    return true;
}

bool parseFault(std::string_view text, Fault& fault, std::string& error)
{
    static const struct {
        const char* name;
        Fault fault;
    } names[] = {
        {"missing", FAULT_MISSING},     {"eacces", FAULT_OPEN_EACCES}, {"readonly", FAULT_READ_ONLY},
        {"enospc", FAULT_WRITE_ENOSPC}, {"eio", FAULT_WRITE_EIO},      {"short", FAULT_SHORT_WRITE},
        {"close-eio", FAULT_CLOSE_EIO},
    };
    for (const auto& entry : names) {
        if (text == entry.name) {
            fault = entry.fault;
            return true;
        }
    }
    error = "unknown fault \"" + std::string(text) +
        "\" (expected missing, eacces, readonly, enospc, eio, short or close-eio)";
    return false;
}

std::string treePath(std::string_view text)
{
    std::string_view rest = text;
    if (rest.starts_with(MOUNT_POINT)) {
        rest.remove_prefix(MOUNT_POINT.size());
        if (!rest.empty() && rest.front() != '/')
            return {};
    }
    while (!rest.empty() && rest.front() == '/')
        rest.remove_prefix(1);
    if (rest.empty())
        return {};
    return "/" + std::string(rest);
}

std::vector<std::string> profileFiles(const Profile& profile)
{
    std::vector<std::string> files(std::begin(COMMON_FILES), std::end(COMMON_FILES));
    if (profile.amber) {
        files.push_back("/amber/brightness");
        files.push_back("/amber/blink");
    } else {
        files.push_back("/red/brightness");
        files.push_back("/blue/brightness");
        files.push_back("/red/device/blink");
        if (profile.blinkTiming) {
            files.push_back("/red/device/grpfreq");
            files.push_back("/red/device/grppwm");
        }
    }
    if (profile.trackball) {
        files.push_back("/jogball-backlight/brightness");
        files.push_back("/jogball-backlight/blink");
    }
    if (profile.lcdAuto)
        files.push_back("/lcd-backlight/auto");
    std::sort(files.begin(), files.end());
    return files;
}

std::string statusName(int status)
{
    if (status >= 0)
        return std::to_string(status);
    switch (-status) {
    case ENOENT: return "-ENOENT";
    case EACCES: return "-EACCES";
    case ENOSPC: return "-ENOSPC";
    case EIO: return "-EIO";
    case EINVAL: return "-EINVAL";
    case ERANGE: return "-ERANGE";
    case EBADF: return "-EBADF";
    case EISDIR: return "-EISDIR";
    case ENOTDIR: return "-ENOTDIR";
    case ENOMEM: return "-ENOMEM";
    case EPERM: return "-EPERM";
    default: return std::to_string(status);
    }
}

// The kernel's own O_LARGEFILE bit as FUSE reports it on the build machine; the C
// library's O_LARGEFILE is 0 on 64-bit targets.
const int KERNEL_O_LARGEFILE = 0100000;

std::string openFlagsText(int flags)
{
    std::string text;
    switch (flags & O_ACCMODE) {
    case O_RDONLY: text = "O_RDONLY"; break;
    case O_WRONLY: text = "O_WRONLY"; break;
    case O_RDWR: text = "O_RDWR"; break;
    default: text = "O_ACCMODE"; break;
    }
    static const struct {
        int flag;
        const char* name;
    } named[] = {
        // Composite flags first: O_SYNC contains O_DSYNC, O_TMPFILE contains O_DIRECTORY.
        {O_SYNC, "O_SYNC"},       {O_TMPFILE, "O_TMPFILE"}, {O_CREAT, "O_CREAT"},         {O_EXCL, "O_EXCL"},
        {O_NOCTTY, "O_NOCTTY"},   {O_TRUNC, "O_TRUNC"},     {O_APPEND, "O_APPEND"},       {O_NONBLOCK, "O_NONBLOCK"},
        {O_DSYNC, "O_DSYNC"},     {O_DIRECT, "O_DIRECT"},   {O_DIRECTORY, "O_DIRECTORY"}, {O_NOFOLLOW, "O_NOFOLLOW"},
        {O_NOATIME, "O_NOATIME"}, {O_CLOEXEC, "O_CLOEXEC"}, {O_PATH, "O_PATH"},
    };
    int rest = flags & ~O_ACCMODE & ~KERNEL_O_LARGEFILE;
    for (const auto& entry : named) {
        if ((rest & entry.flag) == entry.flag) {
            text += '|';
            text += entry.name;
            rest &= ~entry.flag;
        }
    }
    if (rest != 0) {
        char hex[16];
        snprintf(hex, sizeof hex, "|0x%x", static_cast<unsigned>(rest));
        text += hex;
    }
    return text;
}

namespace {

// The kernel's decimal parser: digits, then at most one newline. An overflow is
// -ERANGE even when other bytes follow; no digits or anything else is -EINVAL.
int parseDecimal(std::string_view text, uint64_t& value)
{
    uint64_t result = 0;
    bool overflow = false;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (result > (UINT64_MAX - digit) / 10)
            overflow = true;
        else
            result = result * 10 + digit;
    }
    if (overflow)
        return -ERANGE;
    if (i == 0)
        return -EINVAL;
    if (i < text.size() && text[i] == '\n')
        ++i;
    if (i != text.size())
        return -EINVAL;
    value = result;
    return 0;
}

const unsigned MAX_BRIGHTNESS = 255;

} // namespace

int storedValue(std::string_view path, std::string_view bytes, std::string& stored)
{
    // sysfs hands the attribute a C string: it ends at the first NUL.
    std::string_view text = bytes.substr(0, bytes.find('\0'));
    uint64_t magnitude = 0;
    if (path.ends_with("/brightness")) {
        if (text.starts_with('+'))
            text.remove_prefix(1);
        if (const int status = parseDecimal(text, magnitude); status != 0)
            return status;
        if (magnitude > UINT32_MAX)
            return -ERANGE;
        stored = std::to_string(std::min<uint64_t>(magnitude, MAX_BRIGHTNESS)) + "\n";
        return 0;
    }
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+'))
        text.remove_prefix(1);
    // After a minus sign the kernel takes no plus sign.
    if (negative && text.starts_with('+'))
        return -EINVAL;
    if (const int status = parseDecimal(text, magnitude); status != 0)
        return status;
    const uint64_t limit = negative ? uint64_t{1} << 31 : uint64_t{INT32_MAX};
    if (magnitude > limit)
        return -ERANGE;
    const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    stored = std::to_string(value) + "\n";
    return 0;
}

std::string quoted(std::string_view bytes)
{
    std::string text = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n')
            text += "\\n";
        else if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (byte >= 0x20 && byte < 0x7F)
            text += c;
        else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        }
    }
    text += '"';
    return text;
}

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
