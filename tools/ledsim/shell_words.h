// A command line written back the way a shell needs it: each word that a shell
// would split, expand or otherwise read specially goes in single quotes.
#pragma once

#include <string>
#include <vector>

namespace ledsim {

// WORD as one shell word: as it is when that is safe, else in single quotes (a
// single quote in it as '\'').
std::string shellQuoted(const std::string& word);

// The words quoted and joined by single spaces.
std::string shellCommandLine(const std::vector<std::string>& words);

} // namespace ledsim
