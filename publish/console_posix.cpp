#include "publish/console.h"

#include <stdio.h>
#include <unistd.h>

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }
