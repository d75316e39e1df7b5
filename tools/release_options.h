// What hashlist and make share on their command lines: the files left out
// of a release (--exclude, --no-default-excludes), the warning that names
// them, and what a refusal says was written (--report).
#pragma once

#include <string>
#include <vector>

#include "publish/releases/exclusions.h"
#include "tools/cli.h"

// Takes --exclude (each one) and --no-default-excludes into exclusions;
// false with *error for a pattern that matches nothing.
bool SetExclusions(const Arguments& args, Exclusions* exclusions, std::string* error);

// Names every file that was left out, one per line when there are more,
// and what left them out (the exclusion files read among them).
void WarnExcluded(const char* command, const Exclusions& exclusions,
                  const std::vector<std::string>& excluded,
                  const std::vector<std::string>& exclusionFiles);

// The end of a refusal: " (nothing written)", or what was written after
// all (the output, the report with every fault).
std::string WrittenNote(bool outputWritten, bool reportWritten, const std::string& report);
