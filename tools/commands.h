// patchtool's commands, one file each.
#pragma once

#include "tools/cli.h"

const Command& MakeCommand();
const Command& SumCommand();
const Command& HashListCommand();
const Command& PackCommand();
const Command& SignCommand();
const Command& ListCommand();
const Command& ApplyCommand();
const Command& VerifyCommand();
const Command& CheckCommand();
const Command& ExtractCommand();
