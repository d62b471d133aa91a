#include "DaroriCore/NumberText.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

using namespace darori;

TEST(NumberText, FixedAndGeneralTextsAsPrintfWritesThemInTheCLocale) {
    EXPECT_EQ(fixedText(1.005, 2), "1.00");  // the double just below 1.005
    EXPECT_EQ(fixedText(-0.5, 0), "-0");
    EXPECT_EQ(fixedText(2.5, 0), "2");  // exact ties go to even
    EXPECT_EQ(fixedText(3.14159, 2, 8), "    3.14");
    EXPECT_EQ(fixedText(123456.0, 1, 3), "123456.0");
    EXPECT_EQ(fixedText(std::numeric_limits<double>::infinity(), 2), "inf");
    EXPECT_EQ(fixedText(std::nan(""), 2, 5), "  nan");
    EXPECT_EQ(fixedText(1e300, 2).size(), 304u);  // every digit, nothing cut off
    EXPECT_EQ(generalText(0.19995117, 3), "0.2");
    EXPECT_EQ(generalText(1234567.0, 3), "1.23e+06");
    EXPECT_EQ(generalText(0.5, 0), "0.5");
}

TEST(NumberText, ParsingTakesTheWholeTextOrNothing) {
    const struct {
        const char* text;
        std::optional<double> value;
    } cases[] = {
        {"1765452129.25", 1765452129.25}, {"-2e-3", -0.002}, {"7", 7.0}, {"inf", INFINITY},
        {"", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"+1", std::nullopt},
        {"1,5", std::nullopt}, {"0x10", std::nullopt}, {"1e999", std::nullopt}, {"1.5abc", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDouble(c.text), c.value) << '"' << c.text << '"';
    EXPECT_TRUE(std::isnan(*parseDouble("nan")));
    EXPECT_EQ(parseFloat("0.1"), 0.1f);
    EXPECT_EQ(parseFloat("1e39"), std::nullopt);
}
