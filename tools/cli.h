// What every patchtool command shares: its table entry, argument parsing,
// exit statuses and the one-line messages on stderr.
#pragma once

#include <map>
#include <string>
#include <vector>

// Exit statuses shared by every command; apply adds its own for failures.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct OptionRule {
  const char* longName;  // without the leading "--"
  char shortName;        // 0 when there is none
  bool takesValue;
  bool repeatable = false;  // may be given again: each value is kept
};

struct Arguments {
  std::map<std::string, std::string> values;  // options with a value
  std::map<std::string, bool> flags;          // options without one
  // Every value of each repeatable option, in the order given.
  std::map<std::string, std::vector<std::string>> lists;
  std::vector<std::string> operands;
  bool help = false;

  bool Has(const char* name) const {
    return values.count(name) != 0 || flags.count(name) != 0 || lists.count(name) != 0;
  }
  std::string Value(const char* name) const {
    auto found = values.find(name);
    return found == values.end() ? std::string() : found->second;
  }
  std::vector<std::string> Values(const char* name) const {
    auto found = lists.find(name);
    return found == lists.end() ? std::vector<std::string>() : found->second;
  }
};

// Options may stand anywhere among the operands; "--" ends them.
bool ParseArguments(int argc, char** argv, const std::vector<OptionRule>& rules, Arguments* out,
                    std::string* error);

struct Command {
  const char* name;
  const char* summary;
  // Its --help text; built when asked for.
  std::string (*help)();
  std::vector<OptionRule> options;
  int (*run)(const char* name, const Arguments& args);
};

// One line on stderr: "patchtool <command>: <message>"; further lines only
// where the message breaks them itself (kLineBreak, publish/shared/wording.h).
void Error(const char* command, const std::string& message);
// One line on stderr: "patchtool <command>: warning: <message>".
void Warn(const char* command, const std::string& message);
// An error that names many files: the one-line summary, then one line per
// file, indented. With one line or none, the message alone (it says all).
void ErrorLines(const char* command, const std::string& message,
                const std::vector<std::string>& lines);
// The same for a warning.
void WarnLines(const char* command, const std::string& message,
               const std::vector<std::string>& lines);
// An error about the command line; returns kExitUsage.
int UsageError(const char* command, const std::string& message);

// "1 entry", "3 entries": count and the singular or the plural.
std::string Counted(size_t count, const char* singular, const char* plural);

// Installer detection elevates a program without a manifest by its name
// alone; warns when the name of a patch would not make it so.
void WarnUnlessElevated(const char* command, const std::string& output);

// Says that a patch was made from the x86-64 test twin of the updater.
void WarnTwinStub(const char* command, const std::string& stub);
