// The command lines of the benchmarks. Each takes a few named options and at
// most a plain argument or two, the first of them the folder where it makes
// its images (gigabytes, for some). Nothing that looks like an option is ever
// taken for that folder: --help prints the usage line, and an option the
// benchmark does not know is refused with it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace bench {

// A named option: "--rounds" with a value after it, or a flag.
struct Option {
  const char* name;
  bool takesValue;
};

struct CommandLine {
  std::map<std::string, std::string> options;  // those given; a flag's value is empty
  std::vector<std::string> plain;              // the other arguments, in order

  bool Has(const char* name) const { return options.count(name) != 0; }
  std::string Value(const char* name, const std::string& otherwise = {}) const {
    const auto it = options.find(name);
    return it != options.end() ? it->second : otherwise;
  }
  std::string Plain(size_t index, const std::string& otherwise = {}) const {
    return index < plain.size() ? plain[index] : otherwise;
  }
};

inline void PrintUsage(FILE* to, const char* program, const char* usage) {
  const char* slash = std::strrchr(program, '/');
  std::fprintf(to, "usage: %s%s%s\n", slash != nullptr ? slash + 1 : program, *usage != '\0' ? " " : "", usage);
}

// Reads argv against `options` and at most `maxPlain` plain arguments.
// "--help" or "-h" prints the usage line and ends the process with status 0;
// an unknown option, an option without its value, or one plain argument too
// many says what is wrong, prints the usage line and ends it with status 2.
// "--" ends the options (a folder whose name begins with "-" follows it).
inline CommandLine ParseCommandLine(int argc, char** argv, const char* usage,
                                    std::initializer_list<Option> options = {}, size_t maxPlain = 1) {
  CommandLine line;
  const char* program = argc > 0 ? argv[0] : "bench";
  const auto refuse = [&](const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    PrintUsage(stderr, program, usage);
    std::exit(2);
  };
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      PrintUsage(stdout, program, usage);
      std::exit(0);
    }
    if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      const std::string name = arg.substr(0, arg.find('='));
      const Option* known = nullptr;
      for (const Option& option : options) {
        if (name == option.name) known = &option;
      }
      if (known == nullptr) refuse("unknown option " + name);
      if (!known->takesValue) {
        if (name != arg) refuse("option " + name + " takes no value");
        line.options[name].clear();
      } else if (name != arg) {
        line.options[name] = arg.substr(name.size() + 1);
      } else if (i + 1 < argc) {
        line.options[name] = argv[++i];
      } else {
        refuse("option " + name + " needs a value");
      }
      continue;
    }
    if (line.plain.size() >= maxPlain) refuse("unexpected argument " + arg);
    line.plain.push_back(arg);
  }
  return line;
}

// The folder for a benchmark's images: the first plain argument, else
// $TMPDIR, else /tmp.
inline std::filesystem::path ImageFolder(const CommandLine& line) {
  if (!line.plain.empty()) return line.plain[0];
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

}  // namespace bench
