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

String16 interfaceDescriptorOf(const sp<IBinder>& binder, quorvel::status_t* status, Parcel* reply)
{
    if (status)
        *status = quorvel::OK;
    if (!binder)
        return String16();
    Parcel data;
    Parcel ownReply;
    Parcel& answer = reply ? *reply : ownReply;
    const quorvel::status_t result = binder->transact(INTERFACE_QUERY_CODE, data, &answer, 0);
    if (status)
        *status = result;
    // Only OK counts: a positive status is not an error code, but it is not an
    // answer either, whatever the reply happens to carry.
    if (result != quorvel::OK)
        return String16();
    return answer.readString16();
}

String8 toAsciiString8(const String16& text)
{
    String8 result;
    char unit[2] = {0, 0};
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        // A control character from a peer could move the cursor, retitle the
        // terminal or start a line that a script takes for another entry.
        if (c == 0)
            unit[0] = 0;
        else
            unit[0] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        result.append(unit);
    }
    return result;
}

} // namespace servicetool
