// Fuzzes the `service` tool's call argument encoder with arbitrary argument vectors.
// The input is split at zero bytes into arguments. The encoder must consume them
// without reading past the end, and the parcel it builds must read back in full.
#include <call_arguments.h>

#include <quorvel/parcel.h>
#include <quorvel/status.h>
#include <quorvel/string16.h>

#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using quorvel::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    std::vector<std::string> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(bytes[i]);
    }
    // Each argument owns its own allocation, so reading past one is caught.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        storage.emplace_back(new char[argument.size() + 1]);
        std::memcpy(storage.back().get(), argument.c_str(), argument.size() + 1);
        argv.push_back(storage.back().get());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());

    quorvel::Parcel data;
    data.writeInterfaceToken(quorvel::String16("quorvel.example.IEcho"));
    int cursor = 0;
    const servicetool::EncodeResult result = servicetool::encodeCallArguments(argc, argv.data(), cursor, data);

    check(cursor >= 0 && cursor <= argc);
    check((result.status == quorvel::OK && result.message.empty() && cursor == argc) ||
          (result.status == quorvel::BAD_VALUE && !result.message.empty()));
    // The arguments are left as they were given: diagnostics quote them.
    for (size_t i = 0; i < arguments.size(); ++i)
        check(arguments[i] == argv[i]);

    // Everything written is whole words that the readers can walk: the token first.
    check(data.dataSize() % 4 == 0);
    data.setDataPosition(0);
    check(data.readString16() == quorvel::String16("quorvel.example.IEcho"));
    while (data.dataPosition() < data.dataSize()) {
        const size_t before = data.dataPosition();
        int32_t word;
        check(data.readInt32(&word) == quorvel::OK && data.dataPosition() == before + 4);
    }
    data.setDataPosition(0);
    data.print(quorvel::fuzz::nullOutput(), 0);
    return 0;
}
