#include <test_support/boards.h>

#include <deque>
#include <string_view>

namespace quorvel::testing {

const BoardInfo& boardNamed(const std::string& name)
{
    for (const BoardInfo& board : kBoards)
        if (name == board.name)
            return board;
    // Kept for the life of the test program: callers hold on to the reference.
    static std::deque<std::string> unknownNames;
    static std::deque<BoardInfo> unknown;
    unknownNames.push_back(name);
    return unknown.emplace_back(BoardInfo{unknownNames.back().c_str(), "", "", "", "", ""});
}

bool hasAutoBrightness(const BoardInfo& board)
{
    return board.board_export != nullptr && std::string_view(board.board_export) == "LCD_AUTO_FILE";
}

} // namespace quorvel::testing
