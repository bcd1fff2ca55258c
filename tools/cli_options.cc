#include "tools/cli_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace le::cli {

OptionParser::OptionParser(std::string program, std::string synopsis, std::string version)
    : program_(std::move(program)), synopsis_(std::move(synopsis)), version_(std::move(version)) {}

OptionParser& OptionParser::flag(const std::string& name, const std::string& help, bool* out) {
  options_.push_back({name, "", help, [out](const std::string&) { *out = true; }});
  return *this;
}

OptionParser& OptionParser::text(const std::string& name, const std::string& meta, const std::string& help,
                                 std::string* out) {
  return custom(name, meta, help, [out](const std::string& v) { *out = v; });
}

OptionParser& OptionParser::integer(const std::string& name, const std::string& meta, const std::string& help,
                                    int* out, long lo, long hi) {
  return custom(name, meta, help, [name, out, lo, hi](const std::string& v) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || errno == ERANGE || n < lo || n > hi)
      throw UsageError(name + " needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                       ", got '" + v + "'");
    *out = int(n);
  });
}

OptionParser& OptionParser::number(const std::string& name, const std::string& meta, const std::string& help,
                                   float* out) {
  return custom(name, meta, help, [name, out](const std::string& v) {
    char* end = nullptr;
    const float f = std::strtof(v.c_str(), &end);
    if (v.empty() || *end || !std::isfinite(f)) throw UsageError(name + " needs a number, got '" + v + "'");
    *out = f;
  });
}

OptionParser& OptionParser::custom(const std::string& name, const std::string& meta, const std::string& help,
                                   std::function<void(const std::string&)> apply) {
  options_.push_back({name, meta, help, std::move(apply)});
  return *this;
}

const OptionParser::Option* OptionParser::find(const std::string& name) const {
  for (const Option& o : options_)
    if (o.name == name) return &o;
  return nullptr;
}

OptionParser::Outcome OptionParser::parse(int argc, const char* const* argv,
                                          std::vector<std::string>& positional) const {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") return Outcome::kHelp;
    if (arg == "--version") return Outcome::kVersion;
    // "--name=value" and "--name value" both give a value.
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const Option* o = find(name);
    if (!o) throw UsageError("unknown option " + name);
    if (o->meta.empty()) {
      if (eq != std::string::npos) throw UsageError(name + " takes no value");
      o->apply("");
    } else if (eq != std::string::npos) {
      o->apply(arg.substr(eq + 1));
    } else {
      if (i + 1 >= argc) throw UsageError(name + " needs a value (" + o->meta + ")");
      o->apply(argv[++i]);
    }
  }
  return Outcome::kRun;
}

std::vector<std::string> OptionParser::parseOrExit(int argc, const char* const* argv) const {
  std::vector<std::string> positional;
  Outcome outcome = Outcome::kRun;
  try {
    outcome = parse(argc, argv, positional);
  } catch (const UsageError& e) {
    fail(e.what());
  }
  if (outcome == Outcome::kHelp) {
    std::fputs(usage().c_str(), stdout);
    std::exit(0);
  }
  if (outcome == Outcome::kVersion) {
    std::printf("%s %s\n", program_.c_str(), version_.c_str());
    std::exit(0);
  }
  return positional;
}

void OptionParser::fail(const std::string& message) const {
  std::fprintf(stderr, "%s: %s\n%s", program_.c_str(), message.c_str(), usage().c_str());
  std::exit(kUsageExit);
}

std::string OptionParser::usage() const {
  std::string out = "usage: " + synopsis_ + "\n";
  std::vector<std::pair<std::string, std::string>> rows;
  size_t width = 0;
  for (const Option& o : options_) rows.emplace_back(o.name + (o.meta.empty() ? "" : " " + o.meta), o.help);
  rows.emplace_back("--help", "print this and exit");
  rows.emplace_back("--version", "print the engine version and exit");
  for (const auto& row : rows) width = std::max(width, row.first.size());
  for (const auto& [left, help] : rows) out += "  " + left + std::string(width + 2 - left.size(), ' ') + help + "\n";
  return out;
}

}  // namespace le::cli

void le_cli_no_options(int argc, char** argv, const char* program, const char* summary, const char* version) {
  le::cli::OptionParser parser(program, std::string(program) + "\n  " + summary, version);
  if (!parser.parseOrExit(argc, argv).empty()) parser.fail("takes no arguments");
}
