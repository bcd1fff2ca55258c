// The one option parser of the command-line tools, so that every tool
// answers the same way: --help prints the usage and exits 0, --version
// prints the engine version, and an unknown option or a bad value prints
// what is wrong with the usage and exits 2.
#pragma once

#ifdef __cplusplus
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace le::cli {

// Exit status of a command line the tool cannot run.
constexpr int kUsageExit = 2;

// A command line that names an unknown option, lacks a value or gives one
// the option cannot take.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class OptionParser {
 public:
  // `synopsis` follows "usage: " (lines after the first describe the
  // positional arguments); `version` is what --version prints after the
  // program name.
  OptionParser(std::string program, std::string synopsis, std::string version);

  // The options, in the order the usage lists them. `meta` names the value.
  OptionParser& flag(const std::string& name, const std::string& help, bool* out);
  OptionParser& text(const std::string& name, const std::string& meta, const std::string& help, std::string* out);
  // A whole number in [lo, hi].
  OptionParser& integer(const std::string& name, const std::string& meta, const std::string& help, int* out,
                        long lo, long hi);
  // A finite number.
  OptionParser& number(const std::string& name, const std::string& meta, const std::string& help, float* out);
  // Any other value: `apply` stores it and throws UsageError to refuse it.
  OptionParser& custom(const std::string& name, const std::string& meta, const std::string& help,
                       std::function<void(const std::string&)> apply);

  enum class Outcome { kRun, kHelp, kVersion };
  // Applies the options of argv[1..argc) and collects the other arguments
  // (everything after "--" is positional). Stops at --help or --version.
  // Throws UsageError.
  Outcome parse(int argc, const char* const* argv, std::vector<std::string>& positional) const;
  // parse() for main: prints the usage (exit 0), the version (exit 0) or the
  // error with the usage (exit 2); otherwise returns the positional arguments.
  std::vector<std::string> parseOrExit(int argc, const char* const* argv) const;
  // For checks the tool makes after parsing: the error and the usage on
  // standard error, exit 2.
  [[noreturn]] void fail(const std::string& message) const;

  std::string usage() const;
  const std::string& program() const { return program_; }

 private:
  struct Option {
    std::string name, meta, help;
    std::function<void(const std::string&)> apply;  // takes the value; flags get ""
  };
  const Option* find(const std::string& name) const;

  std::string program_, synopsis_, version_;
  std::vector<Option> options_;
};

}  // namespace le::cli

extern "C" {
#endif

/* For a tool without options of its own (plain C): handles --help and
 * --version (exit 0) and refuses any other argument (exit 2). */
void le_cli_no_options(int argc, char** argv, const char* program, const char* summary, const char* version);

#ifdef __cplusplus
}
#endif
