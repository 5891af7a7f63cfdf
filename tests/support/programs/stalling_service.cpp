// stalling-service: registers one service that answers the descriptor query and then
// stops in the middle of every other call, for the tests of a service that dies while
// a caller waits; or one that calls other objects from inside its calls.
//
//   stalling-service NAME MARKER hang   create MARKER when a call arrives, then wait forever
//   stalling-service NAME MARKER exit   create MARKER, then exit without answering
//   stalling-service NAME MARKER relay  code 1: call the object in the data with code 2,
//                                       passing itself, and answer with the int32 of
//                                       that reply (or fail with its status); code 3:
//                                       answer 42
//   stalling-service NAME MARKER mute   register NAME.0 to NAME.4, objects of this one
//                                       process that append a byte to MARKER for each
//                                       descriptor query, then never answer it
#include <quorvel/binder.h>
#include <quorvel/service_manager.h>
#include <quorvel/string16.h>
#include <quorvel/text_output.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace quorvel;

namespace {

// Calls out from inside a call, and takes calls back in while it waits.
class RelayService : public LocalBinder {
protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        if (code == INTERFACE_TRANSACTION)
            return reply->writeString16(String16("quorvel.test.IRelay"));
        if (code == 3)
            return reply->writeInt32(42);
        if (code != 1)
            return UNKNOWN_TRANSACTION;
        sp<IBinder> other;
        if (data.readStrongBinder(&other) != OK || !other)
            return BAD_VALUE;
        Parcel request, answer;
        request.writeStrongBinder(sp<IBinder>(this));
        const status_t status = other->transact(2, request, &answer);
        if (status != OK)
            return status;
        return reply->writeInt32(answer.readInt32());
    }
};

class StallingService : public LocalBinder {
public:
    StallingService(std::string marker, bool exitInCall)
        : mMarker(std::move(marker))
        , mExitInCall(exitInCall)
    {
    }

protected:
    status_t onTransact(uint32_t code, const Parcel&, Parcel* reply, uint32_t) override
    {
        if (code == INTERFACE_TRANSACTION)
            return reply->writeString16(String16("quorvel.test.IStalling"));
        const int fd = ::open(mMarker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
        if (mExitInCall)
            ::_exit(0);
        for (;;)
            ::pause();
    }

private:
    const std::string mMarker;
    const bool mExitInCall;
};

// Counts the descriptor queries it gets, so a test can tell how many a caller sent
// to a host that never answers.
class MuteService : public LocalBinder {
public:
    explicit MuteService(std::string marker)
        : mMarker(std::move(marker))
    {
    }

protected:
    status_t onTransact(uint32_t, const Parcel&, Parcel*, uint32_t) override
    {
        const int fd = ::open(mMarker.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const char mark = 'q';
            [[maybe_unused]] const ssize_t written = ::write(fd, &mark, 1);
            ::close(fd);
        }
        for (;;)
            ::pause();
    }

private:
    const std::string mMarker;
};

constexpr int MUTE_NAMES = 5;

} // namespace

int main(int argc, char** argv)
{
    const bool relay = argc == 4 && std::strcmp(argv[3], "relay") == 0;
    const bool mute = argc == 4 && std::strcmp(argv[3], "mute") == 0;
    if (argc != 4 || (std::strcmp(argv[3], "hang") != 0 && std::strcmp(argv[3], "exit") != 0 && !relay && !mute)) {
        aerr << "usage: stalling-service NAME MARKER hang|exit|relay|mute" << endl;
        return 2;
    }
    const sp<ServiceManagerPort> sm = defaultServiceManager();
    if (!sm) {
        aerr << "stalling-service: no service manager" << endl;
        return 1;
    }
    for (int i = 0; mute && i < MUTE_NAMES; ++i) {
        const std::string name = std::string(argv[1]) + "." + std::to_string(i);
        if (sm->addService(String16(name.c_str()), sp<IBinder>(new MuteService(argv[2]))) != OK) {
            aerr << "stalling-service: cannot register " << name.c_str() << endl;
            return 1;
        }
    }
    if (mute)
        return serve() == OK ? 0 : 1;
    const sp<IBinder> service = relay ? sp<IBinder>(new RelayService())
                                      : sp<IBinder>(new StallingService(argv[2], std::strcmp(argv[3], "exit") == 0));
    if (sm->addService(String16(argv[1]), service) != OK) {
        aerr << "stalling-service: cannot register " << argv[1] << endl;
        return 1;
    }
    return serve() == OK ? 0 : 1;
}
