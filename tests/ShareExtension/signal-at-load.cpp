// Preloaded into a program by a test: raises the signal numbered by PLUMO_SIGNAL_AT_LOAD while
// the libraries are initialised, before the program's main (and its static initializers) run.
#include <csignal>
#include <cstdlib>

[[gnu::constructor]] static void raiseSignalAtLoad() {
  if (const char* number = std::getenv("PLUMO_SIGNAL_AT_LOAD")) std::raise(std::atoi(number));
}
