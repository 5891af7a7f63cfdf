// ledsim's profile and fault words: the help text and the parser's errors made from
// the tables name every word, the manual page and the bring-up guide, which spell
// the words out again, name exactly what the list holds, and the generated tables
// of the target scenarios hold every profile and the driver's faults.
#include "options.h"
#include "vocabulary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string readSource(const std::string& relative)
{
    std::ifstream in(std::string(QUORVEL_SOURCE_DIR) + "/" + relative);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text from the line starting with START up to the next line starting with END.
std::string section(const std::string& text, const std::string& start, const std::string& end)
{
    const size_t from = text.find("\n" + start);
    if (from == std::string::npos)
        return {};
    const size_t to = text.find("\n" + end, from + 1);
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

std::vector<std::string> matches(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1].str());
    return found;
}

// The words a roff paragraph sets in bold on lines of their own, "\-" read as "-".
std::vector<std::string> boldWords(const std::string& paragraph)
{
    std::vector<std::string> words;
    for (std::string word : matches(paragraph, R"(\n\.B ([^ \n]+)\n)")) {
        for (size_t at = word.find("\\-"); at != std::string::npos; at = word.find("\\-", at))
            word.erase(at, 1);
        words.push_back(word);
    }
    return words;
}

std::vector<std::string> faultNames(bool driverOnly)
{
    std::vector<std::string> names;
    for (const ledsim::FaultKind& kind : ledsim::FAULT_KINDS) {
        if (kind.inDriver || !driverOnly)
            names.emplace_back(kind.name);
    }
    return names;
}

std::vector<std::string> profileWords(const char* featurePrefix)
{
    std::vector<std::string> words;
    for (const ledsim::ProfileWord& word : ledsim::PROFILE_LAYOUTS)
        words.emplace_back(word.name);
    for (const ledsim::ProfileWord& word : ledsim::PROFILE_FEATURES)
        words.push_back(featurePrefix + std::string(word.name));
    return words;
}

TEST(LedsimVocabulary, HelpAndErrorsNameEveryWordOnLinesThatFitATerminal)
{
    const std::string help = ledsim::usageText();
    std::istringstream lines(help);
    // Every line fits a terminal of 80 columns; the lines the tables' words are
    // wrapped onto leave the last column free.
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (line.starts_with(std::string(26, ' '))) {
            EXPECT_LT(line.size(), 80u) << line;
        }
    }
    std::string error;
    ledsim::Profile profile;
    ledsim::Fault fault;
    EXPECT_FALSE(ledsim::parseFault("none", fault, error));
    for (const std::string& name : faultNames(false)) {
        EXPECT_NE(help.find(" " + name), std::string::npos) << name;
        EXPECT_NE(error.find(" " + name), std::string::npos) << name << " in " << error;
    }
    for (const std::string& word : profileWords("+"))
        EXPECT_NE(help.find(" " + word), std::string::npos) << word;
    EXPECT_FALSE(ledsim::parseProfile("rgb+none", profile, error));
    for (const ledsim::ProfileWord& word : ledsim::PROFILE_FEATURES)
        EXPECT_NE(error.find(" " + std::string(word.name)), std::string::npos) << word.name << " in " << error;
}

TEST(LedsimVocabulary, ManualPageAndGuideListEveryWordInTableOrder)
{
    const std::string page = readSource("man/ledsim.1");
    ASSERT_FALSE(page.empty()) << "cannot read man/ledsim.1";
    EXPECT_EQ(boldWords(section(page, R"(.BR \-p ", " \-\-profile)", ".TP")), profileWords("+"));
    EXPECT_EQ(boldWords(section(page, R"(.BR \-f ", " \-\-fault)", ".TP")), faultNames(false));

    // The bring-up guide's table of faults: the KIND column, in order.
    const std::string guide = readSource("docs/lights.md");
    ASSERT_FALSE(guide.empty()) << "cannot read docs/lights.md";
    const std::string table = section(section(guide, "## Faults", "## "), "| KIND | Effect |", "\n");
    std::vector<std::string> kinds;
    for (const std::string& cell : matches(table, R"re(\n\| ([^|]+) \|)re")) {
        for (const std::string& kind : matches(cell, "`([^`]+)`"))
            kinds.push_back(kind);
    }
    EXPECT_EQ(kinds, faultNames(false));
}

// The tables the target scenarios read are generated from the same list as the
// header: every layout with every subset of the features, each once, and the
// fault kinds marked for the driver, in the list's order.
TEST(LedsimVocabulary, GeneratedTablesCoverEveryProfileAndTheDriversFaults)
{
    const std::string generated = std::string(QUORVEL_BINARY_DIR) + "/generated/";
    std::ifstream kinds(generated + "ledsim_driver_faults.txt");
    ASSERT_TRUE(kinds) << "cannot read " << generated << "ledsim_driver_faults.txt";
    std::vector<std::string> listedKinds;
    for (std::string kind; std::getline(kinds, kind);)
        listedKinds.push_back(kind);
    EXPECT_EQ(listedKinds, faultNames(true));

    // Profiles compare by what they mean: a word the parser does not know, or the
    // same flags twice, fails.
    auto meaning = [](const ledsim::Profile& p) {
        return std::to_string(p.amber) + std::to_string(p.trackball) + std::to_string(p.blinkTiming) +
            std::to_string(p.lcdAuto);
    };
    std::multiset<std::string> listed;
    std::ifstream profileList(generated + "ledsim_profiles.txt");
    ASSERT_TRUE(profileList) << "cannot read " << generated << "ledsim_profiles.txt";
    for (std::string text; std::getline(profileList, text);) {
        ledsim::Profile profile;
        std::string error;
        EXPECT_TRUE(ledsim::parseProfile(text, profile, error)) << error;
        listed.insert(meaning(profile));
    }
    std::multiset<std::string> expected;
    const size_t features = std::size(ledsim::PROFILE_FEATURES);
    for (const ledsim::ProfileWord& layout : ledsim::PROFILE_LAYOUTS) {
        for (unsigned subset = 0; subset < (1u << features); ++subset) {
            ledsim::Profile profile;
            profile.*layout.field = layout.value;
            for (size_t i = 0; i < features; ++i) {
                if (subset & (1u << i))
                    profile.*ledsim::PROFILE_FEATURES[i].field = ledsim::PROFILE_FEATURES[i].value;
            }
            expected.insert(meaning(profile));
        }
    }
    EXPECT_EQ(listed, expected);
}

} // namespace
