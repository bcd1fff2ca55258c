// The shared option parser, and every command-line tool answering --help,
// --version and an unknown option the same way through it.
#include "tools/cli_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using le::cli::OptionParser;
using ::testing::HasSubstr;

struct Parsed {
  bool quiet = false;
  std::string key;
  int n = 7;
  float gain = 1.f;
};

OptionParser parserFor(Parsed& p) {
  OptionParser parser("tool", "tool IN OUT [options]", "9.9.9");
  parser.flag("--quiet", "say less", &p.quiet)
      .text("--key", "KEY", "model key", &p.key)
      .integer("--n", "N", "count", &p.n, 0, 10)
      .number("--gain", "G", "gain", &p.gain);
  return parser;
}

OptionParser::Outcome run(const OptionParser& parser, std::vector<const char*> args, std::vector<std::string>& pos) {
  args.insert(args.begin(), "tool");
  return parser.parse(int(args.size()), args.data(), pos);
}

std::string usageErrorOf(std::vector<const char*> args) {
  Parsed p;
  std::vector<std::string> pos;
  try {
    run(parserFor(p), args, pos);
  } catch (const le::cli::UsageError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(OptionParser, TakesValuesInBothFormsAndKeepsPositionalsInOrder) {
  Parsed p;
  std::vector<std::string> pos;
  const OptionParser parser = parserFor(p);
  EXPECT_EQ(run(parser, {"in", "--key", "b2", "--n=3", "--quiet", "--gain", "-0.5", "-", "--", "--n", "out"}, pos),
            OptionParser::Outcome::kRun);
  EXPECT_EQ(pos, (std::vector<std::string>{"in", "-", "--n", "out"}));
  EXPECT_EQ(p.key, "b2");
  EXPECT_EQ(p.n, 3);
  EXPECT_TRUE(p.quiet);
  EXPECT_FLOAT_EQ(p.gain, -0.5f);
  // A value may itself start with dashes or be empty.
  EXPECT_EQ(run(parser, {"--key", "--odd", "--key="}, pos), OptionParser::Outcome::kRun);
  EXPECT_EQ(p.key, "");
}

TEST(OptionParser, RefusesWhatItCannotUseNamingTheOption) {
  EXPECT_EQ(usageErrorOf({"--bogus"}), "unknown option --bogus");
  EXPECT_EQ(usageErrorOf({"--bogus=1"}), "unknown option --bogus");
  EXPECT_EQ(usageErrorOf({"-x"}), "unknown option -x");
  EXPECT_EQ(usageErrorOf({"--key"}), "--key needs a value (KEY)");
  EXPECT_EQ(usageErrorOf({"--quiet=yes"}), "--quiet takes no value");
  EXPECT_EQ(usageErrorOf({"--n", "11"}), "--n needs a whole number from 0 to 10, got '11'");
  EXPECT_EQ(usageErrorOf({"--n", "-1"}), "--n needs a whole number from 0 to 10, got '-1'");
  EXPECT_EQ(usageErrorOf({"--n", "3x"}), "--n needs a whole number from 0 to 10, got '3x'");
  EXPECT_EQ(usageErrorOf({"--n", "99999999999999999999"}),
            "--n needs a whole number from 0 to 10, got '99999999999999999999'");
  EXPECT_EQ(usageErrorOf({"--n="}), "--n needs a whole number from 0 to 10, got ''");
  EXPECT_EQ(usageErrorOf({"--gain", "nan"}), "--gain needs a number, got 'nan'");
  EXPECT_EQ(usageErrorOf({"--gain", "1e99"}), "--gain needs a number, got '1e99'");
}

TEST(OptionParser, HelpAndVersionWinOverLaterArguments) {
  Parsed p;
  std::vector<std::string> pos;
  const OptionParser parser = parserFor(p);
  EXPECT_EQ(run(parser, {"--help", "--bogus"}, pos), OptionParser::Outcome::kHelp);
  EXPECT_EQ(run(parser, {"-h"}, pos), OptionParser::Outcome::kHelp);
  EXPECT_EQ(run(parser, {"--version", "--n", "99"}, pos), OptionParser::Outcome::kVersion);
  // An error before them still counts.
  EXPECT_EQ(usageErrorOf({"--n", "99", "--help"}), "--n needs a whole number from 0 to 10, got '99'");

  const std::string usage = parser.usage();
  EXPECT_THAT(usage, HasSubstr("usage: tool IN OUT [options]\n"));
  for (const char* line : {"  --quiet    say less\n", "  --key KEY  model key\n", "  --n N      count\n",
                           "  --gain G   gain\n", "  --help", "  --version"})
    EXPECT_THAT(usage, HasSubstr(line));
}

TEST(OptionParser, MainExitsZeroForHelpAndTwoForBadUsage) {
  Parsed p;
  const OptionParser parser = parserFor(p);
  const char* help[] = {"tool", "--help"};
  EXPECT_EXIT(parser.parseOrExit(2, help), ::testing::ExitedWithCode(0), "");
  const char* bogus[] = {"tool", "--bogus"};
  EXPECT_EXIT(parser.parseOrExit(2, bogus), ::testing::ExitedWithCode(2), "tool: unknown option --bogus\nusage: tool");
  EXPECT_EXIT(parser.fail("need two files"), ::testing::ExitedWithCode(2), "tool: need two files\nusage: tool");
}

// Every tool, run as a user runs it.
struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun runTool(const le::test::TempDir& tmp, const std::string& bin, const std::string& args) {
  const int status = le::test::runCommand(le::test::programCommand(bin) + " " + args + " > '" + tmp.file("out") + "' 2> '" +
                                          tmp.file("err") + "'");
  auto text = [&](const char* name) {
    const std::vector<unsigned char> b = le::test::readFile(tmp.file(name));
    return std::string(b.begin(), b.end());
  };
  return {status, text("out"), text("err")};
}

TEST(CommandLineTools, ExplainThemselvesTheSameWay) {
  le::test::TempDir tmp;
  std::vector<std::string> tools;
  std::stringstream list(LE_TOOL_BINS);
  for (std::string bin; std::getline(list, bin, ';');) tools.push_back(bin);
  ASSERT_GE(tools.size(), 4u);
  for (const std::string& bin : tools) {
    const std::string name = bin.substr(bin.rfind('/') + 1);
    SCOPED_TRACE(name);
    ToolRun r = runTool(tmp, bin, "--help");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("usage: " + name));
    EXPECT_THAT(r.out, HasSubstr("--version"));

    r = runTool(tmp, bin, "--version");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, name + " " + LE_VERSION_STRING + "\n");

    r = runTool(tmp, bin, "--no-such-option");
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(name + ": unknown option --no-such-option\nusage: " + name));
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
