#include "display_text.h"

#include <quorvel/parcel.h>
#include <quorvel/status.h>

namespace servicetool {

using quorvel::IBinder;
using quorvel::Parcel;
using quorvel::sp;
using quorvel::String16;
using quorvel::String8;

static_assert(INTERFACE_QUERY_CODE ==
              ((uint32_t{'_'} << 24) | (uint32_t{'N'} << 16) | (uint32_t{'T'} << 8) | uint32_t{'F'}));
static_assert(INTERFACE_QUERY_CODE == quorvel::INTERFACE_TRANSACTION);

String16 interfaceDescriptorOf(const sp<IBinder>& binder)
{
    if (!binder)
        return String16();
    Parcel data;
    Parcel reply;
    // Only OK counts: a positive status is not an error code, but it is not an
    // answer either, whatever the reply happens to carry.
    if (binder->transact(INTERFACE_QUERY_CODE, data, &reply, 0) != quorvel::OK)
        return String16();
    return reply.readString16();
}

String8 toAsciiString8(const String16& text)
{
    String8 result;
    char unit[2] = {0, 0};
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        unit[0] = c < 128 ? static_cast<char>(c) : '?';
        result.append(unit);
    }
    return result;
}

} // namespace servicetool
