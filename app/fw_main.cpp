// korvalen-fw: the command line for engineers and production lines.
#include "app/FwSimulation.h"
#include "cli/FwCommand.h"

int main(int argc, char** argv) {
  return korvalen::cli::RunFw(argc, argv, korvalen::fwsim::MakeSimulation);
}
