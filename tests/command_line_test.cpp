#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct expected_flags {
    int silent, verbose, discover, upgrade, all, help, syntax_error;
    const char* xml_path;
    // The lines said on standard error, one per argument not understood.
    std::vector<std::string> problems = {};
};

command_options scan(const std::vector<std::string>& words) {
    std::vector<narrow_argument> arguments{{"kvtapefw.exe", true}};
    for (const std::string& word : words) arguments.push_back({word, word.size() < 512});
    command_options options{};
    scan_arguments(arguments, options);
    return options;
}

struct scan_case {
    std::vector<std::string> words;
    expected_flags expected;
};

TEST(OptionScan, Grammar) {
    const scan_case cases[] = {
        {{}, {0, 0, 0, 0, 0, 0, 0, ""}},
        {{"/D", "out.xml"}, {0, 0, 1, 0, 0, 0, 0, "out.xml"}},
        {{"/Discover", "a b.xml"}, {0, 0, 1, 0, 0, 0, 0, "a b.xml"}},
        {{"/s", "/SILENT", "/Silent"}, {1, 0, 0, 0, 0, 0, 0, ""}},
        {{"/v", "/verbose"}, {0, 1, 0, 0, 0, 0, 0, ""}},
        {{"/f"}, {0, 0, 0, 0, 0, 0, 0, ""}},
        {{"/FORCE", "/all"}, {0, 0, 0, 0, 1, 0, 0, ""}},
        {{"/h", "/a"}, {0, 0, 0, 0, 1, 1, 0, ""}},
        {{"/help"}, {0, 0, 0, 0, 0, 1, 0, ""}},
        {{"/d"}, {0, 0, 0, 0, 0, 0, 1, "", {"/d needs the path of an XML document as the next argument"}}},
        {{"/u", "-x", "/s"}, {0, 0, 0, 0, 0, 0, 1, "",  // scan ends at once
          {"/u needs the path of an XML document as the next argument, not -x (a path cannot begin with \"-\")"}}},
        {{"/d", "a.xml", "/u", "b.xml"}, {0, 0, 1, 1, 0, 0, 0, "b.xml"}},
        {{"/a", "foo"}, {0, 0, 0, 0, 1, 0, 1, "", {"foo is not an option"}}},
        {{"foo", "/a", "/x"}, {0, 0, 0, 0, 1, 0, 1, "", {"foo is not an option", "/x is not an option"}}},  // scan goes on
        {{"/d", "/s"}, {0, 0, 1, 0, 0, 0, 0, "/s"}},               // the path is consumed
        {{"/d=out.xml"}, {0, 0, 0, 0, 0, 0, 1, "", {"/d=out.xml is not an option; the path follows as the next argument"}}},
        {{"/UPGRADE:a.xml"}, {0, 0, 0, 0, 0, 0, 1, "", {"/UPGRADE:a.xml is not an option; the path follows as the next argument"}}},
        {{"/s=1"}, {0, 0, 0, 0, 0, 0, 1, "", {"/s=1 is not an option; /s takes no value"}}},
        {{"--verbose", "a\tb"}, {0, 0, 0, 0, 0, 0, 1, "", {"--verbose is not an option; options begin with \"/\" (see /h)", "a\\x09b is not an option"}}},
        {{"/d", "=out.xml"}, {0, 0, 1, 0, 0, 0, 0, "=out.xml"}},
        {{"/sil"}, {0, 0, 0, 0, 0, 0, 1, "", {"/sil is not an option"}}},
        {{"-s"}, {0, 0, 0, 0, 0, 0, 1, "", {"-s is not an option; options begin with \"/\" (see /h)"}}},
        {{"/s "}, {0, 0, 0, 0, 0, 0, 1, "", {"/s  is not an option"}}},
        {{"/u", ""}, {0, 0, 0, 1, 0, 0, 0, ""}},                   // an empty path is still a path
        {{"--json"}, {0, 0, 0, 0, 0, 0, 1, "", {"--json goes with --list or --history"}}},
        {{"--list", "--history"}, {0, 0, 0, 0, 0, 0, 1, "", {"--list and --history cannot be given together"}}},
        {{"--LIST"}, {0, 0, 0, 0, 0, 0, 1, "", {"--LIST is not an option; options begin with \"/\" (see /h)"}}},
    };
    for (const scan_case& c : cases) {
        const command_options o = scan(c.words);
        std::string label;
        for (const std::string& w : c.words) label += "[" + w + "]";
        EXPECT_EQ(o.silent, c.expected.silent) << label;
        EXPECT_EQ(o.verbose, c.expected.verbose) << label;
        EXPECT_EQ(o.discover, c.expected.discover) << label;
        EXPECT_EQ(o.upgrade, c.expected.upgrade) << label;
        EXPECT_EQ(o.all, c.expected.all) << label;
        EXPECT_EQ(o.help, c.expected.help) << label;
        EXPECT_EQ(o.syntax_error, c.expected.syntax_error) << label;
        EXPECT_EQ(text_of(o.xml_path), c.expected.xml_path) << label;
        EXPECT_EQ(o.syntax_problems, c.expected.problems) << label;
    }
}

TEST(OptionScan, ProgramNameIsMatchedButNeverAnError) {
    command_options options{};
    scan_arguments({{"/s", true}}, options);
    EXPECT_EQ(options.silent, 1);
    command_options other{};
    scan_arguments({{"C:\\tools\\kvtapefw.exe", true}}, other);
    EXPECT_EQ(other.syntax_error, 0);
}

TEST(OptionScan, ArgumentsTooLongForTheirSlotAreRejectedNotCut) {
    const std::string long_path(512, 'p');
    const command_options as_path = scan({"/d", long_path});
    EXPECT_EQ(as_path.syntax_error, 1);
    EXPECT_EQ(as_path.syntax_problems, std::vector<std::string>{"/d: the path is longer than 511 characters"});
    EXPECT_EQ(as_path.discover, 0);
    EXPECT_EQ(text_of(as_path.xml_path), "");

    const std::string fits(511, 'p');
    const command_options fitting = scan({"/d", fits});
    EXPECT_EQ(fitting.syntax_error, 0);
    EXPECT_EQ(text_of(fitting.xml_path), fits);
}

}  // namespace
