// A child for the program runner's tests: prints each argument in brackets,
// one a line, on stdout, then "done" on stderr, and exits with the status
// that a first argument "--exit=N" asks for.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    if (i == 1 && std::strncmp(argv[i], "--exit=", 7) == 0) status = std::atoi(argv[i] + 7);
    std::printf("[%s]\n", argv[i]);
  }
  std::fflush(stdout);
  // Standard input is empty for the child: it must end at once.
  int c = std::getchar();
  std::fprintf(stderr, "stdin %s\ndone\n", c == EOF ? "empty" : "not empty");
  return status;
}
