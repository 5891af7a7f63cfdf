#pragma once
// RawPeer: a hand-made client of the transport that sends whatever bytes a test gives
// it, for playing a hostile or broken peer against a hosting process. Also builds
// frames byte by byte, well-formed or deliberately not.

#include <quorvel/binder.h>

#include "frame_codec.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::testing {

class RawPeer {
public:
    // Connects to the socket at `path`; connected() tells whether it worked. A
    // `sendBuffer` size (bytes) lets one message carry a frame larger than the default.
    explicit RawPeer(const std::string& path, int sendBuffer = 0);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connected() const { return mFd >= 0; }

    // Sends `bytes` as one message, with `passFd` attached as SCM_RIGHTS when >= 0.
    bool send(const std::vector<uint8_t>& bytes, int passFd = -1);

    enum class Outcome {
        Reply,
        Closed,
        Nothing,
        Garbage
    };
    // Waits up to `timeout` for the next message: a reply frame (its header in
    // `header`), the peer closing the connection, nothing at all, or something else.
    Outcome await(std::chrono::milliseconds timeout, FrameHeader* header = nullptr);

private:
    int mFd = -1;
};

// How an outcome reads in a message ("a reply", "a hang-up"); gtest prints it so too.
const char* outcomeName(RawPeer::Outcome outcome);
inline void PrintTo(RawPeer::Outcome outcome, std::ostream* out)
{
    *out << outcomeName(outcome);
}

// An object of this process that answers every call with OK: something for a
// reference to point at.
class NullObject : public LocalBinder {
protected:
    status_t onTransact(uint32_t, const Parcel&, Parcel*, uint32_t) override { return OK; }
};

// A socket at `path` that plays a host (a fake or broken service manager): each
// connection it accepts is handed to `behaviour` on its own thread, which closes it
// afterwards. With `accepting` false it listens and never accepts, so connects still
// succeed (into the backlog) and nothing is ever answered.
class FakeHost {
public:
    FakeHost(const std::string& path, std::function<void(int fd)> behaviour, bool accepting = true);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    bool listening() const { return mFd >= 0; }

private:
    int mFd = -1;
    std::atomic<bool> mStop{false};
    std::thread mAcceptor;
    std::vector<std::thread> mConnections; // touched by mAcceptor only, until it is joined
};

// A close-on-exec seqpacket socket listening at `path` ("@name" for an abstract name);
// -1 if it cannot be made.
int listenOn(const std::string& path, int backlog = 16);

// Behaviours for FakeHost. Each reads requests and answers the n-th with answers[n]
// (counting the requests it answered in `answered`, when given); past the end of
// `answers` it closes the connection.
std::function<void(int)> answerInTurn(std::vector<std::vector<uint8_t>> answers, std::atomic<int>* answered = nullptr);
// Answers the descriptor query as a service manager, then `then` in turn; with
// `staySilent`, then holds the connection (up to 10 s) until the caller closes it.
std::function<void(int)> managerThen(std::vector<std::vector<uint8_t>> then, bool staySilent = false);

// The endpoint of the process hosting the service `name`, as a reference to it
// carries it; empty when the service manager does not know the name.
std::string endpointOf(const std::string& name);

// A 32-bit word and a UTF-16 string as the parcel encoding lays them out.
void putWord(std::vector<uint8_t>& out, uint32_t value);
void putString16(std::vector<uint8_t>& out, const std::u16string& text);
// 32-bit words laid out as bytes, for frames written word by word.
std::vector<uint8_t> wordBytes(const std::vector<uint32_t>& words);

struct ObjectRecord {
    uint32_t offset;
    uint32_t handle;
    std::string endpoint;
    uint32_t pid = 0; // of the process that must be listening at `endpoint`
    uint32_t uid = 0;
};

// A complete frame: header, data, object table.
std::vector<uint8_t> makeFrame(uint32_t kind, uint32_t handle, uint32_t code, const std::vector<uint8_t>& data,
                               const std::vector<ObjectRecord>& objects = {});

// A service manager request with the interface token in front of `payload`.
std::vector<uint8_t> serviceManagerRequest(uint32_t code, const std::vector<uint8_t>& payload,
                                           const std::vector<ObjectRecord>& objects = {});

// One of the ways a frame can be wrong, chosen by `kind` (any number; it wraps), and
// what the receiving process must do about it.
struct BadFrame {
    std::vector<uint8_t> bytes;
    bool passDescriptor = false; // send an open descriptor along
    bool expectReply = false; // an error reply on a live connection, else a hang-up
    const char* what = "";
};
inline constexpr int BAD_FRAME_KINDS = 16;
BadFrame badFrame(int kind, std::mt19937& random);

} // namespace quorvel::testing
