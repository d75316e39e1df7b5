#include "tools/cli.h"

#include <cstdio>

#include "publish/packages/pack_writer.h"
#include "publish/packages/updater_image.h"
#include "publish/shared/wording.h"

namespace {

const OptionRule* FindLong(const std::vector<OptionRule>& rules, const std::string& name) {
  for (const OptionRule& rule : rules) {
    if (name == rule.longName) return &rule;
  }
  return nullptr;
}

const OptionRule* FindShort(const std::vector<OptionRule>& rules, char name) {
  for (const OptionRule& rule : rules) {
    if (rule.shortName != 0 && rule.shortName == name) return &rule;
  }
  return nullptr;
}

}  // namespace

bool ParseArguments(int argc, char** argv, const std::vector<OptionRule>& rules, Arguments* out,
                    std::string* error) {
  bool optionsEnded = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      out->operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out->help = true;
      continue;
    }
    const OptionRule* rule = nullptr;
    std::string value;
    bool hasValue = false;
    if (arg[1] == '-') {
      std::string name = arg.substr(2);
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        hasValue = true;
      }
      rule = FindLong(rules, name);
    } else {
      rule = FindShort(rules, arg[1]);
      if (arg.size() > 2) {
        value = arg.substr(2);
        hasValue = true;
      }
    }
    if (rule == nullptr) {
      *error = "unknown option " + arg;
      return false;
    }
    std::string shown = std::string("--") + rule->longName;
    if (out->Has(rule->longName) && !rule->repeatable) {
      *error = shown + " is given twice";
      return false;
    }
    if (!rule->takesValue) {
      if (hasValue) {
        *error = shown + " takes no value";
        return false;
      }
      out->flags[rule->longName] = true;
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        *error = shown + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (value.empty()) {
      *error = shown + " needs a non-empty value";
      return false;
    }
    if (rule->repeatable) {
      out->lists[rule->longName].push_back(value);
    } else {
      out->values[rule->longName] = value;
    }
  }
  return true;
}

namespace {

// A message keeps to its own lines: control characters (a line feed in a
// Linux file name) are shown as \xNN, and only the message's own line
// breaks (kLineBreak, a NUL, which no name holds) end a line.
std::string OneLine(const std::string& message) {
  std::string out;
  for (char c : message) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b != 0x7F) {
      out += c;
      continue;
    }
    if (c == kLineBreak) {
      out += '\n';
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
    out += escaped;
  }
  return out;
}

}  // namespace

void Error(const char* command, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "patchtool %s: %s\n", command, OneLine(message).c_str());
}

void Warn(const char* command, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "patchtool %s: warning: %s\n", command, OneLine(message).c_str());
}

namespace {

void PrintLines(const char* command, const char* kind, const std::string& message,
                const std::vector<std::string>& lines) {
  std::fflush(stdout);
  if (lines.size() <= 1) {
    std::fprintf(stderr, "patchtool %s: %s%s\n", command, kind, OneLine(message).c_str());
    return;
  }
  std::fprintf(stderr, "patchtool %s: %s%s:\n", command, kind, OneLine(message).c_str());
  for (const std::string& line : lines) std::fprintf(stderr, "  %s\n", OneLine(line).c_str());
}

}  // namespace

void ErrorLines(const char* command, const std::string& message,
                const std::vector<std::string>& lines) {
  PrintLines(command, "", message, lines);
}

void WarnLines(const char* command, const std::string& message,
               const std::vector<std::string>& lines) {
  PrintLines(command, "warning: ", message, lines);
}

int UsageError(const char* command, const std::string& message) {
  std::fprintf(stderr, "patchtool %s: %s (see patchtool %s --help)\n", command, message.c_str(),
               command);
  return kExitUsage;
}

std::string Counted(size_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

void WarnUnlessElevated(const char* command, const std::string& output) {
  if (NameAsksForElevation(output)) return;
  Warn(command, "the name of " + output +
                    " holds none of the words setup, install, update or patch; Windows "
                    "elevates the updater only by such a name, and unelevated its writes into "
                    "a protected install folder go to the player's VirtualStore, where the "
                    "game never sees them (see docs/publishing.md)");
}

void WarnTwinStub(const char* command, const std::string& stub) {
  Warn(command, "the stub " + stub + " " + kTwinStubWarning);
}
