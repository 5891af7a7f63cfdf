// docs/ipc.md states the transport's limits as numbers; they must be the numbers the
// code enforces. Each is worked out here from the constants and looked up in the text.
#include <quorvel/limits.h>

#include "frame_codec.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace quorvel {
namespace {

std::string readIpcDocument()
{
    std::ifstream in(std::string(QUORVEL_SOURCE_DIR) + "/docs/ipc.md");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// 73756 as "73,756": the document groups thousands of bytes.
std::string withCommas(size_t value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

// The value column of the limits table's row that starts with `limit`, or "" when
// there is no such row.
std::string valueOf(const std::string& document, const std::string& limit)
{
    const std::string start = "\n| " + limit + " | ";
    const size_t at = document.find(start);
    if (at == std::string::npos)
        return {};
    const size_t from = at + start.size();
    return document.substr(from, document.find(" |", from) - from);
}

TEST(LimitsDocument, StatesTheLimitsTheCodeEnforces)
{
    const std::string document = readIpcDocument();
    ASSERT_FALSE(document.empty()) << "cannot read docs/ipc.md";

    // The largest frame: the header, a full parcel and a full object table, each
    // record with the longest endpoint padded to whole words.
    const size_t record = OBJECT_RECORD_HEADER + (MAX_ENDPOINT_LENGTH + 3) / 4 * 4;
    const size_t largestFrame = sizeof(FrameHeader) + MAX_PARCEL_DATA + MAX_PARCEL_OBJECTS * record;
    EXPECT_EQ(largestFrame, MAX_FRAME_SIZE);
    EXPECT_EQ(valueOf(document, "frame"),
              "header + data + object table (at most " + withCommas(largestFrame) + " bytes)");

    EXPECT_EQ(valueOf(document, "parcel data"), std::to_string(MAX_PARCEL_DATA / 1024) + " KiB");
    EXPECT_EQ(valueOf(document, "object references per parcel"), std::to_string(MAX_PARCEL_OBJECTS));
    EXPECT_EQ(valueOf(document, "endpoint address"), std::to_string(MAX_ENDPOINT_LENGTH) + " bytes");
    EXPECT_EQ(valueOf(document, "service name"), std::to_string(MAX_SERVICE_NAME_LENGTH) + " UTF-16 units");
    EXPECT_EQ(valueOf(document, "registered services"), std::to_string(MAX_SERVICES));
    EXPECT_EQ(valueOf(document, "connections per hosting process (daemon included)"),
              std::to_string(MAX_CONNECTIONS) + " (`MAX_CONNECTIONS`)");
    EXPECT_EQ(valueOf(document, "connections of one uid other than root and the host's own"),
              std::to_string(MAX_CONNECTIONS_PER_UID) + " (`MAX_CONNECTIONS_PER_UID`)");
    EXPECT_EQ(valueOf(document, "connections of all such uids together"),
              std::to_string(MAX_CONNECTIONS) + " - " + std::to_string(RESERVED_CONNECTIONS) +
                  " (`RESERVED_CONNECTIONS` stay for root and the host's uid)");
    EXPECT_EQ(valueOf(document, "idle client connections kept per host"),
              std::to_string(MAX_IDLE_CONNECTIONS_PER_HOST) + " (`MAX_IDLE_CONNECTIONS_PER_HOST`)");
    EXPECT_EQ(valueOf(document, "idle client connections kept in all, per process"),
              std::to_string(MAX_IDLE_CONNECTIONS) + " (`MAX_IDLE_CONNECTIONS`)");
    EXPECT_NE(document.find("keeps at most " + std::to_string(MAX_IDLE_CONNECTIONS_PER_HOST) +
                            " idle connections per host and " + std::to_string(MAX_IDLE_CONNECTIONS) + " in all"),
              std::string::npos);
    EXPECT_EQ(valueOf(document, "time to the first complete frame"),
              std::to_string(FIRST_FRAME_TIMEOUT_MS / 1000) + " s (`FIRST_FRAME_TIMEOUT_MS`)");
}

} // namespace
} // namespace quorvel
