#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "config/angle_parser.h"
#include "out_capture.h"
#include "shell/angles_help.h"

namespace {

std::vector<std::string> help_lines() {
    std::vector<std::string> lines;
    std::string text = angles_help;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

size_t find_line(const std::vector<std::string>& lines, const std::string& prefix, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind(prefix, 0) == 0) return i;
    }
    return std::string::npos;
}

// The example strings of the section beginning at heading: the lines after
// its "Examples:" line and the blank line behind it, up to the next blank
// line; each example ends at a '#' comment or a tab.
std::vector<std::string> examples(const std::vector<std::string>& lines, const std::string& heading) {
    std::vector<std::string> out;
    size_t h = find_line(lines, heading);
    size_t e = find_line(lines, "Examples:", h);
    if (h == std::string::npos || e == std::string::npos) return out;
    for (size_t i = e + 2; i < lines.size() && !lines[i].empty(); ++i) {
        std::string l = lines[i];
        size_t hash = l.find('#');
        bool one_per_line = hash != std::string::npos;
        if (one_per_line) l = l.substr(0, hash);
        size_t pos = 0;
        while (pos < l.size()) {
            size_t begin = l.find_first_not_of('\t', pos);
            if (begin == std::string::npos) break;
            size_t end = l.find('\t', begin);
            if (end == std::string::npos) end = l.size();
            out.push_back(l.substr(begin, end - begin));
            if (one_per_line) break;
            pos = end;
        }
    }
    return out;
}

TEST(AnglesHelp, Layout) {
    auto lines = help_lines();
    ASSERT_GT(lines.size(), 10u);
    EXPECT_EQ(lines[0], "Colon, Dotted and DMC formats for Angles, Latitudes and Longitudes");
    EXPECT_EQ(lines[1], "");
    const char* headings[] = {"Colon format", "Dotted format", "DMC format"};
    for (const char* h : headings) {
        size_t i = find_line(lines, h);
        ASSERT_NE(i, std::string::npos) << h;
        EXPECT_EQ(lines[i + 1], "") << h;
        if (std::string(h) != "Colon format") {
            // Two blank lines separate the sections.
            EXPECT_EQ(lines[i - 1], "") << h;
            EXPECT_EQ(lines[i - 2], "") << h;
            EXPECT_NE(lines[i - 3], "") << h;
        }
        size_t e = find_line(lines, "Examples:", i);
        ASSERT_NE(e, std::string::npos) << h;
        EXPECT_EQ(lines[e + 1], "") << h;
    }
    EXPECT_NE(find_line(lines, "\t [s]DD:MM:SS[.F*]\t\tfor Latitudes"), std::string::npos);
    EXPECT_NE(find_line(lines, "\t[s]DDD:MM:SS[.F*]\t\tfor Longitudes"), std::string::npos);
    EXPECT_NE(find_line(lines, "\t [s]DD.MM.[F*]\t\tfor Latitudes"), std::string::npos);
    EXPECT_NE(find_line(lines, "\t[s]DDD.MM.[F*]\t\tfor Longitudes"), std::string::npos);
    // The text ends with its last example line; the command adds one line feed.
    std::string text = angles_help;
    ASSERT_GE(text.size(), 2000u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text[text.size() - 2], '\n');
}

TEST(AnglesHelp, ExamplesAreTheDocumentedOnes) {
    auto lines = help_lines();
    EXPECT_EQ(examples(lines, "Colon format"),
              (std::vector<std::string>{"45:22:33", "-103:00:00", "-38:33:29.222", "45:18:"}));
    EXPECT_EQ(examples(lines, "Dotted format"), (std::vector<std::string>{"45.22.64", "-103.00.", "-38.33.379"}));
    auto dmc = examples(lines, "DMC format");
    ASSERT_EQ(dmc.size(), 8u);
    const char* first_five[] = {"N 39d 23.7m 33.9c", "39d23.7m33.9C", "39.404415D", "n39.395d 33.9c", "-42.5d"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(dmc[i], first_five[i]);
}

// Every example the help shows is accepted, and the last three show one
// position: a north latitude, and a west longitude written twice, the second
// time with the degrees last.
TEST(AnglesHelp, ExamplesAreAccepted) {
    auto lines = help_lines();
    out_capture out;
    for (const char* section : {"Colon format", "Dotted format", "DMC format"}) {
        for (const auto& ex : examples(lines, section)) {
            EXPECT_NE(dmctodeg(ex.c_str()), ANGLE_ERROR) << ex;
        }
    }
    EXPECT_EQ(out.text(), "");
    auto dmc = examples(lines, "DMC format");
    ASSERT_EQ(dmc.size(), 8u);
    EXPECT_EQ(dmc[5][0], 'N');
    EXPECT_EQ(dmc[6][0], 'W');
    EXPECT_EQ(dmc[7][0], 'W');
    EXPECT_GT(dmctodeg(dmc[5].c_str()), 0.0);
    double lon = dmctodeg(dmc[6].c_str());
    EXPECT_LT(lon, 0.0);
    EXPECT_DOUBLE_EQ(dmctodeg(dmc[7].c_str()), lon);
    EXPECT_EQ(dmc[7].back(), 'd');
}

}  // namespace
