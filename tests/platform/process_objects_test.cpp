// Which object table the code below the host gets. Built twice: linked with the
// hosting library (QUORVEL_LINKS_HOST), where the host is installed before main()
// even in a program that calls no hosting function, so an object it registers is
// exported; and linked with the calling-only face, whose table makes proxies and
// refuses to send an object of this process (there is nobody to answer for it).
// The test itself names no hosting function, or the linker would take the host in
// for that reason alone.
#include <quorvel/binder.h>

#include "binder_proxy.h"
#include "process_objects.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quorvel {
namespace {

class Silent : public LocalBinder {
protected:
    status_t onTransact(uint32_t, const Parcel&, Parcel*, uint32_t) override { return OK; }
};

const ObjectRef OTHER_HOST{"@quorvel.1.00000000000000ff", 7, PeerIdentity{1, 0}};

#ifdef QUORVEL_LINKS_HOST

TEST(HostedProcessObjects, AnObjectOfThisProcessIsExportedWithoutAnyHostingCall)
{
    ObjectTable& objects = processObjects().objects();
    const sp<IBinder> object(new Silent);
    ObjectRef ref;
    ASSERT_EQ(objects.describeObject(object, &ref), OK);
    EXPECT_EQ(ref.host.pid, ::getpid());
    EXPECT_EQ(ref.endpoint.rfind("@quorvel.", 0), 0u) << ref.endpoint;
    // The reference comes back as the object itself, another host's as a proxy.
    EXPECT_EQ(objects.resolveObject(ref).get(), object.get());
    const sp<IBinder> proxy = objects.resolveObject(OTHER_HOST);
    ASSERT_NE(proxy, nullptr);
    EXPECT_FALSE(proxy->isLocal());
}

#else

TEST(CallingOnlyProcessObjects, ReferencesBecomeProxiesAndTravelBackAsTheyCame)
{
    ObjectTable& objects = processObjects().objects();
    const sp<IBinder> proxy = objects.resolveObject(OTHER_HOST);
    ASSERT_NE(proxy, nullptr);
    EXPECT_FALSE(proxy->isLocal());
    ObjectRef ref;
    ASSERT_EQ(objects.describeObject(proxy, &ref), OK);
    EXPECT_EQ(ref.endpoint, OTHER_HOST.endpoint);
    EXPECT_EQ(ref.handle, OTHER_HOST.handle);
    EXPECT_EQ(ref.host, OTHER_HOST.host);
}

TEST(CallingOnlyProcessObjects, AnObjectOfThisProcessCannotTravel)
{
    ObjectTable& objects = processObjects().objects();
    ObjectRef ref;
    EXPECT_EQ(objects.describeObject(sp<IBinder>(new Silent), &ref), BAD_TYPE);
    EXPECT_EQ(objects.describeObject(nullptr, &ref), BAD_VALUE);
    // Nothing to watch: handing it a connection is harmless.
    processObjects().watchRegistrations(nullptr);
}

#endif

} // namespace
} // namespace quorvel
