// Toolkit only (never linked into the updater): the terminal that the
// toolkit's messages go to.
#pragma once

// Whether stderr is a terminal, where progress may be shown.
bool StderrIsTerminal();

// For as long as it lives, text written to a Windows console is taken as
// UTF-8, the encoding of every name and path inside the toolkit (the
// console's own code page is set back afterwards). Redirected output is
// UTF-8 bytes in any case. Nothing to do on POSIX.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  [[maybe_unused]] unsigned previous_ = 0;  // used on Windows only
};
