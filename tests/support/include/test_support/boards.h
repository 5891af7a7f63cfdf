#pragma once
// The boards this build makes modules for, as GoogleTest parameters: tests that hold
// for every board run once per entry of the generated list.

#include <quorvel/boards.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace quorvel {

// How GoogleTest shows a board in a failure: by name.
inline void PrintTo(const BoardInfo& board, std::ostream* out)
{
    *out << board.name;
}

} // namespace quorvel

namespace quorvel::testing {

// The board called `name`. A board the build does not make comes back with an empty
// module path, so that a test of it fails on loading with a clear message.
const BoardInfo& boardNamed(const std::string& name);

// Whether the board's module drives the automatic-brightness attribute beside the
// LCD level (it exports that path).
bool hasAutoBrightness(const BoardInfo& board);

// The lights every module opens, in the order of the binding's light list.
inline constexpr const char* LIGHT_NAMES[] = {"backlight", "keyboard",      "buttons",
                                              "battery",   "notifications", "attention"};

// Every board, in the generated order.
inline auto eachBoard()
{
    return ::testing::ValuesIn(kBoards);
}

// The test name suffix of a per-board parameter: the board's name.
inline std::string boardParamName(const ::testing::TestParamInfo<BoardInfo>& info)
{
    return info.param.name;
}

} // namespace quorvel::testing
