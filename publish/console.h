// The toolkit's view of its terminal, which differs per system.
#pragma once

// Whether stderr is a terminal, where progress may be shown.
bool StderrIsTerminal();
