// The simulated LED class tree behind ledsim: the attribute files of one board
// profile, their stored values, injected faults, and a journal of every access.
// Paths are relative to the tree's root ("/red/brightness"). Thread-safe.
#pragma once

// The tree's words and text forms, which every user of the tree needs beside it.
#include "journal_text.h"
#include "kernel_value.h"
#include "vocabulary.h"

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ledsim {

class LedTree {
public:
    explicit LedTree(const Profile& profile);

    // Gives a file of the profile its fault; false with a message if there is no such
    // file or it has one already (the target's driver takes one fault per file; only
    // close-eio, which it cannot make, may join another).
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
