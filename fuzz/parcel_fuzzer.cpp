// Fuzzes the parcel readers and Parcel::print on arbitrary bytes. The first part of
// the input is a script of read operations, the rest is the parcel's data; every
// reader must stay inside the data and leave the position alone when it fails.
#include <quorvel/binder.h>
#include <quorvel/parcel.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>

#include "fuzz_support.h"
#include "parcel_access.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace quorvel;

using quorvel::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider input(bytes, size);
    const size_t scriptLength = input.ConsumeIntegralInRange<size_t>(0, 64);
    const std::vector<uint8_t> script = input.ConsumeBytes<uint8_t>(scriptLength);
    const std::vector<uint8_t> data = input.ConsumeRemainingBytes<uint8_t>();

    Parcel parcel;
    ParcelAccess::data(parcel).assign(data.begin(), data.end());

    bool printed = false;
    for (size_t i = 0; i < script.size(); ++i) {
        const uint8_t op = script[i];
        const size_t before = parcel.dataPosition();
        status_t status = OK;
        switch (op % 8) {
        case 0: {
            int32_t value;
            status = parcel.readInt32(&value);
            break;
        }
        case 1: {
            uint32_t value;
            status = parcel.readUint32(&value);
            break;
        }
        case 2: {
            String16 text;
            status = parcel.readString16(&text);
            if (status == OK)
                check(text.size() * 2 < parcel.dataSize());
            break;
        }
        case 3: {
            sp<IBinder> binder;
            status = parcel.readStrongBinder(&binder);
            // No object table here: only the null object can be read.
            check(status != OK || binder == nullptr);
            break;
        }
        case 4:
            parcel.enforceInterface(String16("quorvel.os.IServiceRegistry"));
            continue; // its position after a mismatch is the caller's concern
        case 5:
            // Any position, in range or far past the end, must be harmless.
            parcel.setDataPosition(op < 128 ? static_cast<size_t>(op) * 4 : SIZE_MAX - op);
            continue;
        case 6:
            // Printing costs a system call per 4 KiB; once a script is enough.
            if (!printed)
                parcel.print(fuzz::nullOutput(), 0);
            printed = true;
            continue;
        case 7:
            (void)parcel.readInt32();
            (void)parcel.readString16();
            (void)parcel.readStrongBinder();
            continue;
        }
        if (status != OK)
            check(parcel.dataPosition() == before);
        else
            check(parcel.dataPosition() > before && parcel.dataPosition() <= parcel.dataSize());
    }

    if (!printed)
        parcel.print(fuzz::nullOutput(), 0);

    // Appending the parcel to another one copies it byte for byte.
    Parcel copy;
    if (copy.appendFrom(parcel) == OK)
        check(copy.dataSize() == parcel.dataSize() &&
              (parcel.dataSize() == 0 || std::memcmp(copy.data(), parcel.data(), parcel.dataSize()) == 0));

    // A failed parcel prints its status whatever it held.
    parcel.setError(static_cast<status_t>(data.empty() ? -1 : -static_cast<int32_t>(data[0])));
    parcel.print(fuzz::nullOutput(), 0);
    return 0;
}
