#include <test_support/raw_peer.h>

#include <quorvel/hosting.h>
#include <quorvel/limits.h>
#include <quorvel/service_manager.h>
#include <quorvel/service_manager_protocol.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace quorvel::testing {

namespace {

// The address of `path`, with an abstract name for "@name"; false if it does not fit.
bool addressOf(const std::string& path, sockaddr_un& address, socklen_t& length)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    length = sizeof address;
    if (path[0] == '@') {
        // An abstract name: no terminator, the length says where it ends.
        address.sun_path[0] = '\0';
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    }
    return true;
}

} // namespace

RawPeer::RawPeer(const std::string& path, int sendBuffer)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = addressOf(path, address, length) ? ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && sendBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) < 0)
        ::close(fd);
    else
        mFd = fd;
}

int listenOn(const std::string& path, int backlog)
{
    sockaddr_un address;
    socklen_t length;
    const int fd = addressOf(path, address, length) ? ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 || ::listen(fd, backlog) < 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

FakeHost::FakeHost(const std::string& path, std::function<void(int)> behaviour, bool accepting)
{
    mFd = listenOn(path);
    if (mFd < 0 || !accepting)
        return;
    mAcceptor = std::thread([this, behaviour] {
        while (!mStop.load()) {
            pollfd p{mFd, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            const int fd = ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            // A thread per connection: a behaviour that waits must not hold up others.
            mConnections.emplace_back([fd, behaviour] {
                behaviour(fd);
                ::close(fd);
            });
        }
    });
}

FakeHost::~FakeHost()
{
    mStop.store(true);
    if (mAcceptor.joinable())
        mAcceptor.join();
    for (std::thread& connection : mConnections)
        connection.join();
    if (mFd >= 0)
        ::close(mFd);
}

std::function<void(int)> answerInTurn(std::vector<std::vector<uint8_t>> answers, std::atomic<int>* answered)
{
    return [answers, answered](int fd) {
        std::vector<uint8_t> request(MAX_FRAME_SIZE + 1);
        for (const std::vector<uint8_t>& answer : answers) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1 || ::recv(fd, request.data(), request.size(), 0) <= 0)
                return;
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (answered)
                ++*answered;
        }
    };
}

std::function<void(int)> managerThen(std::vector<std::vector<uint8_t>> then, bool staySilent)
{
    std::vector<uint8_t> descriptor;
    putString16(descriptor, u"quorvel.os.IServiceRegistry");
    then.insert(then.begin(), makeFrame(FRAME_REPLY, 0, 0, descriptor));
    auto answer = answerInTurn(std::move(then));
    return [answer, staySilent](int fd) {
        answer(fd);
        if (staySilent) {
            pollfd p{fd, POLLRDHUP, 0};
            ::poll(&p, 1, 10000); // until the caller gives up and closes
        }
    };
}

std::string endpointOf(const std::string& name)
{
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    std::string endpoint;
    uint32_t handle = 0;
    if (!sm || describeObject(sm->checkService(String16(name.c_str())), &endpoint, &handle) != OK)
        return {};
    return endpoint;
}

RawPeer::~RawPeer()
{
    if (mFd >= 0)
        ::close(mFd);
}

bool RawPeer::send(const std::vector<uint8_t>& bytes, int passFd)
{
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (passFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    }
    return ::sendmsg(mFd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

RawPeer::Outcome RawPeer::await(std::chrono::milliseconds timeout, FrameHeader* header)
{
    pollfd p{mFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) == 0)
        return Outcome::Nothing;
    // One byte more than the largest frame, so that an oversized one shows as such.
    std::vector<uint8_t> message(MAX_FRAME_SIZE + 1);
    const ssize_t n = ::recv(mFd, message.data(), message.size(), MSG_DONTWAIT);
    if (n <= 0)
        return Outcome::Closed; // end of stream, or a reset
    FrameHeader received;
    if (static_cast<size_t>(n) < sizeof received)
        return Outcome::Garbage;
    std::memcpy(&received, message.data(), sizeof received);
    if (received.magic != FRAME_MAGIC || received.kind != FRAME_REPLY)
        return Outcome::Garbage;
    if (header)
        *header = received;
    return Outcome::Reply;
}

const char* outcomeName(RawPeer::Outcome outcome)
{
    switch (outcome) {
    case RawPeer::Outcome::Reply: return "a reply";
    case RawPeer::Outcome::Closed: return "a hang-up";
    case RawPeer::Outcome::Nothing: return "silence";
    case RawPeer::Outcome::Garbage: return "garbage";
    }
    return "?";
}

void putWord(std::vector<uint8_t>& out, uint32_t value)
{
    const size_t at = out.size();
    out.resize(at + 4);
    std::memcpy(out.data() + at, &value, 4);
}

std::vector<uint8_t> wordBytes(const std::vector<uint32_t>& words)
{
    std::vector<uint8_t> bytes;
    for (const uint32_t word : words)
        putWord(bytes, word);
    return bytes;
}

void putString16(std::vector<uint8_t>& out, const std::u16string& text)
{
    putWord(out, static_cast<uint32_t>(text.size()));
    const size_t bytes = ((text.size() + 1) * 2 + 3) & ~size_t{3};
    const size_t at = out.size();
    out.resize(at + bytes, 0);
    std::memcpy(out.data() + at, text.data(), text.size() * 2);
}

std::vector<uint8_t> makeFrame(uint32_t kind, uint32_t handle, uint32_t code, const std::vector<uint8_t>& data,
                               const std::vector<ObjectRecord>& objects)
{
    std::vector<uint8_t> frame;
    putWord(frame, FRAME_MAGIC);
    putWord(frame, kind);
    putWord(frame, handle);
    putWord(frame, code);
    putWord(frame, 0);
    putWord(frame, static_cast<uint32_t>(data.size()));
    putWord(frame, static_cast<uint32_t>(objects.size()));
    frame.insert(frame.end(), data.begin(), data.end());
    for (const ObjectRecord& object : objects) {
        putWord(frame, object.offset);
        putWord(frame, object.handle);
        putWord(frame, object.pid);
        putWord(frame, object.uid);
        putWord(frame, static_cast<uint32_t>(object.endpoint.size()));
        const size_t at = frame.size();
        frame.resize(at + ((object.endpoint.size() + 3) & ~size_t{3}), 0);
        std::memcpy(frame.data() + at, object.endpoint.data(), object.endpoint.size());
    }
    return frame;
}

std::vector<uint8_t> serviceManagerRequest(uint32_t code, const std::vector<uint8_t>& payload,
                                           const std::vector<ObjectRecord>& objects)
{
    std::vector<uint8_t> data;
    putString16(data, u"quorvel.os.IServiceRegistry");
    data.insert(data.end(), payload.begin(), payload.end());
    return makeFrame(FRAME_TRANSACTION, 0, code, data, objects);
}

// The service manager's interface token as it leads every request's data: a length
// word and 26 units with their terminator, padded to whole words.
constexpr uint32_t TOKEN_BYTES = 4 + 56;

// A registration of "x" whose two data words are `first` and `second` and whose one
// object record claims the slot at `offset`.
std::vector<uint8_t> addServiceWithObjectAt(uint32_t first, uint32_t second, uint32_t offset)
{
    std::vector<uint8_t> payload;
    putString16(payload, u"x");
    putWord(payload, first);
    putWord(payload, second);
    return serviceManagerRequest(SM_ADD_SERVICE, payload, {{offset, 1, "@elsewhere"}});
}

// A look-up whose data holds one object record naming `endpoint`.
std::vector<uint8_t> checkWithEndpoint(const std::string& endpoint)
{
    std::vector<uint8_t> payload;
    putWord(payload, 1);
    putWord(payload, 0);
    return serviceManagerRequest(SM_CHECK_SERVICE, payload, {{TOKEN_BYTES, 1, endpoint}});
}

BadFrame badFrame(int kind, std::mt19937& random)
{
    auto byte = [&] { return static_cast<uint8_t>(random() & 0xFF); };
    // Most kinds spoil a sound look-up; the others replace it.
    std::vector<uint8_t> lookedUp;
    putString16(lookedUp, u"example.echo");
    BadFrame bad;
    bad.bytes = serviceManagerRequest(SM_CHECK_SERVICE, lookedUp);
    // Sets the header word at byte `at`: 20 holds the data size, 24 the object count.
    auto setWord = [&bad](size_t at, uint32_t value) { std::memcpy(bad.bytes.data() + at, &value, 4); };
    switch (kind % BAD_FRAME_KINDS) {
    case 0: {
        bad.what = "random bytes";
        bad.bytes.resize(1 + random() % 300);
        for (auto& b : bad.bytes)
            b = byte();
        bad.bytes[0] ^= 0x5A; // never the magic's first byte by accident
        if (bad.bytes[0] == (FRAME_MAGIC & 0xFF))
            bad.bytes[0] = 0;
        break;
    }
    case 1:
        bad.what = "half a header";
        bad.bytes.resize(1 + random() % (sizeof(FrameHeader) - 1));
        break;
    case 2:
        bad.what = "half a frame";
        bad.bytes.resize(sizeof(FrameHeader) + 4 + random() % 8);
        break;
    case 3:
        bad.what = "wrong magic";
        bad.bytes[3] ^= 0xFF;
        break;
    case 4:
        bad.what = "data size past the end";
        setWord(20, 0xFFFFFFF0u);
        break;
    case 5:
        bad.what = "data size not whole words";
        setWord(20, static_cast<uint32_t>(bad.bytes.size() - sizeof(FrameHeader) - 2)); // no objects
        break;
    case 6:
        bad.what = "more objects than allowed";
        setWord(24, static_cast<uint32_t>(MAX_PARCEL_OBJECTS + 1 + random() % 1000));
        break;
    case 7:
        bad.what = "object slot outside the data";
        bad.bytes = addServiceWithObjectAt(1, 0, static_cast<uint32_t>(1000 + random() % 100000));
        break;
    case 8:
        bad.what = "object record over plain words";
        bad.bytes = addServiceWithObjectAt(7, 7, TOKEN_BYTES + 8);
        break;
    case 9:
        bad.what = "endpoint longer than any address";
        bad.bytes = checkWithEndpoint(std::string(200, 'e'));
        break;
    case 10:
        bad.what = "endpoint with a zero byte";
        bad.bytes = checkWithEndpoint(std::string("@a\0b", 4));
        break;
    case 11:
        bad.what = "a reply where a transaction belongs";
        bad.bytes = makeFrame(FRAME_REPLY, 0, 0, {});
        break;
    case 12:
        bad.what = "a frame larger than any frame may be";
        bad.bytes.resize(MAX_FRAME_SIZE + 1 + random() % 4096, 0xAB);
        break;
    case 13:
        bad.what = "a descriptor passed along";
        bad.passDescriptor = true;
        break;
    case 14: {
        bad.what = "wrong interface token";
        std::vector<uint8_t> data;
        putString16(data, u"quorvel.os.IOther");
        putString16(data, u"example.echo");
        bad.bytes = makeFrame(FRAME_TRANSACTION, 0, SM_CHECK_SERVICE, data);
        bad.expectReply = true;
        break;
    }
    default: {
        // Well framed, but nonsense inside: a name read past the end, a negative page,
        // an unknown code or a handle nobody exported.
        bad.expectReply = true;
        std::vector<uint8_t> payload;
        switch (random() % 4) {
        case 0:
            bad.what = "string length past the end";
            putWord(payload, 0x7FFFFFFF);
            bad.bytes = serviceManagerRequest(SM_CHECK_SERVICE, payload);
            break;
        case 1:
            bad.what = "negative list page";
            putWord(payload, static_cast<uint32_t>(-1 - static_cast<int>(random() % 1000)));
            bad.bytes = serviceManagerRequest(SM_LIST_SERVICES, payload);
            break;
        case 2:
            bad.what = "unknown code";
            bad.bytes = serviceManagerRequest(1000 + random() % 1000, payload);
            break;
        default:
            bad.what = "unknown handle";
            bad.bytes = makeFrame(FRAME_TRANSACTION, 1 + random() % 1000, SM_CHECK_SERVICE, {});
            break;
        }
        break;
    }
    }
    return bad;
}

} // namespace quorvel::testing
