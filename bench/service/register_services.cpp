// Registers COUNT echo services named bench.service.0000, bench.service.0001, ...
// with the service manager and serves them until SIGTERM or SIGINT, so that the
// listing benchmark has a realistic number of services to look up and query.
// Prints "ready" on standard output once every service is registered.
#include <quorvel/binder.h>
#include <quorvel/parcel.h>
#include <quorvel/service_manager.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>
#include <quorvel/strong_pointer.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Answers the descriptor query like a real service and echoes everything else.
class BenchEcho : public quorvel::LocalBinder {
protected:
    quorvel::status_t onTransact(uint32_t code, const quorvel::Parcel& data, quorvel::Parcel* reply, uint32_t) override
    {
        if (code == quorvel::INTERFACE_TRANSACTION)
            return reply->writeString16(quorvel::String16("quorvel.bench.IEcho"));
        reply->writeInt32(static_cast<int32_t>(code));
        return reply->appendFrom(data);
    }
};

void stop(int)
{
    quorvel::stopServing();
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc == 2 ? std::atoi(argv[1]) : 0;
    if (count <= 0 || count > 9999) {
        std::fprintf(stderr, "usage: service_bench_register COUNT (1 to 9999)\n");
        return 2;
    }
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);

    quorvel::sp<quorvel::ServiceManagerPort> serviceManager = quorvel::defaultServiceManager();
    if (!serviceManager) {
        std::fprintf(stderr, "service_bench_register: cannot reach the service manager\n");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "bench.service.%04d", i);
        const quorvel::status_t status =
            serviceManager->addService(quorvel::String16(name), quorvel::sp<quorvel::IBinder>(new BenchEcho));
        if (status != quorvel::OK) {
            std::fprintf(stderr, "service_bench_register: cannot register %s: %s\n", name,
                         quorvel::statusToString(status));
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const quorvel::status_t status = quorvel::serve();
    serviceManager.clear();
    return status == quorvel::OK ? 0 : 1;
}
