// The simulated LED class tree behind ledsim: the attribute files of one board
// profile, their stored values, injected faults, and a journal of every access.
// Paths are relative to the tree's root ("/red/brightness"). Thread-safe.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ledsim {

// Where the tree is mounted; journal lines show full paths under it.
inline constexpr std::string_view MOUNT_POINT = "/sys/class/leds";

// Which attribute files a board offers.
struct Profile {
    bool amber = false; // amber/green indicator pair instead of red/green/blue
    bool trackball = false; // jogball-backlight light
    bool blinkTiming = true; // red/device/grpfreq and grppwm (RGB boards)
    bool lcdAuto = false; // lcd-backlight/auto
};

enum Fault : unsigned {
    FAULT_MISSING = 1u << 0, // the file does not exist
    FAULT_OPEN_EACCES = 1u << 1, // every open is refused with EACCES
    FAULT_READ_ONLY = 1u << 2, // mode 0444: not writable, open for writing gets EACCES
    FAULT_WRITE_ENOSPC = 1u << 3, // every write fails with ENOSPC
    FAULT_WRITE_EIO = 1u << 4, // every write fails with EIO
    FAULT_SHORT_WRITE = 1u << 5, // every write takes one byte less than offered
    FAULT_CLOSE_EIO = 1u << 6, // close (flush) fails with EIO
};

// Parses "rgb" or "amber" followed by "+trackball", "+lcd-auto", "+no-blink-timing".
// Returns false with a message for anything else.
bool parseProfile(std::string_view text, Profile& profile, std::string& error);

// Parses one fault name ("missing", "eacces", "readonly", "enospc", "eio", "short",
// "close-eio").
bool parseFault(std::string_view text, Fault& fault, std::string& error);

// "/red/brightness" from "red/brightness" or "/sys/class/leds/red/brightness";
// empty when the text names nothing inside the tree.
std::string treePath(std::string_view text);

// The attribute files of a profile, sorted.
std::vector<std::string> profileFiles(const Profile& profile);

// "-ENOENT" and the like for a negated errno value, "0" for 0.
std::string statusName(int status);

// "O_RDWR|O_APPEND" and the like. O_LARGEFILE is left out: 64-bit kernels add it to
// every open themselves, whatever the caller asked for.
std::string openFlagsText(int flags);

// What the target's LED class stores for bytes written to the attribute file at
// PATH: the text the file then reads back, or a negated errno value when the
// kernel refuses the write. A "brightness" file parses an unsigned long of the
// 32-bit target (kstrtoul) and clamps it to the maximum brightness, 255; every
// other attribute parses an int (kstrtoint). Both take decimal digits with an
// optional sign and one trailing newline, and nothing else.
int storedValue(std::string_view path, std::string_view bytes, std::string& stored);

// Text with newlines and other bytes outside printable ASCII escaped, in quotes.
std::string quoted(std::string_view bytes);

class LedTree {
public:
    explicit LedTree(const Profile& profile);

    // Adds a fault to a file of the profile; false with a message if there is none.
    bool addFault(const std::string& path, Fault fault, std::string& error);

    // Called with a file's path and its new value after every write that stored one,
    // with the tree's lock held: it must be quick and must not call back into the tree.
    using WriteObserver = std::function<void(const std::string& path, const std::string& value)>;
    void setWriteObserver(WriteObserver observer);

    // File system operations, each 0 (or a count) or a negated errno value.
    int getattr(const std::string& path, struct stat& attributes);
    int listDirectory(const std::string& path, std::vector<std::string>& names);
    int access(const std::string& path, int mask);
    int open(const std::string& path, int flags, uint64_t& handle);
    int read(uint64_t handle, char* buffer, size_t size, off_t offset);
    int write(uint64_t handle, const char* data, size_t size);
    int flush(uint64_t handle);
    void release(uint64_t handle);
    int truncate(const std::string& path);

    std::vector<std::string> journal() const;
    // "value PATH "TEXT"" for every file, sorted by path.
    std::vector<std::string> values() const;

private:
    struct Attribute {
        std::string value = "0\n";
        unsigned faults = 0;
    };

    const Attribute* find(const std::string& path) const;
    void record(std::string line);

    mutable std::mutex mMutex;
    std::map<std::string, Attribute> mFiles;
    std::set<std::string> mDirectories;
    std::map<uint64_t, std::string> mHandles;
    uint64_t mNextHandle = 1;
    std::vector<std::string> mJournal;
    WriteObserver mObserver;
};

} // namespace ledsim
