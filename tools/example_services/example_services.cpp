#include "example_services.h"

namespace quorvel {

namespace {

// How a service answers INTERFACE_TRANSACTION.
enum class Descriptor {
    Text,
    Empty,
    Refuse
};

// Replies with the code as an int32 followed by the data parcel verbatim, so a
// caller sees exactly what arrived, interface token and object references included.
class EchoService : public LocalBinder {
public:
    EchoService(Descriptor mode, const char* utf8)
        : mMode(mode)
        , mDescriptor(utf8)
    {
    }

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        if (code == INTERFACE_TRANSACTION) {
            if (mMode == Descriptor::Refuse)
                return REFUSING_STATUS;
            return reply->writeString16(mDescriptor);
        }
        const status_t status = reply->writeInt32(static_cast<int32_t>(code));
        return status != OK ? status : reply->appendFrom(data);
    }

private:
    const Descriptor mMode;
    const String16 mDescriptor;
};

class FailingService : public LocalBinder {
protected:
    status_t onTransact(uint32_t code, const Parcel&, Parcel* reply, uint32_t) override
    {
        if (code == INTERFACE_TRANSACTION)
            return reply->writeString16(String16("quorvel.example.IFailing"));
        return FAILING_STATUS;
    }
};

} // namespace

sp<IBinder> makeEchoService(const char* descriptor)
{
    return new EchoService(Descriptor::Text, descriptor);
}

std::vector<ExampleService> makeExampleServices()
{
    return {
        {"example.echo", makeEchoService(ECHO_DESCRIPTOR)},
        {"example.nodescriptor", new EchoService(Descriptor::Empty, "")},
        {"example.refusing", new EchoService(Descriptor::Refuse, "")},
        {"example.unicode", new EchoService(Descriptor::Text, "quorvel.example.Caf\xC3\xA9\xE2\x98\x83")},
        {"example.failing", new FailingService()},
    };
}

} // namespace quorvel
